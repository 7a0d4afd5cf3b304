// Conversion between Value trees and Python 2.7 objects.
//
// Every function here runs with the interpreter lock held; that lock is also
// what protects the dict-key cache below, which has no lock of its own.
#define PY_SSIZE_T_CLEAN
// The Python 2.7 headers use `register`, which C++17 warns about.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wregister"
#include <Python.h>
#pragma GCC diagnostic pop

#include "value/python_bridge.h"

#include <string.h>

namespace {

// Nested tuples deeper than this become VALUE_NONE instead of being converted:
// the conversion recurses, and a pathological tuple nested a million deep
// would otherwise overflow the C stack. No operation takes nested arguments
// anywhere near this deep.
constexpr int kMaxTupleDepth = 1000;
// Trees handed to value_to_python are built by the module and are shallow;
// the same bound protects against a malformed one.
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
// caller cannot grow the cache without bound. Long keys are not cached.
//
// Touched only with the interpreter lock held, which serialises every access;
// no lock of its own is needed. No Python code runs between a probe and the
// insert that follows it, so the lock cannot change hands mid-update. It assumes one interpreter per process
// (Python 2.7 extension modules are never unloaded).
constexpr size_t kKeyCacheSlots = 512;  // a power of two
constexpr size_t kKeyCacheMaxEntries = kKeyCacheSlots / 2;
constexpr int64_t kMaxCachedKeyLength = 128;

struct KeyEntry {
  uint64_t hash;
  PyObject* key;  // interned str, one reference held by the cache
};
KeyEntry g_key_cache[kKeyCacheSlots];
size_t g_key_cache_entries = 0;

inline uint64_t load_word(const char* bytes) {
  uint64_t word;
  memcpy(&word, bytes, sizeof word);
  return word;
}

// Hash of a key from its length and its first, middle and last eight bytes:
// three loads whatever the length, which is what a conversion pays per key
// (18 per gaze sample). Keys that agree in all four still land in the same
// probe sequence and are told apart by keys_equal.
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

// A new reference to the Python str for a VALUE_STRING dict key. *cached
// tells whether the object is one the cache keeps for good.
PyObject* cached_key(const char* bytes, int64_t length, bool* cached) {
  *cached = false;
  if (length > kMaxCachedKeyLength)
    return PyString_FromStringAndSize(bytes, static_cast<Py_ssize_t>(length));
  uint64_t hash = key_hash(bytes, static_cast<size_t>(length));
  size_t slot = hash & (kKeyCacheSlots - 1);
  for (;;) {
    KeyEntry& entry = g_key_cache[slot];
    if (!entry.key) break;
    if (entry.hash == hash && PyString_GET_SIZE(entry.key) == length &&
        keys_equal(PyString_AS_STRING(entry.key), bytes, static_cast<size_t>(length))) {
      Py_INCREF(entry.key);
      *cached = true;
      return entry.key;
    }
    slot = (slot + 1) & (kKeyCacheSlots - 1);
  }
  PyObject* key = PyString_FromStringAndSize(bytes, static_cast<Py_ssize_t>(length));
  if (!key) return nullptr;
  PyString_InternInPlace(&key);
  if (g_key_cache_entries < kKeyCacheMaxEntries) {
    // The probe ended on an empty slot; the load factor stays at most 1/2.
    Py_INCREF(key);
    g_key_cache[slot].hash = hash;
    g_key_cache[slot].key = key;
    ++g_key_cache_entries;
    *cached = true;
  }
  return key;
}

// The key met at each position of the dict converted last. Stream dicts of
// one kind repeat their keys in the same order, so the key at position k is
// first checked against this one, which spares the hash and the probe: by
// address when both are static text (value_string_is_static: gaze keys
// refer to the translator's key table, so no byte is compared), otherwise by
// content. `key` is borrowed from the cache, which keeps its keys for good;
// `text` is set only for static text, whose address never names other bytes.
// Guarded by the interpreter lock like the cache.
struct KeyHint {
  const char* text;
  int64_t length;
  PyObject* key;
};
constexpr Py_ssize_t kKeyHintPositions = 32;
KeyHint g_key_hint[kKeyHintPositions];


// ---- Python -> Value -------------------------------------------------------

Value* tuple_from_python(PyObject* tuple, int depth);

Value* item_from_python(PyObject* object, int depth) {
  if (PyCallable_Check(object)) return value_new_pyobject(object);
  if (PyString_Check(object)) {
    Value* v = value_new_string(PyString_AS_STRING(object),
                                static_cast<uint64_t>(PyString_GET_SIZE(object)));
    // A string too large to copy arrives as "no value" (the handler then
    // answers invalid parameter) rather than taking the process down.
    return v ? v : value_new_none();
  }
  if (PyLong_Check(object)) {
    PY_LONG_LONG n = PyLong_AsLongLong(object);
    // Out of the signed 64-bit range: the value stays -1 and the OverflowError
    // is cleared, so no stale exception surfaces in unrelated Python code.
    if (n == -1 && PyErr_Occurred()) PyErr_Clear();
    return value_new_int64(static_cast<int64_t>(n));
  }
  if (PyFloat_Check(object)) return value_new_float(PyFloat_AS_DOUBLE(object));
  if (PyInt_Check(object)) {
    // An int that fits 32 bits is a VALUE_INT32. Where the platform's long is
    // wider, a larger int (a device handle passed through int(), say) becomes
    // a VALUE_INT64 instead of being cut to its low 32 bits, which would
    // silently address another device; "L" reads it whole and "i" still takes
    // its low 32 bits.
    const long n = PyInt_AS_LONG(object);
    if (n < INT32_MIN || n > INT32_MAX) return value_new_int64(static_cast<int64_t>(n));
    return value_new_int32(static_cast<int32_t>(n));
  }
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
      return PyInt_FromLong(item->payload.i32);
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
  for (Py_ssize_t k = 0; k < count; ++k)
    PyTuple_SET_ITEM(tuple, k, item_or_none(items[k], depth + 1));
  return tuple;
}

// The Python str for the dict key `node` standing at `position`: a borrowed
// reference to a cached key (*owned false) or a new reference (*owned true),
// or null when the key has no Python form.
inline __attribute__((always_inline)) PyObject* dict_key(const Value* node, Py_ssize_t position,
                                                         int depth, bool* owned) {
  *owned = true;
  if (node->kind != VALUE_STRING || !node->payload.s) return to_python(node, depth + 1);
  const char* bytes = node->payload.s;
  const int64_t length = node->count < 0 ? 0 : node->count;
  KeyHint* hint = position < kKeyHintPositions ? &g_key_hint[position] : nullptr;
  if (hint && hint->key) {
    if ((hint->text == bytes && hint->length == length) ||
        (PyString_GET_SIZE(hint->key) == length &&
         keys_equal(PyString_AS_STRING(hint->key), bytes, static_cast<size_t>(length)))) {
      *owned = false;
      return hint->key;
    }
  }
  bool cached = false;
  PyObject* key = cached_key(bytes, length, &cached);
  if (cached && hint) {
    hint->key = key;
    hint->length = length;
    hint->text = value_string_is_static(node) ? bytes : nullptr;
  }
  return key;
}

PyObject* to_python(const Value* v, int depth) {
  if (depth > kMaxValueDepth) return nullptr;
  Py_ssize_t count = v->count < 0 ? 0 : static_cast<Py_ssize_t>(v->count);
  switch (v->kind) {
    case VALUE_FLOAT:
      return PyFloat_FromDouble(v->payload.f);
    case VALUE_STRING:
      if (!v->payload.s) return PyString_FromStringAndSize("", 0);
      return PyString_FromStringAndSize(v->payload.s, count);
    case VALUE_INT64:
      return PyLong_FromLongLong(v->payload.i64);
    case VALUE_INT32:
      return PyInt_FromLong(v->payload.i32);
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

}  // namespace

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

// Null for a null pointer, a VALUE_PYOBJECT or an unknown kind. A Python
// allocation failure also yields null, or None in place of an item; no Python
// error is ever left set, so a caller that gets null simply delivers nothing.
PyObject* value_to_python(const Value* v) {
  if (!v) return nullptr;
  PyObject* object = to_python(v, 0);
  if (!object && PyErr_Occurred()) PyErr_Clear();
  return object;
}

void value_release_pyobjects(Value* tree) {
  if (!tree) return;
  switch (tree->kind) {
    case VALUE_PYOBJECT:
    {
      // Py_XDECREF evaluates its argument twice: take the object out first.
      PyObject* object = static_cast<PyObject*>(value_take_pyobject(tree));
      Py_XDECREF(object);
      break;
    }
    case VALUE_TUPLE:
    case VALUE_LIST:
    case VALUE_DICT:
      if (tree->payload.items) {
        for (size_t k = 0; tree->payload.items[k]; ++k) value_release_pyobjects(tree->payload.items[k]);
      }
      break;
    default:
      break;
  }
}
