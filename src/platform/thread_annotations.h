// Clang thread-safety annotations; empty macros on other compilers.
#ifndef PITWALL_PLATFORM_THREAD_ANNOTATIONS_H_
#define PITWALL_PLATFORM_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define PW_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define PW_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) PW_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY PW_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) PW_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) PW_THREAD_ANNOTATION(pt_guarded_by(x))
#define EXCLUSIVE_LOCKS_REQUIRED(...) PW_THREAD_ANNOTATION(exclusive_locks_required(__VA_ARGS__))
#define LOCKS_EXCLUDED(...) PW_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) PW_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) PW_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS PW_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // PITWALL_PLATFORM_THREAD_ANNOTATIONS_H_
