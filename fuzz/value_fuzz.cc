// libFuzzer target: the value tree's builders and parser, and the stream
// translators fed with arbitrary records.
//
// One input is a little program: its first byte picks an action, the rest is
// read as that action's data (see Reader). Every tree made is checked for the
// tree invariants (check_tree) and freed, so AddressSanitizer sees any
// overflow, use after free or leak, and UndefinedBehaviorSanitizer any
// undefined arithmetic or conversion.
//
// The translators' delivery is replaced by a stub that checks the dict it is
// handed, so the stream callbacks run end to end without Python or a device
// library thread. Built only with -DVELTO_FUZZ=ON and clang (fuzz/CMakeLists.txt);
// run it with scripts/fuzz.sh.
#include <sanitizer/asan_interface.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <tuple>
#include <vector>

#include "device/velto.h"
#include "streams/records.h"
#include "streams/registry.h"
#include "streams/stream_types.h"
#include "streams/translators.h"
#include "value/value.h"

namespace {

// Fails the run with a message (libFuzzer saves the input that did it).
[[noreturn]] void broken(const char* what) {
  fprintf(stderr, "value_fuzz: broken invariant: %s\n", what);
  abort();
}

// Sequential reader over the input; past the end it yields zeros.
struct Reader {
  const uint8_t* data;
  size_t size;
  size_t at = 0;

  bool empty() const { return at >= size; }
  uint8_t byte() { return at < size ? data[at++] : 0; }
  template <typename T>
  T pod() {
    T value;
    memset(&value, 0, sizeof value);
    size_t n = size - at < sizeof value ? size - at : sizeof value;
    if (at < size) memcpy(&value, data + at, n);
    at += n;
    return value;
  }
  // Up to `limit` raw bytes (NUL bytes included).
  std::string bytes(size_t limit) {
    size_t n = byte();
    if (n > limit) n = limit;
    if (n > size - at) n = size - at;
    std::string s(reinterpret_cast<const char*>(data + at), n);
    at += n;
    return s;
  }
};

// ---- invariants -----------------------------------------------------------------

// A tree is well formed when: its kind is one of the nine; a string holds
// `count` bytes followed by a NUL; a tuple or list has `count` non-null items
// and a null slot after them; a dict has `count` pairs whose keys are strings
// and a null slot after them. Reading every byte also lets ASan check bounds.
void check_tree(const Value* v, int depth = 0) {
  if (v == nullptr) broken("null node inside a tree");
  if (depth > 2000) broken("tree too deep");
  switch (v->kind) {
    case VALUE_FLOAT:
    case VALUE_INT64:
    case VALUE_INT32:
    case VALUE_NONE:
      break;
    case VALUE_STRING:
    case VALUE_BYTES: {
      if (v->count < 0 || v->payload.s == nullptr) broken("string without bytes");
      volatile char sink = 0;
      for (int64_t k = 0; k < v->count; ++k) sink = sink ^ v->payload.s[k];
      if (v->payload.s[v->count] != '\0') broken("string not NUL-terminated");
      break;
    }
    case VALUE_TUPLE:
    case VALUE_LIST: {
      if (v->count < 0 || v->payload.items == nullptr) broken("sequence without slots");
      for (int64_t k = 0; k < v->count; ++k) check_tree(v->payload.items[k], depth + 1);
      if (v->payload.items[v->count] != nullptr) broken("sequence slots not terminated");
      break;
    }
    case VALUE_DICT: {
      if (v->count < 0 || v->payload.items == nullptr) broken("dict without slots");
      for (int64_t k = 0; k < v->count; ++k) {
        const Value* key = v->payload.items[2 * k];
        if (key == nullptr || key->kind != VALUE_STRING) broken("dict key not a string");
        check_tree(key, depth + 1);
        check_tree(v->payload.items[2 * k + 1], depth + 1);
      }
      if (v->payload.items[2 * v->count] != nullptr) broken("dict slots not terminated");
      break;
    }
    default:
      broken("unknown kind");
  }
}

void check_and_free(Value* v) {
  check_tree(v);
  value_free(v);
}

// ---- arbitrary trees --------------------------------------------------------------

Value* random_tree(Reader& in, int depth);

// Pointer-typed arguments for value_build_dict: keys (may be null) and values.
Value* random_dict(Reader& in, int depth) {
  int pairs = in.byte() % 5;
  std::string keys[4];
  const char* key_ptr[4];
  Value* values[4];
  for (int k = 0; k < pairs; ++k) {
    keys[k] = in.bytes(40);
    key_ptr[k] = (in.byte() & 7) == 0 ? nullptr : keys[k].c_str();
    values[k] = (in.byte() & 7) == 0 ? nullptr : random_tree(in, depth + 1);
  }
  switch (pairs) {
    case 0:
      return value_build_dict(0);
    case 1:
      return value_build_dict(1, key_ptr[0], values[0]);
    case 2:
      return value_build_dict(2, key_ptr[0], values[0], key_ptr[1], values[1]);
    case 3:
      return value_build_dict(3, key_ptr[0], values[0], key_ptr[1], values[1], key_ptr[2],
                              values[2]);
    default:
      return value_build_dict(4, key_ptr[0], values[0], key_ptr[1], values[1], key_ptr[2],
                              values[2], key_ptr[3], values[3]);
  }
}

// value_build with an arbitrary format. The letters that consume an argument
// (f s L i O) are chosen at run time but each call must pass arguments of
// exactly their types, so the consuming letters (at most three) select a
// template instance; letters that consume nothing ('n' and any other byte)
// are mixed in freely.
template <char Letter> struct Arg;
template <> struct Arg<'f'> { using type = double; };
template <> struct Arg<'s'> { using type = const char*; };
template <> struct Arg<'L'> { using type = int64_t; };
template <> struct Arg<'i'> { using type = int32_t; };
template <> struct Arg<'O'> { using type = Value*; };

struct BuildInput {
  Reader* in;
  int depth;
  std::vector<std::string>* texts;  // owns the bytes behind every "s" argument
};

template <char Letter>
typename Arg<Letter>::type make_arg(BuildInput& b) {
  if constexpr (Letter == 'f') {
    return b.in->pod<double>();  // any bit pattern: NaN, infinities, denormals
  } else if constexpr (Letter == 's') {
    if ((b.in->byte() & 7) == 0) return nullptr;
    b.texts->push_back(b.in->bytes(60));
    return b.texts->back().c_str();
  } else if constexpr (Letter == 'L') {
    return b.in->pod<int64_t>();
  } else if constexpr (Letter == 'i') {
    return b.in->pod<int32_t>();
  } else {
    return (b.in->byte() & 7) == 0 ? nullptr : random_tree(*b.in, b.depth + 1);
  }
}

template <char... Letters>
Value* build_with(const std::string& format, BuildInput& b) {
  // Braced initialisation evaluates left to right, so the input is read in
  // letter order.
  std::tuple<typename Arg<Letters>::type...> args{make_arg<Letters>(b)...};
  return std::apply([&](auto... a) { return value_build(format.c_str(), a...); }, args);
}

template <char... Letters>
Value* build_dispatch(const char* consuming, const std::string& format, BuildInput& b) {
  if constexpr (sizeof...(Letters) < 3) {
    switch (*consuming) {
      case 'f': return build_dispatch<Letters..., 'f'>(consuming + 1, format, b);
      case 's': return build_dispatch<Letters..., 's'>(consuming + 1, format, b);
      case 'L': return build_dispatch<Letters..., 'L'>(consuming + 1, format, b);
      case 'i': return build_dispatch<Letters..., 'i'>(consuming + 1, format, b);
      case 'O': return build_dispatch<Letters..., 'O'>(consuming + 1, format, b);
      default: break;
    }
  }
  return build_with<Letters...>(format, b);
}

Value* random_build(Reader& in, int depth) {
  // The format: up to 12 bytes; consuming letters beyond the third become 'n'.
  std::string format;
  std::string consuming;
  size_t length = in.byte() % 13;
  for (size_t k = 0; k < length; ++k) {
    char c = static_cast<char>(in.byte());
    if (c == '\0') c = 'n';
    if (strchr("fsLiO", c) != nullptr) {
      if (consuming.size() == 3) c = 'n';
      else consuming.push_back(c);
    }
    format.push_back(c);
  }
  std::vector<std::string> texts;
  texts.reserve(4);  // keeps every c_str() handed out valid
  BuildInput b{&in, depth, &texts};
  return build_dispatch<>(consuming.c_str(), format, b);
}

Value* random_tree(Reader& in, int depth) {
  uint8_t op = in.byte();
  if (depth > 6) op %= 6;  // leaves only, so trees stay small
  switch (op % 10) {
    case 0: return value_new_float(in.pod<double>());
    case 1: return value_new_nan();
    case 2: {
      std::string s = in.bytes(255);
      // A null pointer with a length is taken as the empty string.
      return (in.byte() & 15) == 0 ? value_new_string(nullptr, s.size())
                                   : value_new_string(s.data(), s.size());
    }
    case 3: return value_new_int64(in.pod<int64_t>());
    case 4: return value_new_int32(in.pod<int32_t>());
    case 5: return value_new_none();
    case 6:
    case 7: {
      int32_t count = static_cast<int32_t>(in.byte() % 6);
      if (in.byte() == 0xff) count -= 3;  // a negative count is taken as 0
      Value* v = value_new_container(op % 10 == 6 ? VALUE_TUPLE : VALUE_LIST, count);
      if (v == nullptr) broken("small container not allocated");
      for (int64_t k = 0; k < v->count; ++k) v->payload.items[k] = random_tree(in, depth + 1);
      return v;
    }
    case 8: return random_dict(in, depth);
    default: return random_build(in, depth);
  }
}

// ---- value_parse -----------------------------------------------------------------

void fuzz_parse(Reader& in) {
  Value* tree = random_tree(in, 0);
  // An argument tuple is what value_parse expects; anything else must be refused.
  if ((in.byte() & 3) != 0) {
    Value* tuple = value_new_container(VALUE_TUPLE, 1 + in.byte() % 4);
    tuple->payload.items[0] = tree;
    for (int64_t k = 1; k < tuple->count; ++k) tuple->payload.items[k] = random_tree(in, 1);
    tree = tuple;
  }
  std::string format;
  size_t length = in.byte() % 9;
  for (size_t k = 0; k < length; ++k) {
    static const char kLetters[] = "sfOiLx";
    format.push_back(kLetters[in.byte() % 6]);
  }
  // Every output goes through a pointer; 8 aligned slots cover any format.
  union Slot {
    const char* s;
    float f;
    Value* o;
    int32_t i;
    int64_t l;
  } slots[8];
  memset(slots, 0, sizeof slots);
  int32_t matched = value_parse(tree, format.c_str(), &slots[0], &slots[1], &slots[2],
                                &slots[3], &slots[4], &slots[5], &slots[6], &slots[7]);
  if (matched != 0 && matched != 1) broken("value_parse answered neither 0 nor 1");
  if (matched == 1 && (tree->kind != VALUE_TUPLE || tree->count < (int64_t)format.size()))
    broken("value_parse matched more letters than items");
  if (matched == 1) {
    for (size_t k = 0; k < format.size(); ++k) {
      if (format[k] == 's') {
        // The item's own bytes, terminated, with no NUL before their end.
        if (strlen(slots[k].s) != static_cast<size_t>(tree->payload.items[k]->count))
          broken("value_parse \"s\" matched a text holding a NUL byte");
      } else if (format[k] == 'O') {
        check_tree(slots[k].o);
      } else if (format[k] == 'x') {
        broken("value_parse matched an unknown letter");
      }
    }
  }
  // A null tuple or format is refused.
  if (value_parse(nullptr, "i", &slots[0]) != 0) broken("value_parse of null matched");
  if (value_parse(tree, nullptr) != 0) broken("value_parse with a null format matched");
  check_and_free(tree);
}

// ---- translators -----------------------------------------------------------------

// What the stub delivery saw, for the callback checks.
int g_deliveries = 0;
int64_t g_log_slot = -1;

template <typename Record>
Record random_record(Reader& in) {
  return in.pod<Record>();  // every bit of every field arbitrary (NaN, infinities, codes)
}

void fuzz_translators(Reader& in) {
  std::string text = in.bytes(200);  // message text, NUL bytes possible
  std::string image = in.bytes(255);
  void* user_data = reinterpret_cast<void*>(static_cast<uintptr_t>(in.pod<uint64_t>()));
  switch (in.byte() % 8) {
    case 0: {
      auto record = random_record<velto_gaze_data>(in);
      check_and_free(gaze_data_to_value(&record));
      gaze_data_callback(&record, user_data);
      gaze_data_callback(nullptr, user_data);
      break;
    }
    case 1: {
      auto record = random_record<velto_external_signal_data>(in);
      check_and_free(external_signal_to_value(&record));
      external_signal_callback(&record, user_data);
      break;
    }
    case 2: {
      auto record = random_record<velto_time_synchronization_data>(in);
      check_and_free(time_synchronization_to_value(&record));
      time_synchronization_callback(&record, user_data);
      break;
    }
    case 3: {
      auto record = random_record<velto_stream_error_data>(in);
      record.message = (in.byte() & 7) == 0 ? nullptr : text.c_str();
      check_and_free(stream_error_to_value(&record));
      stream_error_callback(&record, user_data);
      break;
    }
    case 4: {
      auto record = random_record<velto_notification>(in);
      check_and_free(notification_to_value(&record));
      notification_callback(&record, user_data);
      break;
    }
    case 5: {
      auto record = random_record<velto_eye_image>(in);
      // Image sizes stay within the buffer (zero included); a null pointer
      // may come with any size.
      if ((in.byte() & 7) == 0) {
        record.image_data = nullptr;
      } else {
        record.image_data = image.data();
        record.image_size = image.empty() ? 0 : record.image_size % (image.size() + 1);
      }
      check_and_free(eye_image_to_value(&record));
      eye_image_callback(&record, user_data);
      break;
    }
    case 6: {
      int64_t stamp = in.pod<int64_t>();
      int32_t source = in.pod<int32_t>();
      int32_t level = in.pod<int32_t>();
      const char* message = (in.byte() & 7) == 0 ? nullptr : text.c_str();
      check_and_free(log_message_to_value(stamp, source, level, message));
      g_log_slot = static_cast<int64_t>(in.pod<uint64_t>() % 3) - 1;
      log_callback(stamp, source, level, message);
      break;
    }
    default: {
      auto area = random_record<velto_display_area>(in);
      check_and_free(display_area_to_value(&area));
      break;
    }
  }
}

// ---- round_float -----------------------------------------------------------------

void fuzz_round_float(Reader& in) {
  float f = in.pod<float>();
  double d = round_float(f);
  if ((f != f) != (d != d)) broken("round_float changed NaN-ness");
  if (f == f && f - f != 0 && d != static_cast<double>(f)) broken("round_float changed an infinity");
  if (f == f && f - f == 0) {
    // Six decimals: never further than half a millionth (plus the double's
    // own rounding of large values) from the float.
    double error = d - static_cast<double>(f);
    if (error < 0) error = -error;
    double bound = 5e-7 + 1e-15 * (static_cast<double>(f) < 0 ? -f : f);
    if (error > bound) broken("round_float moved the value by more than its rounding");
  }
}

// Freed nodes must reach the allocator at once under ASan (no block cache),
// or use-after-free of a node would go unseen. Checked once per run.
void check_nodes_are_freed_to_the_allocator() {
  Value* v = value_new_int32(1);
  value_free(v);
  if (!__asan_address_is_poisoned(v)) broken("a freed node is not poisoned: block cache active");
}

}  // namespace

// Registry stubs in place of the real one (and so without Python): delivery
// checks the dict and keeps nothing, as the real one; no subscription is stale.
void stream_deliver(uint64_t user_data, int32_t stream_type, const Value* dict) {
  if (stream_type < STREAM_LOG || stream_type > STREAM_EYE_IMAGES) broken("bad stream type");
  check_tree(dict);
  if (dict->kind != VALUE_DICT) broken("stream record is not a dict");
  ++g_deliveries;
}

uint64_t registry_log() {
  return g_log_slot < 0 ? kNoSubscription : static_cast<uint64_t>(g_log_slot);
}
bool registry_is_stale(uint64_t) { return false; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  check_nodes_are_freed_to_the_allocator();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in{data, size};
  while (!in.empty()) {
    switch (in.byte() % 4) {
      case 0: check_and_free(random_tree(in, 0)); break;
      case 1: fuzz_parse(in); break;
      case 2: fuzz_translators(in); break;
      default: fuzz_round_float(in); break;
    }
  }
  return 0;
}
