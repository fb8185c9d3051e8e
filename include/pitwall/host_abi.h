// How the host's compiler lays out and calls the interface objects.
//
// Simulators are built with Microsoft's compiler, whose C++ ABI differs
// from GCC's in two ways that matter to an object the host calls by vtable
// slot:
// - A virtual destructor is one vtable entry, the scalar deleting
//   destructor: `void* (unsigned int flags)`, bit 0 of the flags meaning
//   "free the memory too", returning `this`. GCC's ABI gives two entries
//   (complete and deleting destructor), which would move every later slot.
// - On 32-bit x86, member functions use thiscall (`this` in ECX, the callee
//   pops the arguments), GCC's default on Linux is cdecl.
//
// PITWALL_MSVC_HOST_ABI is 1 in every Windows build and in Linux builds that
// ask for it (the 32-bit test build of that layout), 0 otherwise: a Linux
// host built with GCC expects GCC's layout.
#ifndef PITWALL_HOST_ABI_H_
#define PITWALL_HOST_ABI_H_

#if defined(_WIN32) && !defined(PITWALL_MSVC_HOST_ABI)
#define PITWALL_MSVC_HOST_ABI 1
#endif
#if !defined(PITWALL_MSVC_HOST_ABI)
#define PITWALL_MSVC_HOST_ABI 0
#endif

// The calling convention of every slot.
#if PITWALL_MSVC_HOST_ABI && defined(__i386__)
#define PITWALL_HOST_CALL __attribute__((thiscall))
#else
#define PITWALL_HOST_CALL
#endif

// Bit 0 of the scalar deleting destructor's flags: free the memory.
inline constexpr unsigned int kHostDeleteMemory = 1;

#endif  // PITWALL_HOST_ABI_H_
