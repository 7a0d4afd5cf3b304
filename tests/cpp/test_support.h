// Test support shared by the C++ tests: value trees read and shown as text,
// an embedded Python interpreter (2.7 or 3.x, whichever the build chose) for
// tests that touch the Python bridge, the worker or stream delivery, the few
// calls whose names differ between versions, handlers run as the worker runs
// them, the simulated library's trackers and call log, device records and
// the GIF decoder that reads the simulator's eye images.
#ifndef VELTO_TESTS_TEST_SUPPORT_H_
#define VELTO_TESTS_TEST_SUPPORT_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "device/velto.h"
#include "operations/operation.h"
#include "streams/registry.h"
#include "value/value.h"

typedef struct _object PyObject;

// ---- Value trees ---------------------------------------------------------------

// Owns a tree for the length of a scope.
struct Tree {
  Value* v;
  explicit Tree(Value* value) : v(value) {}
  ~Tree() { value_free(v); }
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;
};

// The bits of a double, to compare NaN markers exactly.
uint64_t bits_of(double d);

// A tree as text, every kind and bit visible: None, i5 (INT32), L5 (INT64),
// f0.10000000149011612 (FLOAT, 17 digits), N (the NaN marker), 'text'
// (STRING), b'data' (BYTES; both with \xNN for bytes outside printable ASCII),
// py (PYOBJECT), (a, b) (TUPLE), [a, b] (LIST), {'k': v} (DICT), null (an
// empty slot). A container whose terminating slot is not null ends in " +",
// a string whose byte after its length is not NUL in "!".
std::string show(const Value* v);

// The keys of a dict node, in order.
std::vector<std::string> dict_keys(const Value* dict);
// The value under `key` of a dict node; a test failure and a None node when
// it has none.
const Value* dict_get(const Value* dict, const std::string& key);
// The bytes of a text node (or of a node of `kind`); a test failure otherwise.
std::string value_bytes(const Value* v, int32_t kind = VALUE_STRING);

// ---- Python ----------------------------------------------------------------------

// Initialises the interpreter once per process (threads enabled, the exit gate
// open) and leaves the calling thread holding the interpreter lock. Safe to
// call repeatedly.
void python_env_ensure();

// With the interpreter lock held:
// A new Python integer (2.7 int, 3.x int).
PyObject* py_int(long value);
// Whether `object` is exactly the type a VALUE_INT32 becomes.
bool py_is_small_int(PyObject* object);
// The value of a Python integer of either version (-1 with an error otherwise).
long py_int_value(PyObject* object);
// The bytes of a text object (2.7 str, 3.x str as UTF-8).
std::string py_text(PyObject* object);
// A new globals dict with the builtins in which `code` has run; null (the
// error printed) when it raised.
PyObject* py_module(const char* code);
// A new reference to the value of `expression` in `globals`; null (the error
// printed) when it raised.
PyObject* py_eval(PyObject* globals, const char* expression);

// ---- Handlers as the worker runs them --------------------------------------------

// Runs `handler` on `args` without the interpreter lock, as the worker does,
// then releases (taking the lock) whatever Python objects it left in the
// request's out-slot and in the arguments, frees both trees and returns the
// result's status. `epoch` is the registry epoch at acceptance.
int32_t run_handler(OperationHandler handler, Value* args, uint64_t epoch = registry_epoch());

// ---- The simulated library --------------------------------------------------------

// The call log as the simulator writes it (a JSON array).
std::string sim_call_log();
// The user-data word the simulated library was given by the latest logged
// subscribe call; ~0 when the log holds none.
uint64_t sim_last_user_data();
// The trackers of the current world, in discovery order.
std::vector<velto_eyetracker*> sim_trackers();
// A handle as the module carries it (an integer).
int64_t handle_value(velto_eyetracker* handle);

// ---- Records and formats -------------------------------------------------------------

// One eye of a gaze record: every number derived from `base` (x.1, x.2, ...),
// the three validities as given.
velto_eye_data eye_record(float base, int32_t point_validity = 1, int32_t pupil_validity = 1,
                          int32_t origin_validity = 1);

// Decodes a one-image GIF with giflib into gray levels (palette index to its
// red value); false unless it decodes, has a 256-entry palette and every
// colour used is a gray.
bool decode_gray_gif(const std::string& gif, int* width, int* height,
                     std::vector<uint8_t>* pixels);

#endif  // VELTO_TESTS_TEST_SUPPORT_H_
