// Lock rules the compiler checks: which mutex guards a member, which lock a
// function needs or takes.
//
// Under clang with -Wthread-safety the marks below are checked at every use
// (the CI's "threads" build treats a breach as an error); under other
// compilers they expand to nothing and cost nothing. Only types marked
// CAPABILITY (Mutex, TrafficList's mutex through its Lock) take part:
// std::mutex and std::lock_guard carry no marks and stay invisible to the
// check, so shared members use corvane::Mutex (platform/mutex.h).
#pragma once

#if defined(__clang__)
#define CORVANE_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define CORVANE_THREAD_ANNOTATION(x)
#endif

// A type that is a lock ("mutex" in the compiler's messages).
#define CAPABILITY(x) CORVANE_THREAD_ANNOTATION(capability(x))
// An object that holds a lock from its construction to its destruction.
#define SCOPED_CAPABILITY CORVANE_THREAD_ANNOTATION(scoped_lockable)
// The member may be read or written only while holding `x`.
#define GUARDED_BY(x) CORVANE_THREAD_ANNOTATION(guarded_by(x))
// What the pointer points at may be used only while holding `x`.
#define PT_GUARDED_BY(x) CORVANE_THREAD_ANNOTATION(pt_guarded_by(x))
// The caller must hold these locks.
#define REQUIRES(...) CORVANE_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// The function takes these locks (no argument: the object itself) and
// returns holding them.
#define ACQUIRE(...) CORVANE_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// The function releases these locks (no argument: the object itself).
#define RELEASE(...) CORVANE_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// The function takes the locks when it returns `result`.
#define TRY_ACQUIRE(...) CORVANE_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// The caller must not hold these locks (the function takes them itself).
#define EXCLUDES(...) CORVANE_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// The function returns a reference to the lock `x`.
// The function checks at run time that the capability is held; the
// analysis takes it as held from the call on.
#define ASSERT_CAPABILITY(x) CORVANE_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) CORVANE_THREAD_ANNOTATION(lock_returned(x))
// Turns the check off for one function whose locking is correct in a way
// the check cannot follow; each use says why at the function.
#define NO_THREAD_SAFETY_ANALYSIS CORVANE_THREAD_ANNOTATION(no_thread_safety_analysis)
