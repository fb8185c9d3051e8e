# 32-bit Windows build with Debian's mingw-w64 (the -posix compilers, which
# have std::thread). Nothing here runs 32-bit Windows programs: the build is
# checked by its exports, imports and vtables; the same code's 32-bit layout
# runs in the linux-i386 build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(PITWALL_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
