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

// True while the module is being unloaded in a way that forbids waiting:
// - the process is exiting: Windows has already ended every other thread,
//   perhaps inside a lock, and reclaims sockets and memory itself;
// - the last reference on the DLL was dropped by one of the module's own
//   threads as it ended (see Thread): the unload runs on that thread under
//   the loader lock, where joining another thread deadlocks.
// Teardown must then neither wait for threads nor take locks. On POSIX
// exit() and dlclose() run the module's destructors with its threads
// alive and nothing held, so it is always false and the ordinary stop runs.
bool UnloadMustNotWait();

// Called by a thread of the module just before it drops its reference on
// the module and ends. No-op on POSIX.
void MarkThreadLeavingModule();

#endif  // PITWALL_PLATFORM_MODULE_H_
