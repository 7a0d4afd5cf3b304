// The module's one fork() routine: every lock the module owns is taken before
// a fork() and given back after it in both processes; the child starts with
// the module not started (docs/design-locking.md).
#ifndef VELTO_MODULE_FORK_H_
#define VELTO_MODULE_FORK_H_

// Registers the routine with pthread_atfork once per process; later calls do
// nothing. Called by the module's initialisation (interpreter lock held).
void fork_routine_register();

#endif  // VELTO_MODULE_FORK_H_
