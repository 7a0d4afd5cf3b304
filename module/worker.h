// The worker thread: runs one runtime's requests one at a time in acceptance
// order, handlers without the interpreter lock, each callback under it.
#ifndef VELTO_MODULE_WORKER_H_
#define VELTO_MODULE_WORKER_H_

#include "module/runtime.h"

// Starts the worker of `runtime`; the worker takes its own reference to it.
void worker_start(Runtime* runtime);

// Releases the Python references a handler left behind: every object in the
// request's out-slot (which is emptied) and every VALUE_PYOBJECT still holding
// one in `arguments`. Interpreter lock held. Exposed so tests release exactly
// as the worker does.
void worker_release_leftovers(Value* arguments, RequestContext* request);

// Runs one request on the calling thread (handler, then callback under the
// interpreter lock) and frees it. Exposed for tests.
void worker_run_request(Request* request);

#endif  // VELTO_MODULE_WORKER_H_
