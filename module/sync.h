// Thread, lock and signal primitives of the request queue and the worker.
// Any thread may call them. A null object is a programming error (the process
// stops); freeing null does nothing. Objects must outlive their use.
#ifndef VELTO_MODULE_SYNC_H_
#define VELTO_MODULE_SYNC_H_

#include "value/mutex.h"

// The module's one lock type (value/mutex.h); these wrap it for callers that
// keep it on the heap. Not re-entrant.
using Lock = Mutex;
struct Signal;
struct ThreadHandle;

Lock* lock_new();
void lock_free(Lock* lock);
void lock_enter(Lock* lock) ACQUIRE(lock);
void lock_leave(Lock* lock) RELEASE(lock);

// A manual-reset event with a flag: a set made while nobody waits is
// remembered, and one signal_wait consumes every set made before it.
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
