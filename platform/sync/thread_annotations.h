// Lock rules the compiler checks. Clang's thread-safety analysis (-Wthread-safety)
// reads these attributes: a member marked GUARDED_BY(mu) may be touched only while mu
// is held, a function marked REQUIRES(mu) is called only with mu held, one marked
// EXCLUDES(mu) only without it. Locks the analysis can see are platform::Mutex and
// platform::MutexLock (platform/sync/mutex.h); a bare std::mutex carries no
// capability under libstdc++ and is invisible to it.
//
// On compilers without the attributes (GCC) every macro expands to nothing, so the
// annotations cost nothing there and change no code.
#pragma once

#if defined(__clang__) && defined(__has_attribute)
#if __has_attribute(guarded_by)
#define KVR_THREAD_ATTRIBUTE(x) __attribute__((x))
#endif
#endif
#ifndef KVR_THREAD_ATTRIBUTE
#define KVR_THREAD_ATTRIBUTE(x)
#endif

// On a class: its objects are locks (the argument names the kind in messages).
#define CAPABILITY(kind) KVR_THREAD_ATTRIBUTE(capability(kind))
// On a class: an RAII object that holds a lock from construction to destruction.
#define SCOPED_CAPABILITY KVR_THREAD_ATTRIBUTE(scoped_lockable)

// On a data member: read and written only while the named lock is held.
#define GUARDED_BY(lock) KVR_THREAD_ATTRIBUTE(guarded_by(lock))
// On a pointer member: what it points to is read and written only under the lock.
#define PT_GUARDED_BY(lock) KVR_THREAD_ATTRIBUTE(pt_guarded_by(lock))

// On a function: the caller holds the named locks (exclusively) for the call.
#define REQUIRES(...) KVR_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
// On a function: the caller must not hold the named locks (the function takes them).
#define EXCLUDES(...) KVR_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
// On a function: it takes the named locks (this object when none is named) and
// returns holding them.
#define ACQUIRE(...) KVR_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
// On a function: it releases the named locks (this object when none is named).
#define RELEASE(...) KVR_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
// On a function: it returns the lock named, so callers may name the lock through it.
#define RETURN_CAPABILITY(lock) KVR_THREAD_ATTRIBUTE(lock_returned(lock))
// On a function: it checks (at run time, if at all) that the caller holds the lock;
// after the call the analysis takes the lock as held.
#define ASSERT_CAPABILITY(lock) KVR_THREAD_ATTRIBUTE(assert_capability(lock))

// On a function the analysis cannot follow (a lock handed between threads, state
// read only after every other thread was joined). Each use says why in a comment.
#define NO_THREAD_SAFETY_ANALYSIS KVR_THREAD_ATTRIBUTE(no_thread_safety_analysis)
