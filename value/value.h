// Value: the module's small tagged value tree, free of Python, any thread; one
// thread uses a tree or an arena at a time. Every constructor returns a tree the
// caller frees with value_free() (ownership and arenas: docs/design-values.md).
#ifndef VELTO_VALUE_VALUE_H_
#define VELTO_VALUE_VALUE_H_

#include <stddef.h>
#include <stdint.h>

enum ValueKind : int32_t {
  VALUE_FLOAT = 0,
  VALUE_STRING = 1,
  VALUE_INT64 = 2,
  VALUE_INT32 = 3,
  VALUE_TUPLE = 4,
  VALUE_LIST = 5,
  VALUE_DICT = 6,
  VALUE_PYOBJECT = 7,
  VALUE_NONE = 8,
  // A byte string that is binary data rather than text (calibration data, eye
  // images): laid out as VALUE_STRING; Python 3 receives it as bytes.
  VALUE_BYTES = 9,
};

struct Value {
  int32_t kind;  // a ValueKind
  // VALUE_STRING, VALUE_BYTES: byte length without the NUL; VALUE_TUPLE, VALUE_LIST: items;
  // VALUE_DICT: key/value pairs; every other kind: 0.
  int64_t count;
  union {
    double f;          // VALUE_FLOAT
    char* s;           // VALUE_STRING, VALUE_BYTES: count + 1 bytes, last one NUL
    int64_t i64;       // VALUE_INT64
    int32_t i32;       // VALUE_INT32 (upper half of the payload is zero)
    Value** items;     // VALUE_TUPLE/LIST: count + 1 slots; VALUE_DICT: 2*count + 1
    void* pyobject;    // VALUE_PYOBJECT: a PyObject* holding one reference
  } payload;
};

// Bit pattern of the missing-value marker: quiet NaN with the sign bit set.
constexpr uint64_t kValueNanBits = 0xFFF8000000000000ULL;

// The module's own status codes, the one place they are defined (the device
// library's are compared by their names in device/velto.h): success, the
// answer to arguments that do not parse or name nothing the module knows, and
// the refusal of a second log subscription.
constexpr int32_t STATUS_OK = 0;
constexpr int32_t STATUS_INVALID_PARAMETER = 10;
constexpr int32_t STATUS_ALREADY_SUBSCRIBED = 11;

// Constructors. Each returns a new node owned by the caller.
Value* value_new_float(double v);
Value* value_new_nan();
// Copies exactly `length` bytes (NUL bytes included) and appends a NUL.
Value* value_new_string(const char* bytes, uint64_t length);
// The same for binary data: a VALUE_BYTES node.
Value* value_new_bytes(const char* bytes, uint64_t length);
Value* value_new_int64(int64_t v);
Value* value_new_int32(int32_t v);
Value* value_new_none();
// VALUE_TUPLE or VALUE_LIST with `count` null slots (plus the terminating
// null slot). The caller fills every slot with a node it gives away.
Value* value_new_container(int32_t kind, int32_t count);

// A tuple from a builder format of the letters:
//   "f" double, "s" NUL-terminated string (copied), "L" int64_t, "i" int32_t,
//   "n" NaN marker (consumes nothing), "O" Value* (taken over).
// A letter outside these yields a VALUE_NONE item and consumes nothing.
Value* value_build(const char* format, ...);
// A dict of `pairs` (const char* key, Value* value) pairs; keys are copied,
// values taken over. Pair order is kept; duplicates are not checked.
Value* value_build_dict(int32_t pairs, ...);
// Recursive free; null does nothing; VALUE_PYOBJECT references are untouched.
void value_free(Value* v);

// Matches the items of a VALUE_TUPLE against a parser format:
//   "s" -> const char** (the item's own bytes; a string holding a NUL byte
//   does not match), "f" -> float* (VALUE_FLOAT only), "O" -> Value** (any
//   kind, still owned by the tuple), "i" -> int32_t* (INT32, or low 32 bits of
//   INT64), "L" -> int64_t* (INT32 sign-extended, or INT64).
// Returns 1 when every letter matched, else 0 (outputs of earlier letters are
// written, later ones untouched). Extra items are ignored.
int32_t value_parse(const Value* tuple, const char* format, ...);

// (status,) as a one-item tuple.
Value* status_result(int32_t status);

// A float widened to double and rounded to six decimals through "%f"/"%lf".
double round_float(float f);

// Takes the Python object out of a VALUE_PYOBJECT node: returns the object and
// leaves the node empty (payload null), so the caller owns the reference.
// Returns null for any other kind or an already emptied node.
void* value_take_pyobject(Value* node);

// ---- Arena trees -------------------------------------------------------------
//
// Nodes from the arena's buffer, then its heap chunks, released only together
// by value_arena_release(); an arena container holds only nodes of its arena.
struct ValueArena {
  char* cursor;  // next free byte of the current buffer
  char* end;     // end of the current buffer
  void* chunks;  // heap chunks taken after the first buffer filled up
};

// Starts an empty arena over `buffer` (`size` bytes, any alignment; may be
// null/0, then every node comes from heap chunks). The buffer must outlive
// the arena's use.
void value_arena_init(ValueArena* arena, void* buffer, size_t size);
// Releases every node of the arena at once (frees its heap chunks). The arena
// is empty afterwards; value_arena_init it again to reuse it.
void value_arena_release(ValueArena* arena);

// Constructors; same results and failure behaviour as value_new_*.
Value* value_arena_float(ValueArena* arena, double v);
Value* value_arena_nan(ValueArena* arena);
Value* value_arena_string(ValueArena* arena, const char* bytes, uint64_t length);
Value* value_arena_int64(ValueArena* arena, int64_t v);
Value* value_arena_int32(ValueArena* arena, int32_t v);
Value* value_arena_none(ValueArena* arena);
// VALUE_TUPLE or VALUE_LIST with `count` null item slots, or VALUE_DICT with
// `count` pairs (2 * count null slots: key, value, key, value, ...). The
// caller fills every slot (dict keys with VALUE_STRING nodes) from the same
// arena. Null only when the slots cannot be allocated.
Value* value_arena_container(ValueArena* arena, int32_t kind, int32_t count);
// A dict key with its length in bytes: a row of a constant key table.
struct ValueKey {
  const char* text;
  uint32_t length;
};
// A VALUE_DICT with keys from `keys`, a table constant for the life of the
// process (in an arena its key nodes are shared by every dict built from it),
// and null value slots the caller fills; null only when memory runs out.
Value* value_arena_dict_static_keys(ValueArena* arena, int32_t pairs, const ValueKey* keys);
// Whether a VALUE_STRING node is a shared key of a constant key table (made
// by value_arena_dict_static_keys): it lives, unchanged, for the life of the
// process.
bool value_string_is_static(const Value* v);
// The word kept beside a shared key node for the Python bridge (null for any
// other node). Starts null; read and written by the bridge alone, under the
// interpreter lock.
void** value_static_key_slot(const Value* v);
// A VALUE_TUPLE of `count` VALUE_FLOAT items holding `values` bit for bit (a
// NaN marker stays the marker): value_build "ff"/"fff"/"nn"/"nnn" in one step.
// In an arena the tuple and its items take one reservation. Null only when
// memory runs out.
Value* value_arena_float_tuple(ValueArena* arena, int32_t count, const double* values);
// value_build / value_build_dict into an arena.
Value* value_arena_build(ValueArena* arena, const char* format, ...);
Value* value_arena_build_dict(ValueArena* arena, int32_t pairs, ...);

// ---- fork() ------------------------------------------------------------------

// The node pool's part of the module's fork routine: prepare takes the pool's
// locks before fork(), parent and child give them back after it.
void value_pool_fork_prepare();
void value_pool_fork_parent();
void value_pool_fork_child();

#endif  // VELTO_VALUE_VALUE_H_
