// The Value tree: constructors, builders, parser, recursive free.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "value/value_block.h"

using namespace value_internal;

Value* value_internal::new_node(ValueArena* arena, int32_t kind) {
  Value* v = static_cast<Value*>(node_alloc(arena, sizeof(Value)));
  if (!v) return nullptr;
  v->kind = kind;
  return v;
}

Value* value_internal::new_with_slots(ValueArena* arena, int32_t kind, int64_t count, size_t slots) {
  if (slots > (SIZE_MAX - sizeof(Value)) / sizeof(Value*)) return nullptr;
  Value* v = static_cast<Value*>(node_alloc(arena, sizeof(Value) + slots * sizeof(Value*)));
  if (!v) return nullptr;
  v->kind = kind;
  v->count = count;
  v->payload.items = reinterpret_cast<Value**>(v + 1);
  return v;
}

Value* value_internal::new_string(ValueArena* arena, const char* bytes, uint64_t length) {
  if (!bytes) length = 0;
  if (length > SIZE_MAX - sizeof(Value) - 64) return nullptr;
  const size_t size = sizeof(Value) + length + 1;
  Value* v;
  if (arena) {
    // Only the node and the final word need zeroing: the bytes are copied over.
    v = static_cast<Value*>(arena_take(arena, size));
    if (!v) return nullptr;
  } else {
    v = static_cast<Value*>(block_alloc(size));
    if (!v) return nullptr;
  }
  v->kind = VALUE_STRING;
  v->count = static_cast<int64_t>(length);
  v->payload.s = reinterpret_cast<char*>(v + 1);
  if (length) memcpy(v->payload.s, bytes, length);
  v->payload.s[length] = '\0';
  return v;
}

namespace {

// Allocation failure: a fixed-size node that cannot be had means the process
// is out of memory; a tree with holes would reach Python as a partial object
// or crash later somewhere less obvious, so stop here. Only strings and
// containers, whose size can come from Python input, fail softly (null).
Value* must(Value* v) {
  if (!v) value_fatal("out of memory");
  return v;
}

Value* new_float(ValueArena* arena, double d) {
  Value* v = must(new_node(arena, VALUE_FLOAT));
  v->payload.f = d;
  return v;
}

// The bit pattern is copied, not produced by arithmetic: the sign of a
// computed NaN is not guaranteed.
Value* new_nan(ValueArena* arena) {
  Value* v = must(new_node(arena, VALUE_FLOAT));
  memcpy(&v->payload.f, &kValueNanBits, sizeof(double));
  return v;
}

Value* new_int64(ValueArena* arena, int64_t i) {
  Value* v = must(new_node(arena, VALUE_INT64));
  v->payload.i64 = i;
  return v;
}

Value* new_int32(ValueArena* arena, int32_t i) {
  Value* v = must(new_node(arena, VALUE_INT32));
  v->payload.i32 = i;
  return v;
}

Value* new_none(ValueArena* arena) { return must(new_node(arena, VALUE_NONE)); }

// A node given to an arena container must come from an arena: the arena
// frees only its own nodes, so a heap node would leak unseen.
Value* adopt(ValueArena* arena, Value* node) {
  if (arena && !is_arena_node(node)) value_fatal("a heap node given to an arena tree");
  return node;
}

// A letter outside the six yields a VALUE_NONE item and consumes no argument.
// A null "O" node or "s" string becomes VALUE_NONE / the empty string, so the
// tuple never holds a null slot before its end (value_free would stop there
// and leak the items after it).
Value* build(ValueArena* arena, const char* format, va_list args) {
  if (!format) format = "";
  size_t letters = strlen(format);
  if (letters > INT32_MAX) letters = INT32_MAX;
  Value* tuple =
      must(new_with_slots(arena, VALUE_TUPLE, static_cast<int64_t>(letters), letters + 1));
  for (size_t k = 0; k < letters; ++k) {
    Value* item;
    switch (format[k]) {
      case 'f':
        item = new_float(arena, va_arg(args, double));
        break;
      case 's': {
        const char* text = va_arg(args, const char*);
        item = must(new_string(arena, text, text ? strlen(text) : 0));
        break;
      }
      case 'L':
        item = new_int64(arena, va_arg(args, int64_t));
        break;
      case 'i':
        item = new_int32(arena, va_arg(args, int32_t));
        break;
      case 'n':
        item = new_nan(arena);
        break;
      case 'O':
        item = va_arg(args, Value*);
        item = item ? adopt(arena, item) : new_none(arena);
        break;
      default:
        item = new_none(arena);
        break;
    }
    tuple->payload.items[k] = item;
  }
  return tuple;
}

// A negative pair count is taken as 0. A null key becomes the empty string and
// a null value VALUE_NONE, for the same reason as in build().
Value* build_dict(ValueArena* arena, int32_t pairs, va_list args) {
  if (pairs < 0) pairs = 0;
  size_t n = static_cast<size_t>(pairs);
  Value* dict = must(new_with_slots(arena, VALUE_DICT, pairs, 2 * n + 1));
  for (size_t k = 0; k < n; ++k) {
    const char* key = va_arg(args, const char*);
    Value* value = va_arg(args, Value*);
    dict->payload.items[2 * k] = must(new_string(arena, key, key ? strlen(key) : 0));
    dict->payload.items[2 * k + 1] = value ? adopt(arena, value) : new_none(arena);
  }
  return dict;
}

}  // namespace

Value* value_new_float(double d) { return new_float(nullptr, d); }
Value* value_new_nan() { return new_nan(nullptr); }
Value* value_new_string(const char* bytes, uint64_t length) {
  return new_string(nullptr, bytes, length);
}
Value* value_new_bytes(const char* bytes, uint64_t length) {
  Value* v = new_string(nullptr, bytes, length);
  if (v) v->kind = VALUE_BYTES;
  return v;
}
Value* value_new_int64(int64_t i) { return new_int64(nullptr, i); }
Value* value_new_int32(int32_t i) { return new_int32(nullptr, i); }
Value* value_new_none() { return new_none(nullptr); }

// A negative count is taken as 0. Returns null only when the slot array cannot
// be allocated (a count that came from a huge Python tuple).
Value* value_new_container(int32_t kind, int32_t count) {
  if (count < 0) count = 0;
  return new_with_slots(nullptr, kind, count, static_cast<size_t>(count) + 1);
}

Value* value_build(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Value* tuple = build(nullptr, format, args);
  va_end(args);
  return tuple;
}

Value* value_build_dict(int32_t pairs, ...) {
  va_list args;
  va_start(args, pairs);
  Value* dict = build_dict(nullptr, pairs, args);
  va_end(args);
  return dict;
}

// An arena node (and everything under it) belongs to its arena and is
// released with it, not here.
void value_free(Value* v) {
  if (!v || is_arena_node(v)) return;
  if (v->kind == VALUE_TUPLE || v->kind == VALUE_LIST || v->kind == VALUE_DICT) {
    Value** items = v->payload.items;
    if (items) {
      for (size_t k = 0; items[k]; ++k) value_free(items[k]);
    }
  }
  // String bytes and slot arrays live in the node's own block.
  block_free(v);
}

Value* value_arena_float(ValueArena* arena, double v) { return new_float(arena, v); }
Value* value_arena_nan(ValueArena* arena) { return new_nan(arena); }
Value* value_arena_string(ValueArena* arena, const char* bytes, uint64_t length) {
  return new_string(arena, bytes, length);
}
Value* value_arena_int64(ValueArena* arena, int64_t v) { return new_int64(arena, v); }
Value* value_arena_int32(ValueArena* arena, int32_t v) { return new_int32(arena, v); }
Value* value_arena_none(ValueArena* arena) { return new_none(arena); }

Value* value_arena_build(ValueArena* arena, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Value* tuple = build(arena, format, args);
  va_end(args);
  return tuple;
}

Value* value_arena_build_dict(ValueArena* arena, int32_t pairs, ...) {
  va_list args;
  va_start(args, pairs);
  Value* dict = build_dict(arena, pairs, args);
  va_end(args);
  return dict;
}

int32_t value_parse(const Value* tuple, const char* format, ...) {
  if (!tuple || tuple->kind != VALUE_TUPLE || !format) return 0;
  Value** items = tuple->payload.items;
  int32_t matched = 1;
  va_list args;
  va_start(args, format);
  for (size_t k = 0; format[k]; ++k) {
    // Slots beyond count are never read, whatever they hold.
    const Value* item =
        (items && static_cast<int64_t>(k) < tuple->count) ? items[k] : nullptr;
    if (!item) {
      matched = 0;
      break;
    }
    bool ok = false;
    switch (format[k]) {
      case 's':
        // The text goes on as a C string: one with a NUL inside would arrive cut short.
        if (item->kind == VALUE_STRING && item->payload.s &&
            item->count >= 0 &&
            !memchr(item->payload.s, '\0', static_cast<size_t>(item->count))) {
          *va_arg(args, const char**) = item->payload.s;
          ok = true;
        }
        break;
      case 'f':
        if (item->kind == VALUE_FLOAT) {
          *va_arg(args, float*) = static_cast<float>(item->payload.f);
          ok = true;
        }
        break;
      case 'O':
        *va_arg(args, Value**) = const_cast<Value*>(item);
        ok = true;
        break;
      case 'i':
        if (item->kind == VALUE_INT32) {
          *va_arg(args, int32_t*) = item->payload.i32;
          ok = true;
        } else if (item->kind == VALUE_INT64) {
          *va_arg(args, int32_t*) =
              static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(item->payload.i64)));
          ok = true;
        }
        break;
      case 'L':
        if (item->kind == VALUE_INT32) {
          *va_arg(args, int64_t*) = item->payload.i32;
          ok = true;
        } else if (item->kind == VALUE_INT64) {
          *va_arg(args, int64_t*) = item->payload.i64;
          ok = true;
        }
        break;
      default:
        break;
    }
    if (!ok) {
      matched = 0;
      break;
    }
  }
  va_end(args);
  return matched;
}

Value* status_result(int32_t status) { return value_build("i", status); }

// Rounds through decimal text on purpose: "%f" gives six decimals and reading
// the text back gives the double nearest to that decimal, which is what Python
// users see for settings such as 59.94 Hz (59.939999, not 59.939998626708984).
double round_float(float f) {
  char text[256];
  snprintf(text, sizeof text, "%f", static_cast<double>(f));
  double d = 0.0;
  if (sscanf(text, "%lf", &d) != 1) return static_cast<double>(f);  // unreadable text: keep the value
  return d;
}

void* value_take_pyobject(Value* node) {
  if (!node || node->kind != VALUE_PYOBJECT) return nullptr;
  void* object = node->payload.pyobject;
  node->payload.pyobject = nullptr;
  return object;
}
