#pragma once
// Lock discipline the compiler holds: clang's thread-safety analysis
// (-Wthread-safety) reads these; other compilers see nothing. State shared
// between threads is GUARDED_BY the lock that owns it, and a function that
// expects its caller to hold a lock says so with REQUIRES.

#if defined(__clang__)
#define QEB_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QEB_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) QEB_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY QEB_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) QEB_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) QEB_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRE(...) QEB_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) QEB_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) QEB_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define REQUIRES(...) QEB_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) QEB_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) QEB_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS QEB_THREAD_ANNOTATION(no_thread_safety_analysis)
