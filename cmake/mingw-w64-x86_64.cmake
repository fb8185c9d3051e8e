# 64-bit Windows build with Debian's mingw-w64 (the -posix compilers, which
# have std::thread). Tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PITWALL_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
find_program(PITWALL_WINE NAMES wine wine64 PATHS /usr/lib/wine NO_CACHE)
if(PITWALL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PITWALL_WINE})
endif()
