// The Python boundary: conversions between Value trees and Python objects,
// calls of Python callables, and the interpreter lock taken from native
// threads. Every difference between Python 2.7 and 3.x below the module's
// entry lives in this file, in the "Version differences" section.
#define PY_SSIZE_T_CLEAN
// The Python 2.7 headers use `register`, which C++17 warns about.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wregister"
#include <Python.h>
#pragma GCC diagnostic pop

#include "value/python_bridge.h"

#include "value/value_block.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// ---- Version differences ---------------------------------------------------
//
// Text: 2.7 str holds bytes; 3.x str is Unicode, carried as UTF-8. Bytes that
// are not valid UTF-8 (a device name, say) are decoded with surrogate escapes
// and encoded back the same way, so they round-trip unchanged.
// Binary data: 2.7 str, 3.x bytes. Integers: 2.7 int (32 bits here) and long;
// 3.x has one int type, which maps by its value to what 2.7's int or long
// would have become.

// A VALUE_STRING of those bytes; a string too large to copy arrives as "no
// value" (the handler then answers invalid parameter) rather than taking the
// process down.
Value* string_or_none(const char* bytes, Py_ssize_t length) {
  Value* v = value_new_string(bytes, static_cast<uint64_t>(length));
  return v ? v : value_new_none();
}

#if PY_MAJOR_VERSION >= 3

#if PY_VERSION_HEX < 0x03090000
// Python 3.8 refuses pending calls from the moment it starts to exit (before
// the atexit hooks run) and reports the refusal through the asking thread's
// thread state, which a native thread has none of: it crashes. So on 3.8 the
// hand-over stops when threading's shutdown starts, the first step of exit.
void stop_hand_over();

PyObject* shutdown_hook(PyObject* original, PyObject*) {
  stop_hand_over();
  return PyObject_CallObject(original, nullptr);
}
PyMethodDef g_shutdown_hook = {"_shutdown", shutdown_hook, METH_NOARGS, nullptr};

void stop_hand_over_when_exit_starts() {
  PyObject* threading = PyImport_ImportModule("threading");
  PyObject* original = threading ? PyObject_GetAttrString(threading, "_shutdown") : nullptr;
  PyObject* hook = original ? PyCFunction_New(&g_shutdown_hook, original) : nullptr;
  if (hook == nullptr || PyObject_SetAttrString(threading, "_shutdown", hook) != 0) {
    // No way to know when exit starts: no hand-overs at all on this interpreter.
    stop_hand_over();
  }
  Py_XDECREF(hook);
  Py_XDECREF(original);
  Py_XDECREF(threading);
  PyErr_Clear();
}
#else
void stop_hand_over_when_exit_starts() {}
#endif

PyObject* text_object(const char* bytes, Py_ssize_t length) {
  return PyUnicode_DecodeUTF8(bytes, length, "surrogateescape");
}
PyObject* binary_object(const char* bytes, Py_ssize_t length) {
  return PyBytes_FromStringAndSize(bytes, length);
}
PyObject* int32_object(int32_t v) { return PyLong_FromLong(v); }
void intern_text(PyObject** text) { PyUnicode_InternInPlace(text); }

// The VALUE_STRING for a text or bytes argument, or null when `object` is
// neither (a str that cannot be encoded becomes VALUE_NONE, never an error).
Value* string_argument(PyObject* object) {
  if (PyBytes_Check(object)) {
    return string_or_none(PyBytes_AS_STRING(object), PyBytes_GET_SIZE(object));
  }
  if (!PyUnicode_Check(object)) return nullptr;
  Py_ssize_t length = 0;
  const char* bytes = PyUnicode_AsUTF8AndSize(object, &length);
  if (bytes != nullptr) return string_or_none(bytes, length);
  // Lone surrogates: those that escape bytes go back to those bytes.
  PyErr_Clear();
  PyObject* encoded = PyUnicode_AsEncodedString(object, "utf-8", "surrogateescape");
  if (encoded == nullptr) {
    PyErr_Clear();
    return value_new_none();
  }
  Value* v = string_or_none(PyBytes_AS_STRING(encoded), PyBytes_GET_SIZE(encoded));
  Py_DECREF(encoded);
  return v;
}

// The integer Value of `object`, or null when it is not an integer. Within 32
// bits it is what a 2.7 int becomes, otherwise what a 2.7 long becomes (-1
// outside 64 bits, as PyLong_AsLongLong answers there).
Value* integer_argument(PyObject* object) {
  if (!PyLong_Check(object)) return nullptr;
  int overflow = 0;
  PY_LONG_LONG n = PyLong_AsLongLongAndOverflow(object, &overflow);
  if (overflow != 0) n = -1;
  if (n == -1 && PyErr_Occurred()) PyErr_Clear();
  if (overflow == 0 && n >= INT32_MIN && n <= INT32_MAX) {
    return value_new_int32(static_cast<int32_t>(n));
  }
  return value_new_int64(static_cast<int64_t>(n));
}

#else  // Python 2.7

void stop_hand_over_when_exit_starts() {}

PyObject* text_object(const char* bytes, Py_ssize_t length) {
  return PyString_FromStringAndSize(bytes, length);
}
PyObject* binary_object(const char* bytes, Py_ssize_t length) {
  return PyString_FromStringAndSize(bytes, length);
}
PyObject* int32_object(int32_t v) { return PyInt_FromLong(v); }
void intern_text(PyObject** text) { PyString_InternInPlace(text); }

// Only str is text: unicode is not taken (it becomes VALUE_NONE).
Value* string_argument(PyObject* object) {
  if (!PyString_Check(object)) return nullptr;
  return string_or_none(PyString_AS_STRING(object), PyString_GET_SIZE(object));
}

// long -> VALUE_INT64 whatever its value (-1 outside 64 bits, the error
// cleared); int and bool -> VALUE_INT32, except that an int wider than 32
// bits (a device handle passed through int(), where long is 64 bits) stays
// whole as VALUE_INT64 instead of being cut to its low 32 bits, which would
// silently address another device.
Value* integer_argument(PyObject* object) {
  if (PyLong_Check(object)) {
    PY_LONG_LONG n = PyLong_AsLongLong(object);
    if (n == -1 && PyErr_Occurred()) PyErr_Clear();
    return value_new_int64(static_cast<int64_t>(n));
  }
  if (!PyInt_Check(object)) return nullptr;
  const long n = PyInt_AS_LONG(object);
  if (n < INT32_MIN || n > INT32_MAX) return value_new_int64(static_cast<int64_t>(n));
  return value_new_int32(static_cast<int32_t>(n));
}

#endif

// Nested tuples deeper than this become VALUE_NONE instead of being converted:
// the conversion recurses, and a pathological tuple nested a million deep
// would otherwise overflow the C stack. No operation takes nested arguments
// anywhere near this deep. Trees handed to value_to_python are built by the
// module and are shallow; the same bound protects against a malformed one.
constexpr int kMaxTupleDepth = 1000;
constexpr int kMaxValueDepth = 1000;

// ---- Dict key cache -------------------------------------------------------
//
// Stream dicts repeat the same few dozen keys for every record (18 per gaze
// sample), so each key is made once as an interned Python string and kept
// here for the life of the process; a conversion takes a new reference to the
// cached object instead of building and hashing a fresh string. Interned keys
// also make the dict's own lookups pointer comparisons.
//
// Open addressing with linear probing over a fixed table. Entries are never
// removed; once kKeyCacheMaxEntries keys are cached, further keys are made
// fresh on every conversion (still correct, just not cached), so an unusual
// caller cannot grow the cache without bound. Long keys are not cached. Each
// entry keeps a copy of its key's bytes, so lookups compare bytes whatever the
// Python version's string layout.
//
// Guarded by the interpreter lock; no Python code runs between a probe and the
// insert that follows it. One interpreter per process is assumed (extension
// modules are never unloaded).
constexpr size_t kKeyCacheSlots = 512;  // a power of two
constexpr size_t kKeyCacheMaxEntries = kKeyCacheSlots / 2;
constexpr int64_t kMaxCachedKeyLength = 128;

struct KeyEntry {
  uint64_t hash;
  int64_t length;
  char* bytes;    // copy of the key, owned by the cache
  PyObject* key;  // interned text, one reference held by the cache
};
KeyEntry g_key_cache[kKeyCacheSlots];
size_t g_key_cache_entries = 0;

inline uint64_t load_word(const char* bytes) {
  uint64_t word;
  memcpy(&word, bytes, sizeof word);
  return word;
}

// Hash of a key from its length and its first, middle and last eight bytes:
// three loads whatever the length, which is what a conversion pays per key.
// Keys that agree in all four still land in the same probe sequence and are
// told apart by keys_equal.
inline uint64_t key_hash(const char* bytes, size_t length) {
  uint64_t head = 0;
  uint64_t tail = 0;
  if (length >= 8) {
    head = load_word(bytes);
    const uint64_t middle = load_word(bytes + length / 2 - 4);
    tail = load_word(bytes + length - 8) ^ (middle * 0xD6E8FEB86659FD93ull);
  } else {
    for (size_t k = 0; k < length; ++k)
      head |= static_cast<uint64_t>(static_cast<unsigned char>(bytes[k])) << (8 * k);
  }
  uint64_t h = (length + 1) * 0x9E3779B97F4A7C15ull;
  h ^= head * 0xBF58476D1CE4E5B9ull;
  h ^= (tail ^ (tail >> 29)) * 0x94D049BB133111EBull;
  h ^= h >> 31;
  return h;
}

// Equality of two byte runs of the same length, sixteen bytes at a time (the
// last block may overlap the one before it). Inlined: keys are short.
inline bool keys_equal(const char* a, const char* b, size_t length) {
  if (length >= 16) {
    for (size_t k = 0; k + 16 < length; k += 16)
      if (memcmp(a + k, b + k, 16) != 0) return false;
    return memcmp(a + length - 16, b + length - 16, 16) == 0;
  }
  if (length >= 8) {
    return load_word(a) == load_word(b) && load_word(a + length - 8) == load_word(b + length - 8);
  }
  for (size_t k = 0; k < length; ++k)
    if (a[k] != b[k]) return false;
  return true;
}

// The cache entry of a dict key, made on first use; null when the key is too
// long to cache, the cache is full, or Python runs out of memory.
const KeyEntry* cached_key(const char* bytes, int64_t length) {
  if (length > kMaxCachedKeyLength) return nullptr;
  uint64_t hash = key_hash(bytes, static_cast<size_t>(length));
  size_t slot = hash & (kKeyCacheSlots - 1);
  for (;;) {
    const KeyEntry& entry = g_key_cache[slot];
    if (!entry.key) break;
    if (entry.hash == hash && entry.length == length &&
        keys_equal(entry.bytes, bytes, static_cast<size_t>(length)))
      return &entry;
    slot = (slot + 1) & (kKeyCacheSlots - 1);
  }
  if (g_key_cache_entries >= kKeyCacheMaxEntries) return nullptr;
  PyObject* key = text_object(bytes, static_cast<Py_ssize_t>(length));
  char* copy = key ? static_cast<char*>(malloc(static_cast<size_t>(length) + 1)) : nullptr;
  if (!copy) {
    Py_XDECREF(key);
    return nullptr;
  }
  intern_text(&key);
  memcpy(copy, bytes, static_cast<size_t>(length));
  copy[length] = '\0';
  // The probe ended on an empty slot; the load factor stays at most 1/2.
  g_key_cache[slot] = KeyEntry{hash, length, copy, key};
  ++g_key_cache_entries;
  return &g_key_cache[slot];
}

// The key met at each position of the dict converted last. Stream dicts of
// one kind repeat their keys in the same order, so the key at position k is
// first compared with this one, which spares the hash and the probe. Each is a
// cache entry, kept for good. Guarded by the interpreter lock like the cache.
constexpr Py_ssize_t kKeyHintPositions = 32;
const KeyEntry* g_key_hint[kKeyHintPositions];

// ---- Python -> Value -------------------------------------------------------

Value* tuple_from_python(PyObject* tuple, int depth);

Value* item_from_python(PyObject* object, int depth) {
  if (PyCallable_Check(object)) return value_new_pyobject(object);
  if (Value* v = string_argument(object)) return v;
  if (PyFloat_Check(object)) return value_new_float(PyFloat_AS_DOUBLE(object));
  if (Value* v = integer_argument(object)) return v;
  if (PyTuple_Check(object)) {
    if (depth >= kMaxTupleDepth) return value_new_none();
    Value* v = tuple_from_python(object, depth + 1);
    return v ? v : value_new_none();
  }
  return value_new_none();
}

// Null only when the slot array cannot be allocated.
Value* tuple_from_python(PyObject* tuple, int depth) {
  Py_ssize_t size = PyTuple_GET_SIZE(tuple);
  int32_t count = size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(size);
  Value* v = value_new_container(VALUE_TUPLE, count);
  if (!v) return nullptr;
  for (int32_t k = 0; k < count; ++k)
    v->payload.items[k] = item_from_python(PyTuple_GET_ITEM(tuple, k), depth);
  return v;
}

// ---- Value -> Python -------------------------------------------------------

PyObject* to_python(const Value* v, int depth);

// A number's Python object (null when it cannot be made), or to_python's
// result for any other kind.
inline __attribute__((always_inline)) PyObject* convert(const Value* item, int depth) {
  switch (item->kind) {
    case VALUE_FLOAT:
      return PyFloat_FromDouble(item->payload.f);
    case VALUE_INT32:
      return int32_object(item->payload.i32);
    case VALUE_INT64:
      return PyLong_FromLongLong(item->payload.i64);
    default:
      return to_python(item, depth + 1);
  }
}

inline PyObject* none_in_place() {
  if (PyErr_Occurred()) PyErr_Clear();
  Py_INCREF(Py_None);
  return Py_None;
}

// The converted item, or None in its place when it has no Python form (a
// VALUE_PYOBJECT, an unknown kind, a missing slot) or could not be made, so
// a container handed to a callback is always complete. Numbers, most of a
// stream dict's items, are converted here without a recursive call.
inline __attribute__((always_inline)) PyObject* item_or_none(const Value* item, int depth) {
  PyObject* object = item ? convert(item, depth) : nullptr;
  return object ? object : none_in_place();
}

// A dict value: as item_or_none, with the tuples of a stream dict (points
// and vectors of numbers) also converted here, one level down, without a
// recursive call.
inline __attribute__((always_inline)) PyObject* value_or_none(const Value* item, int depth) {
  if (!item || item->kind != VALUE_TUPLE || !item->payload.items || item->count < 0 ||
      depth + 1 > kMaxValueDepth)
    return item_or_none(item, depth);
  const Py_ssize_t count = static_cast<Py_ssize_t>(item->count);
  PyObject* tuple = PyTuple_New(count);
  if (!tuple) return none_in_place();
  Value* const* items = item->payload.items;
  if (value_internal::is_float_tuple(item)) {
    // A point or vector of the gaze dict: floats only, no kind to look at.
    for (Py_ssize_t k = 0; k < count; ++k) {
      PyObject* number = PyFloat_FromDouble(items[k]->payload.f);
      PyTuple_SET_ITEM(tuple, k, number ? number : none_in_place());
    }
    return tuple;
  }
  for (Py_ssize_t k = 0; k < count; ++k)
    PyTuple_SET_ITEM(tuple, k, item_or_none(items[k], depth + 1));
  return tuple;
}

// The Python text for the dict key `node` standing at `position`: a borrowed
// reference to a cached key (*owned false) or a new reference (*owned true),
// or null when the key has no Python form.
inline __attribute__((always_inline)) PyObject* dict_key(const Value* node, Py_ssize_t position,
                                                         int depth, bool* owned) {
  *owned = true;
  if (node->kind != VALUE_STRING || !node->payload.s) return to_python(node, depth + 1);
  const char* bytes = node->payload.s;
  const int64_t length = node->count < 0 ? 0 : node->count;
  // A shared key of a constant key table (every gaze key): its Python key
  // sits beside it once made, so it costs a load.
  if (void** slot = value_internal::shared_key_slot(node)) {
    if (*slot == nullptr) {
      const KeyEntry* entry = cached_key(bytes, length);
      if (!entry) return text_object(bytes, static_cast<Py_ssize_t>(length));
      *slot = entry->key;
    }
    *owned = false;
    return static_cast<PyObject*>(*slot);
  }
  const KeyEntry** hint = position < kKeyHintPositions ? &g_key_hint[position] : nullptr;
  const KeyEntry* entry = hint ? *hint : nullptr;
  if (!entry || entry->length != length ||
      !keys_equal(entry->bytes, bytes, static_cast<size_t>(length))) {
    entry = cached_key(bytes, length);
    if (!entry) return text_object(bytes, static_cast<Py_ssize_t>(length));
    if (hint) *hint = entry;
  }
  *owned = false;
  return entry->key;
}

PyObject* to_python(const Value* v, int depth) {
  if (depth > kMaxValueDepth) return nullptr;
  Py_ssize_t count = v->count < 0 ? 0 : static_cast<Py_ssize_t>(v->count);
  switch (v->kind) {
    case VALUE_FLOAT:
      return PyFloat_FromDouble(v->payload.f);
    case VALUE_STRING:
      return text_object(v->payload.s ? v->payload.s : "", v->payload.s ? count : 0);
    case VALUE_BYTES:
      return binary_object(v->payload.s ? v->payload.s : "", v->payload.s ? count : 0);
    case VALUE_INT64:
      return PyLong_FromLongLong(v->payload.i64);
    case VALUE_INT32:
      return int32_object(v->payload.i32);
    case VALUE_TUPLE: {
      PyObject* tuple = PyTuple_New(count);
      if (!tuple) return nullptr;
      Value* const* items = v->payload.items;
      for (Py_ssize_t k = 0; k < count; ++k)
        PyTuple_SET_ITEM(tuple, k, item_or_none(items ? items[k] : nullptr, depth));
      return tuple;
    }
    case VALUE_LIST: {
      PyObject* list = PyList_New(count);
      if (!list) return nullptr;
      for (Py_ssize_t k = 0; k < count; ++k) {
        const Value* item = v->payload.items ? v->payload.items[k] : nullptr;
        PyList_SET_ITEM(list, k, item_or_none(item, depth));
      }
      return list;
    }
    case VALUE_DICT: {
      PyObject* dict = _PyDict_NewPresized(count);
      if (!dict || !v->payload.items) return dict;
      for (Py_ssize_t k = 0; k < count; ++k) {
        const Value* key_node = v->payload.items[2 * k];
        if (!key_node) continue;
        bool owned = true;
        PyObject* key = dict_key(key_node, k, depth, &owned);
        if (!key) {
          // A pair whose key has no Python form is left out.
          if (PyErr_Occurred()) PyErr_Clear();
          continue;
        }
        PyObject* value = value_or_none(v->payload.items[2 * k + 1], depth);
        // Later duplicates replace earlier ones; an unhashable key (never
        // built by the module) drops its pair. The dict takes its own
        // references to both.
        if (PyDict_SetItem(dict, key, value) != 0) PyErr_Clear();
        if (owned) Py_DECREF(key);
        Py_DECREF(value);
      }
      return dict;
    }
    case VALUE_NONE:
      Py_INCREF(Py_None);
      return Py_None;
    default:  // VALUE_PYOBJECT and unknown kinds have no Python form here
      return nullptr;
  }
}

// ---- The exit gate ----------------------------------------------------------
//
// `g_open` is cleared once at interpreter exit; `g_inside` counts threads
// between passing the gate and giving the lock back. Both are sequentially
// consistent, so a thread that saw the gate open is always counted before the
// closer reads the count.
std::atomic<bool> g_open{false};
std::atomic<int> g_inside{0};

// How long interpreter exit waits for native threads still inside Python. A
// callback blocked on something the main thread would do after exit cannot be
// waited for forever; past this bound exit proceeds.
constexpr auto kDrainLimit = std::chrono::seconds(5);

bool gate_enter() {
  g_inside.fetch_add(1);
  if (g_open.load()) return true;
  g_inside.fetch_sub(1);
  return false;
}

void gate_leave() { g_inside.fetch_sub(1); }

// ---- Handing the lock over ----------------------------------------------------
//
// A native thread waiting for the interpreter lock while the main thread runs
// Python code depends on the interpreter to hand the lock over: Python 3 does
// so only after its switch interval (5 ms by default), and 2.7's lock has no
// fairness at all, so a busy main thread can keep it for many milliseconds.
// Samples at 1200 Hz cannot wait that long. So a thread about to wait asks the
// main thread, through a pending call (run at the main thread's next bytecode
// boundary), to step aside: the main thread gives the lock up and waits,
// without it, until a waiting thread has taken it (at most kHandOverLimit),
// then takes it back. When the lock was free after all, the pending call
// finds nobody waiting and returns at once. Only the main thread runs pending
// calls, so a busy thread other than the main one is not asked.
std::atomic<int> g_waiters{0};            // native threads about to block on the lock
std::atomic<bool> g_hand_over_asked{false};  // a pending call is queued
std::atomic<bool> g_handing_over{false};  // the main thread waits for a taker
std::atomic<uint64_t> g_takes{0};         // locks taken while handing over
std::atomic<bool> g_hand_over_off{false};  // no more pending calls: the interpreter exits
std::atomic<int> g_asking{0};             // threads between the check of that and the ask
constexpr auto kHandOverLimit = std::chrono::milliseconds(2);

// Stops asking for hand-overs for good, once no thread is in the middle of
// asking. Any thread.
void stop_hand_over() {
  g_hand_over_off.store(true);
  while (g_asking.load() != 0) std::this_thread::yield();
}

int hand_over(void*) {
  g_hand_over_asked.store(false);
  if (g_waiters.load() == 0 || !g_open.load()) return 0;
  const uint64_t before = g_takes.load();
  g_handing_over.store(true);
  Py_BEGIN_ALLOW_THREADS
  const auto deadline = std::chrono::steady_clock::now() + kHandOverLimit;
  while (g_takes.load() == before && g_waiters.load() != 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  Py_END_ALLOW_THREADS
  g_handing_over.store(false);
  return 0;
}

// Takes the lock with `take` (which blocks until it has it), asking the main
// thread to hand it over first when `ask` is set. Only stream records ask: a
// result callback waits its turn, since asking before every one would have
// the main thread step aside for each of a burst of results it is busy
// queueing the requests of.
template <typename Take>
inline void take_as_waiter(bool ask, Take take) {
  if (!ask) {
    take();
    return;
  }
  g_waiters.fetch_add(1);
  if (!g_hand_over_asked.load(std::memory_order_relaxed)) {
    g_asking.fetch_add(1);
    if (!g_hand_over_off.load() && !g_hand_over_asked.exchange(true) &&
        Py_AddPendingCall(hand_over, nullptr) != 0) {
      g_hand_over_asked.store(false);  // the queue is full: the interpreter hands over in time
    }
    g_asking.fetch_sub(1);
  }
  take();
  g_waiters.fetch_sub(1);
  if (g_handing_over.load()) g_takes.fetch_add(1);
}

// What a thread knows of itself, in one trivially destructible record so that
// a delivery finds it with one thread-local lookup. `kept`: the thread state a
// native thread keeps (python_keep_thread_state), null on every other thread;
// with it, taking the lock is a plain switch to that state, with no lookup of
// the thread's state and no use count to maintain. `depth`: the guards this
// thread holds; a nested guard goes through PyGILState, which knows the
// thread already holds the lock. `asked`: whether python_keep_thread_state
// looked at this thread already.
struct ThreadPython {
  PyThreadState* kept;
  int depth;
  bool asked;
  int gil_state;  // the PyGILState_STATE of the Ensure that made `kept`
};
thread_local ThreadPython t_python;

// Deletes the kept thread state when its thread ends (skipped once the
// interpreter is exiting: the state then goes away with the interpreter).
// Made only on threads that keep a state.
struct KeptStateOwner {
  ~KeptStateOwner() {
    ThreadPython& self = t_python;
    if (self.kept == nullptr) return;
    self.kept = nullptr;
    if (!gate_enter()) return;
    PyGILState_Ensure();
    // Undo this Ensure without releasing the lock, then the one that made the
    // state, which brings its use count to zero and deletes it.
    PyGILState_Release(PyGILState_LOCKED);
    PyGILState_Release(static_cast<PyGILState_STATE>(self.gil_state));
    gate_leave();
  }
};
thread_local KeptStateOwner t_owner;

// The work of python_keep_thread_state on `self`, the calling thread's record
// (first call on the thread only).
void keep_thread_state(ThreadPython& self) {
  self.asked = true;
  // A thread with a Python thread state of its own (a Python thread emitting
  // records itself) is left to PyGILState: the interpreter deletes its state
  // when it ends. Asked once per thread (a locked list walk on 2.7).
  if (PyGILState_GetThisThreadState() != nullptr) return;
  if (!gate_enter()) return;
  self.gil_state = static_cast<int>(PyGILState_Ensure());
  // Keep the thread state (its use count stays at one) and drop the lock.
  self.kept = PyEval_SaveThread();
  KeptStateOwner& owner = t_owner;  // deletes the state when the thread ends
  (void)owner;
  gate_leave();
}

}  // namespace

// ---- Exported -------------------------------------------------------------

void pyobject_retain(PyObject* object) { Py_XINCREF(object); }

void pyobject_release(PyObject* object) { Py_XDECREF(object); }

Value* value_new_pyobject(PyObject* object) {
  Value* v = value_new_none();
  v->kind = VALUE_PYOBJECT;
  Py_XINCREF(object);
  v->payload.pyobject = object;
  return v;
}

// Never null: should even the top-level slot array be impossible to allocate,
// the result is an empty tuple (which every handler rejects as invalid).
Value* value_from_python_tuple(PyObject* tuple) {
  Value* v = tuple_from_python(tuple, 0);
  return v ? v : value_new_container(VALUE_TUPLE, 0);
}

PyObject* value_to_python(const Value* v) {
  if (!v) return nullptr;
  PyObject* object = to_python(v, 0);
  if (!object && PyErr_Occurred()) PyErr_Clear();
  return object;
}

void value_release_pyobjects(Value* tree) {
  if (!tree) return;
  switch (tree->kind) {
    case VALUE_PYOBJECT: {
      // Py_XDECREF evaluates its argument twice: take the object out first.
      PyObject* object = static_cast<PyObject*>(value_take_pyobject(tree));
      Py_XDECREF(object);
      break;
    }
    case VALUE_TUPLE:
    case VALUE_LIST:
    case VALUE_DICT:
      if (tree->payload.items) {
        for (size_t k = 0; tree->payload.items[k]; ++k)
          value_release_pyobjects(tree->payload.items[k]);
      }
      break;
    default:
      break;
  }
}

void python_call_with_value(PyObject* callable, const Value* value) {
  PyObject* converted = value_to_python(value);
  if (converted == nullptr) converted = none_in_place();
  PyObject* arguments = PyTuple_New(1);
  if (arguments == nullptr) {
    Py_DECREF(converted);
  } else {
    PyTuple_SET_ITEM(arguments, 0, converted);  // takes the reference over
    PyObject* returned = PyObject_Call(callable, arguments, nullptr);
    Py_XDECREF(returned);
    Py_DECREF(arguments);
  }
  if (PyErr_Occurred() != nullptr) PyErr_Clear();
}

PythonLockGuard::PythonLockGuard(PythonEntry entry)
    : mode_(kNotHeld), gil_state_(0), thread_(nullptr) {
  ThreadPython& self = t_python;
  if (entry == PythonEntry::kStreamRecord && !self.asked) keep_thread_state(self);
  if (!gate_enter()) return;
  thread_ = &self;
  const bool ask = entry == PythonEntry::kStreamRecord;
  if (self.kept != nullptr && self.depth == 0) {
    take_as_waiter(ask, [&self] { PyEval_RestoreThread(self.kept); });
    mode_ = kKeptState;
  } else if (self.depth == 0) {
    take_as_waiter(ask, [this] { gil_state_ = static_cast<int>(PyGILState_Ensure()); });
    mode_ = kGilState;
  } else {
    // Nested: this thread holds the lock already.
    gil_state_ = static_cast<int>(PyGILState_Ensure());
    mode_ = kGilState;
  }
  ++self.depth;
}

PythonLockGuard::~PythonLockGuard() {
  if (mode_ == kNotHeld) return;
  --static_cast<ThreadPython*>(thread_)->depth;
  if (mode_ == kKeptState) {
    PyEval_SaveThread();
  } else {
    PyGILState_Release(static_cast<PyGILState_STATE>(gil_state_));
  }
  gate_leave();
}

void python_keep_thread_state() {
  ThreadPython& self = t_python;
  if (!self.asked) keep_thread_state(self);
}

void python_gate_open() {
  stop_hand_over_when_exit_starts();
  g_open.store(true);
}

bool python_gate_is_open() { return g_open.load(); }

void python_gate_close_and_drain() {
  stop_hand_over();
  g_open.store(false);
  if (g_inside.load() == 0) return;
  // Let the threads already inside take the interpreter lock, finish and leave.
  Py_BEGIN_ALLOW_THREADS
  const auto deadline = std::chrono::steady_clock::now() + kDrainLimit;
  while (g_inside.load() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  Py_END_ALLOW_THREADS
}

void python_gate_after_fork_child() {
  // Only the forking thread runs in the child: threads counted inside in the
  // parent never leave here, and exit would wait for them in vain. The same
  // holds for the hand-over's counts: a parent's thread caught asking would
  // make the child's exit wait forever in stop_hand_over(), and a pending
  // call the child never got would keep it from ever asking again.
  g_inside.store(0);
  g_waiters.store(0);
  g_asking.store(0);
  g_handing_over.store(false);
  g_hand_over_asked.store(false);
}
