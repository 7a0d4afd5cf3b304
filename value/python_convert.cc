// Conversions between Value trees and Python objects, with the dict-key
// cache, and calls of Python callables (docs/design-python-bridge.md).
#include "value/python_version.h"

#include "value/python_bridge.h"

#include "value/value_block.h"

#include <stdlib.h>
#include <string.h>

using namespace python_internal;

namespace {

// Deeper nesting is not converted: the conversion recurses on the C stack.
constexpr int kMaxTupleDepth = 1000;
constexpr int kMaxValueDepth = 1000;

// ---- Dict key cache -------------------------------------------------------
//
// Each key made once as an interned string, kept for good; open addressing,
// at most half full. Guarded by the interpreter lock.
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

// Hash of a key from its length and its first, middle and last eight bytes;
// keys that agree in all four are told apart by keys_equal.
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
