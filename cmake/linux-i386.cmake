# 32-bit Linux build (g++ -m32) with the interface objects in the layout of
# a host built with Microsoft's compiler: the vtables and thiscall calls of
# the 32-bit Windows DLL, run and tested under qemu-i386.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(PITWALL_MSVC_HOST_ABI ON CACHE BOOL "" FORCE)
find_program(PITWALL_QEMU_I386 qemu-i386 NO_CACHE)
if(PITWALL_QEMU_I386)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PITWALL_QEMU_I386})
endif()
