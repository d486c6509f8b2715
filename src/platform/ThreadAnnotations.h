// Clang's thread-safety attributes, spelled as macros so that the code says
// which lock guards which data and which functions expect a lock held, and a
// clang build with -Wthread-safety proves it. Other compilers see nothing.
#pragma once

#if defined(__clang__)
#define QM_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define QM_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) QM_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY QM_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) QM_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) QM_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) QM_THREAD_ATTRIBUTE(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) QM_THREAD_ATTRIBUTE(acquired_after(__VA_ARGS__))
#define REQUIRES(...) QM_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) QM_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) QM_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) QM_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) QM_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define RETURN_CAPABILITY(x) QM_THREAD_ATTRIBUTE(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS QM_THREAD_ATTRIBUTE(no_thread_safety_analysis)
