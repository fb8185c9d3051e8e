// The loaded module's view of itself: how its entry points are exported,
// and whether the process around it is exiting.
#ifndef PITWALL_PLATFORM_MODULE_H_
#define PITWALL_PLATFORM_MODULE_H_

// Marks the module's C entry points, the only symbols it exports. They keep
// the platform's default calling convention (cdecl on 32-bit Windows) and
// their plain names.
#if defined(_WIN32)
#define PITWALL_EXPORT __declspec(dllexport)
#else
#define PITWALL_EXPORT __attribute__((visibility("default")))
#endif

// True once the process has begun to exit while the module is still loaded.
// On Windows the system has then already ended every other thread, perhaps
// inside a lock, and reclaims sockets and memory itself: teardown must
// neither wait for threads nor take locks. On POSIX, exit() runs the
// module's destructors with its threads still alive, so it reports false
// and the ordinary stop runs. Thread-safe.
bool ProcessIsExiting();

#endif  // PITWALL_PLATFORM_MODULE_H_
