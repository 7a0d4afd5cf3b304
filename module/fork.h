// The module's one fork() routine: every lock the module owns is taken before
// a fork() and given back after it in both processes, and the child starts
// with the module not started. Each lock's owner exposes a prepare / parent /
// child hook and the routine calls them all; scripts/check_architecture.py
// fails the build's tests on a namespace-scope mutex in a file without hooks.
#ifndef VELTO_MODULE_FORK_H_
#define VELTO_MODULE_FORK_H_

// Registers the routine with pthread_atfork once per process; later calls do
// nothing. Called by the module's initialisation (interpreter lock held).
void fork_routine_register();

#endif  // VELTO_MODULE_FORK_H_
