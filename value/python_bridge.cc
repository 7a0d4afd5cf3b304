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

// Hash of the key bytes, eight at a time (keys are a few dozen bytes).
uint64_t key_hash(const char* bytes, size_t length) {
  uint64_t h = length * 0x9E3779B97F4A7C15ull;
  size_t k = 0;
  for (; k + 8 <= length; k += 8) {
    uint64_t word;
    memcpy(&word, bytes + k, 8);
    h = (h ^ word) * 0xBF58476D1CE4E5B9ull;
    h ^= h >> 31;
  }
  if (k < length) {
    uint64_t word = 0;
    memcpy(&word, bytes + k, length - k);
    h = (h ^ word) * 0xBF58476D1CE4E5B9ull;
    h ^= h >> 31;
  }
  h *= 0x94D049BB133111EBull;
  h ^= h >> 29;
  return h;
}

// A new reference to the Python str for a VALUE_STRING dict key.
PyObject* cached_key(const char* bytes, int64_t length) {
  if (length > kMaxCachedKeyLength)
    return PyString_FromStringAndSize(bytes, static_cast<Py_ssize_t>(length));
  uint64_t hash = key_hash(bytes, static_cast<size_t>(length));
  size_t slot = hash & (kKeyCacheSlots - 1);
  for (;;) {
    KeyEntry& entry = g_key_cache[slot];
    if (!entry.key) break;
    if (entry.hash == hash && PyString_GET_SIZE(entry.key) == length &&
        memcmp(PyString_AS_STRING(entry.key), bytes, static_cast<size_t>(length)) == 0) {
      Py_INCREF(entry.key);
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
  }
  return key;
}

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

// The converted item, or None in its place when it has no Python form (a
// VALUE_PYOBJECT, an unknown kind, a missing slot) or could not be made, so
// a container handed to a callback is always complete.
PyObject* item_or_none(const Value* item, int depth) {
  PyObject* object = item ? to_python(item, depth + 1) : nullptr;
  if (!object) {
    if (PyErr_Occurred()) PyErr_Clear();
    Py_INCREF(Py_None);
    object = Py_None;
  }
  return object;
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
      for (Py_ssize_t k = 0; k < count; ++k) {
        const Value* item = v->payload.items ? v->payload.items[k] : nullptr;
        PyTuple_SET_ITEM(tuple, k, item_or_none(item, depth));
      }
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
        PyObject* key;
        if (key_node->kind == VALUE_STRING && key_node->payload.s)
          key = cached_key(key_node->payload.s, key_node->count);
        else
          key = to_python(key_node, depth + 1);
        if (!key) {
          // A pair whose key has no Python form is left out.
          if (PyErr_Occurred()) PyErr_Clear();
          continue;
        }
        PyObject* value = item_or_none(v->payload.items[2 * k + 1], depth);
        // Later duplicates replace earlier ones; an unhashable key (never
        // built by the module) drops its pair.
        if (PyDict_SetItem(dict, key, value) != 0) PyErr_Clear();
        Py_DECREF(key);
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
