// Thread, lock and signal primitives used by the request queue and worker.
//
// Every operation accepts a null object and then does nothing (a null signal
// reports "not set" from signal_test_and_clear).
//
// A Signal behaves like a manual-reset event with a flag: signal_set marks it
// set and wakes a waiter; a set made while nobody waits is remembered, and
// one signal_wait consumes every set made before it.
//
// Thread safety: all functions may be called from any thread. A Lock must not
// be entered twice by one thread. The caller must ensure an object is not used
// after it is freed (the module keeps them alive with reference counts, see
// module/runtime.h).
#ifndef VELTO_MODULE_SYNC_H_
#define VELTO_MODULE_SYNC_H_

struct Lock;
struct Signal;
struct ThreadHandle;

Lock* lock_new();
void lock_free(Lock* lock);
void lock_enter(Lock* lock);
void lock_leave(Lock* lock);

Signal* signal_new();
void signal_free(Signal* signal);
// Sets the flag and wakes a waiter.
void signal_set(Signal* signal);
// Reads and clears the flag; returns whether it was set.
bool signal_test_and_clear(Signal* signal);
// Returns at once (clearing the flag) if set, else blocks until the next set.
void signal_wait(Signal* signal);

typedef void (*ThreadEntry)(void* argument);
// Starts a thread running entry(argument). The handle is only for closing.
ThreadHandle* thread_start(ThreadEntry entry, void* argument);
// Gives up the handle; the thread runs on and is never joined.
void thread_close(ThreadHandle* handle);

#endif  // VELTO_MODULE_SYNC_H_
