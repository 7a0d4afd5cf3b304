// Value tree: constructors, builders, parser, free, round_float.
#include "value/value.h"

#include <gtest/gtest.h>

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

uint64_t bits_of(double d) {
  uint64_t bits;
  memcpy(&bits, &d, sizeof bits);
  return bits;
}

Value* item(const Value* container, int k) { return container->payload.items[k]; }

// ---- Constructors ----------------------------------------------------------

TEST(ValueConstructors, ScalarsCarryTheirPayloadAndZeroCount) {
  Value* f = value_new_float(2.5);
  Value* l = value_new_int64(INT64_MIN);
  Value* i = value_new_int32(-7);
  Value* n = value_new_none();
  EXPECT_EQ(VALUE_FLOAT, f->kind);
  EXPECT_EQ(2.5, f->payload.f);
  EXPECT_EQ(VALUE_INT64, l->kind);
  EXPECT_EQ(INT64_MIN, l->payload.i64);
  EXPECT_EQ(VALUE_INT32, i->kind);
  EXPECT_EQ(-7, i->payload.i32);
  EXPECT_EQ(VALUE_NONE, n->kind);
  EXPECT_EQ(0u, static_cast<uint64_t>(n->payload.i64));
  for (Value* v : {f, l, i, n}) {
    EXPECT_EQ(0, v->count);
    value_free(v);
  }
}

TEST(ValueConstructors, NanMarkerHasExactBits) {
  Value* v = value_new_nan();
  EXPECT_EQ(VALUE_FLOAT, v->kind);
  EXPECT_EQ(kValueNanBits, bits_of(v->payload.f));
  EXPECT_TRUE(signbit(v->payload.f));
  value_free(v);
}

TEST(ValueConstructors, StringKeepsEmbeddedNulBytes) {
  const char bytes[] = {'a', '\0', 'b'};
  Value* v = value_new_string(bytes, 3);
  ASSERT_EQ(VALUE_STRING, v->kind);
  EXPECT_EQ(3, v->count);
  EXPECT_EQ(0, memcmp(v->payload.s, bytes, 3));
  EXPECT_EQ('\0', v->payload.s[3]);

  Value* tuple = value_build("O", v);
  const char* text = nullptr;
  ASSERT_EQ(1, value_parse(tuple, "s", &text));
  EXPECT_EQ(v->payload.s, text);  // the item's own bytes, not a copy
  EXPECT_EQ(1u, strlen(text));
  value_free(tuple);
}

TEST(ValueConstructors, NullStringBytesGiveTheEmptyString) {
  Value* v = value_new_string(nullptr, 5);
  ASSERT_EQ(VALUE_STRING, v->kind);
  EXPECT_EQ(0, v->count);
  EXPECT_STREQ("", v->payload.s);
  value_free(v);
}

TEST(ValueConstructors, ContainerSlotsStartNull) {
  Value* list = value_new_container(VALUE_LIST, 4);
  EXPECT_EQ(VALUE_LIST, list->kind);
  EXPECT_EQ(4, list->count);
  for (int k = 0; k <= 4; ++k) EXPECT_EQ(nullptr, item(list, k));
  value_free(list);  // no slot filled: nothing but the node to free
}

// Regression: a negative count must not size the slot array from garbage.
TEST(ValueConstructors, NegativeContainerCountIsEmpty) {
  Value* tuple = value_new_container(VALUE_TUPLE, -3);
  EXPECT_EQ(0, tuple->count);
  EXPECT_EQ(nullptr, item(tuple, 0));
  value_free(tuple);
  Value* dict = value_build_dict(-1);
  EXPECT_EQ(VALUE_DICT, dict->kind);
  EXPECT_EQ(0, dict->count);
  value_free(dict);
}

// ---- Builders --------------------------------------------------------------

TEST(ValueBuild, EveryLetter) {
  Value* inner = value_new_int32(9);
  Value* t = value_build("fsLinO", 1.25, "ab", static_cast<int64_t>(1) << 40, -2, inner);
  ASSERT_EQ(VALUE_TUPLE, t->kind);
  ASSERT_EQ(6, t->count);
  EXPECT_EQ(1.25, item(t, 0)->payload.f);
  EXPECT_EQ(VALUE_STRING, item(t, 1)->kind);
  EXPECT_STREQ("ab", item(t, 1)->payload.s);
  EXPECT_EQ(2, item(t, 1)->count);
  EXPECT_EQ(static_cast<int64_t>(1) << 40, item(t, 2)->payload.i64);
  EXPECT_EQ(-2, item(t, 3)->payload.i32);
  EXPECT_EQ(kValueNanBits, bits_of(item(t, 4)->payload.f));
  EXPECT_EQ(inner, item(t, 5));  // taken over, not copied
  EXPECT_EQ(nullptr, item(t, 6));
  value_free(t);
}

TEST(ValueBuild, NanLettersConsumeNoArgument) {
  Value* t = value_build("nnn");
  ASSERT_EQ(3, t->count);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(VALUE_FLOAT, item(t, k)->kind);
    EXPECT_EQ(kValueNanBits, bits_of(item(t, k)->payload.f));
  }
  value_free(t);
  // An "n" between consuming letters must not shift the arguments.
  t = value_build("ini", 1, 2);
  EXPECT_EQ(1, item(t, 0)->payload.i32);
  EXPECT_EQ(2, item(t, 2)->payload.i32);
  value_free(t);
}

TEST(ValueBuild, FloatIsWidenedAndStringIsCopied) {
  float f = 0.1f;
  char* text = strdup("hello");
  Value* t = value_build("ifs", 0, f, text);
  memset(text, 'x', 5);
  free(text);
  EXPECT_EQ(static_cast<double>(0.1f), item(t, 1)->payload.f);
  EXPECT_NE(0.1, item(t, 1)->payload.f);
  EXPECT_STREQ("hello", item(t, 2)->payload.s);
  value_free(t);
}

TEST(ValueBuild, EmptyFormatGivesEmptyTuple) {
  Value* t = value_build("");
  EXPECT_EQ(VALUE_TUPLE, t->kind);
  EXPECT_EQ(0, t->count);
  ASSERT_NE(nullptr, t->payload.items);
  EXPECT_EQ(nullptr, item(t, 0));
  int64_t out = 77;
  EXPECT_EQ(0, value_parse(t, "L", &out));
  EXPECT_EQ(77, out);
  EXPECT_EQ(1, value_parse(t, ""));
  value_free(t);
}

TEST(ValueBuild, UnknownLetterGivesNoneAndConsumesNothing) {
  Value* t = value_build("iXi", 1, 2);
  ASSERT_EQ(3, t->count);
  EXPECT_EQ(1, item(t, 0)->payload.i32);
  EXPECT_EQ(VALUE_NONE, item(t, 1)->kind);
  EXPECT_EQ(2, item(t, 2)->payload.i32);
  value_free(t);
}

// Regression: a null node in a slot would end value_free's walk early and
// leak every item after it.
TEST(ValueBuild, NullNodeOrStringBecomesAnItem) {
  Value* t = value_build("Osi", static_cast<Value*>(nullptr), static_cast<const char*>(nullptr), 4);
  ASSERT_EQ(3, t->count);
  EXPECT_EQ(VALUE_NONE, item(t, 0)->kind);
  EXPECT_EQ(VALUE_STRING, item(t, 1)->kind);
  EXPECT_EQ(0, item(t, 1)->count);
  EXPECT_EQ(4, item(t, 2)->payload.i32);
  value_free(t);

  Value* d = value_build_dict(2, static_cast<const char*>(nullptr), value_new_int32(1), "b",
                              static_cast<Value*>(nullptr));
  EXPECT_STREQ("", item(d, 0)->payload.s);
  EXPECT_EQ(VALUE_NONE, item(d, 3)->kind);
  value_free(d);
}

TEST(ValueBuild, DictKeepsPairOrderAndCopiesKeys) {
  char key[] = "first";
  Value* one = value_new_int32(1);
  Value* d = value_build_dict(3, key, one, "second", value_new_none(), "first",
                              value_build("ff", 1.0, 2.0));
  key[0] = 'X';
  ASSERT_EQ(VALUE_DICT, d->kind);
  ASSERT_EQ(3, d->count);
  EXPECT_STREQ("first", item(d, 0)->payload.s);
  EXPECT_EQ(5, item(d, 0)->count);
  EXPECT_EQ(one, item(d, 1));
  EXPECT_STREQ("second", item(d, 2)->payload.s);
  EXPECT_EQ(VALUE_NONE, item(d, 3)->kind);
  EXPECT_STREQ("first", item(d, 4)->payload.s);  // duplicates are kept
  EXPECT_EQ(VALUE_TUPLE, item(d, 5)->kind);
  EXPECT_EQ(nullptr, item(d, 6));
  value_free(d);
}

TEST(ValueBuild, StatusResultIsOneInt32Tuple) {
  Value* r = status_result(15);
  ASSERT_EQ(VALUE_TUPLE, r->kind);
  ASSERT_EQ(1, r->count);
  EXPECT_EQ(VALUE_INT32, item(r, 0)->kind);
  EXPECT_EQ(15, item(r, 0)->payload.i32);
  EXPECT_EQ(nullptr, item(r, 1));
  value_free(r);
}

// ---- Free and allocation ---------------------------------------------------

TEST(ValueFree, NullAndNestedTrees) {
  value_free(nullptr);
  Value* list = value_new_container(VALUE_LIST, 2);
  list->payload.items[0] = value_build("sO", "x", value_build_dict(1, "k", value_new_nan()));
  list->payload.items[1] = value_new_string("abc", 3);
  Value* t = value_build("iO", 0, list);
  value_free(t);  // under AddressSanitizer a leaked or doubly freed node fails here
}

TEST(ValueFree, PyObjectPayloadIsNotTouched) {
  // Not a real Python object: value_free must neither read nor write it.
  int sentinel = 12345;
  Value* node = value_new_none();
  node->kind = VALUE_PYOBJECT;
  node->payload.pyobject = &sentinel;
  Value* t = value_build("O", node);
  value_free(t);
  EXPECT_EQ(12345, sentinel);
}

// Regression: recycled nodes must come back zero-filled like fresh ones.
TEST(ValueFree, RecycledBlocksAreZeroFilled) {
  for (int round = 0; round < 100; ++round) {
    std::vector<Value*> dirty;
    for (int k = 0; k < 50; ++k) {
      dirty.push_back(value_new_int64(-1));
      dirty.push_back(value_new_string("xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", 40));
      dirty.push_back(value_build("LLL", int64_t{-1}, int64_t{-1}, int64_t{-1}));
    }
    for (Value* v : dirty) value_free(v);
    for (int k = 0; k < 50; ++k) {
      Value* i = value_new_int32(-1);
      EXPECT_EQ(0xFFFFFFFFull, static_cast<uint64_t>(i->payload.i64)) << "upper half not zero";
      value_free(i);
      Value* s = value_new_string("ab", 2);
      EXPECT_EQ(0, memcmp(s->payload.s, "ab\0", 3));
      value_free(s);
      Value* c = value_new_container(VALUE_TUPLE, 3);
      for (int slot = 0; slot <= 3; ++slot) ASSERT_EQ(nullptr, item(c, slot));
      value_free(c);
      Value* longer = value_new_string("abcdefghij", 10);
      EXPECT_EQ('\0', longer->payload.s[10]);
      value_free(longer);
    }
  }
}

TEST(ValueFree, LargeStringsAndContainers) {
  std::vector<char> bytes(1 << 20, 'q');
  bytes[100] = '\0';
  Value* s = value_new_string(bytes.data(), bytes.size());
  ASSERT_EQ(static_cast<int64_t>(bytes.size()), s->count);
  EXPECT_EQ(0, memcmp(s->payload.s, bytes.data(), bytes.size()));
  EXPECT_EQ('\0', s->payload.s[bytes.size()]);
  Value* big = value_new_container(VALUE_LIST, 5000);
  for (int k = 0; k < 5000; ++k) {
    ASSERT_EQ(nullptr, item(big, k));
    big->payload.items[k] = value_new_int32(k);
  }
  EXPECT_EQ(nullptr, item(big, 5000));
  value_free(value_build("OO", s, big));
}

// Argument trees are built on a Python thread and freed on the worker.
// Builders and freers running at once, trees crossing between them, while
// each thread also builds and frees its own (as stream callbacks do).
TEST(ValueFree, ConcurrentBuildersAndFreers) {
  std::mutex mutex;
  std::deque<Value*> queue;
  std::atomic<int> producers_left{2};
  auto produce = [&] {
    for (int k = 0; k < 20000; ++k) {
      Value* t = value_build("sO", "argument", value_build("iLf", k, int64_t{k}, 0.5));
      value_free(value_build_dict(1, "local", value_new_string("abcdefgh", 8)));
      std::lock_guard<std::mutex> lock(mutex);
      queue.push_back(t);
    }
    --producers_left;
  };
  auto consume = [&] {
    for (;;) {
      Value* t = nullptr;
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (!queue.empty()) {
          t = queue.front();
          queue.pop_front();
        } else if (producers_left == 0) {
          return;
        }
      }
      if (t) {
        int32_t k = -1;
        Value* inner = nullptr;
        const char* text = nullptr;
        ASSERT_EQ(1, value_parse(t, "sO", &text, &inner));
        ASSERT_STREQ("argument", text);
        ASSERT_EQ(1, value_parse(inner, "i", &k));
        value_free(t);
      }
      value_free(value_new_int32(1));
    }
  };
  std::vector<std::thread> threads;
  threads.emplace_back(produce);
  threads.emplace_back(produce);
  threads.emplace_back(consume);
  threads.emplace_back(consume);
  for (std::thread& t : threads) t.join();
  EXPECT_TRUE(queue.empty());
}

// Blocks freed on one thread and reused on another (through the central
// lists) come back zero-filled and intact, whichever thread frees them.
TEST(ValueFree, BlocksCrossingThreadsComeBackZeroFilled) {
  for (int round = 0; round < 5; ++round) {
    std::vector<Value*> dirty;
    std::thread maker([&] {
      for (int k = 0; k < 5000; ++k) {
        dirty.push_back(value_new_int64(-1));
        dirty.push_back(value_build("LL", int64_t{-1}, int64_t{-1}));
      }
    });
    maker.join();
    std::thread freer([&] {
      for (Value* v : dirty) value_free(v);
    });
    freer.join();
    std::thread user([] {
      std::vector<Value*> fresh;
      for (int k = 0; k < 5000; ++k) {
        Value* i = value_new_int32(-1);
        ASSERT_EQ(0xFFFFFFFFull, static_cast<uint64_t>(i->payload.i64)) << "upper half not zero";
        Value* c = value_new_container(VALUE_TUPLE, 2);
        ASSERT_EQ(nullptr, item(c, 0));
        ASSERT_EQ(nullptr, item(c, 2));
        c->payload.items[0] = i;
        fresh.push_back(c);
      }
      for (Value* v : fresh) value_free(v);
    });
    user.join();
  }
}

// Regression: a double free must stop the process, not corrupt the heap.
TEST(ValueFreeDeathTest, DoubleFreeIsCaught) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Value* v = value_new_int32(1);
        value_free(v);
        value_free(v);
      },
      "");
}

// ---- Parser ----------------------------------------------------------------

TEST(ValueParse, IntegerLetters) {
  Value* t = value_build("iL", -1, (int64_t{1} << 32) + 5);
  int64_t wide = 0;
  int32_t narrow = 0;
  ASSERT_EQ(1, value_parse(t, "Li", &wide, &narrow));
  EXPECT_EQ(-1, wide);  // sign-extended
  EXPECT_EQ(5, narrow);  // low 32 bits
  int32_t a = 0;
  int64_t b = 0;
  ASSERT_EQ(1, value_parse(t, "iL", &a, &b));
  EXPECT_EQ(-1, a);
  EXPECT_EQ((int64_t{1} << 32) + 5, b);
  value_free(t);

  t = value_build("L", int64_t{0x80000000});
  ASSERT_EQ(1, value_parse(t, "i", &narrow));
  EXPECT_EQ(INT32_MIN, narrow);
  value_free(t);
}

TEST(ValueParse, KindAcceptanceTable) {
  Value* t = value_build("ifsLnO", 2, 0.1, "str", int64_t{3}, value_new_none());
  int32_t i;
  int64_t l;
  float f;
  const char* s;
  Value* o;
  // item 0: INT32, item 1: FLOAT, item 2: STRING, item 3: INT64, item 4: NaN float, item 5: NONE
  EXPECT_EQ(0, value_parse(t, "f", &f));          // "f" on INT32
  EXPECT_EQ(0, value_parse(t, "s", &s));          // "s" on INT32
  EXPECT_EQ(0, value_parse(t, "iL", &i, &l));     // "L" on FLOAT
  EXPECT_EQ(0, value_parse(t, "ii", &i, &i));     // "i" on FLOAT
  EXPECT_EQ(0, value_parse(t, "ifi", &i, &f, &i));  // "i" on STRING
  EXPECT_EQ(0, value_parse(t, "ifsf", &i, &f, &s, &f));  // "f" on INT64
  EXPECT_EQ(0, value_parse(t, "ifsLfs", &i, &f, &s, &l, &f, &s));  // "s" on NONE
  EXPECT_EQ(0, value_parse(t, "q"));              // letter outside the table

  ASSERT_EQ(1, value_parse(t, "ifsLfO", &i, &f, &s, &l, &f, &o));
  EXPECT_EQ(2, i);
  EXPECT_EQ(3, l);
  EXPECT_TRUE(isnan(f));
  EXPECT_STREQ("str", s);
  EXPECT_EQ(item(t, 2)->payload.s, s);
  EXPECT_EQ(item(t, 5), o);
  ASSERT_EQ(1, value_parse(t, "OfO", &o, &f, &o));
  EXPECT_EQ(0.1f, f);  // narrowed to the float nearest 0.1
  EXPECT_EQ(item(t, 2), o);
  value_free(t);
}

TEST(ValueParse, StringWithoutBufferIsRejected) {
  Value* s = value_new_string("x", 1);
  char* kept = s->payload.s;
  s->payload.s = nullptr;
  Value* t = value_build("O", s);
  const char* out = "untouched";
  EXPECT_EQ(0, value_parse(t, "s", &out));
  EXPECT_STREQ("untouched", out);
  s->payload.s = kept;
  value_free(t);
}

TEST(ValueParse, CountAndShape) {
  Value* one = value_build("L", int64_t{1});
  int64_t l = 0;
  Value* o = nullptr;
  EXPECT_EQ(0, value_parse(one, "LO", &l, &o));
  EXPECT_EQ(1, l);  // earlier outputs are written
  EXPECT_EQ(nullptr, o);  // later ones untouched
  value_free(one);

  Value* three = value_build("Lss", int64_t{8}, "a", "b");
  EXPECT_EQ(1, value_parse(three, "L", &l));
  EXPECT_EQ(8, l);
  value_free(three);

  Value* list = value_new_container(VALUE_LIST, 1);
  list->payload.items[0] = value_new_int64(1);
  EXPECT_EQ(0, value_parse(list, "L", &l));
  EXPECT_EQ(0, value_parse(list, ""));
  value_free(list);
  EXPECT_EQ(0, value_parse(nullptr, "L", &l));
  EXPECT_EQ(0, value_parse(nullptr, ""));
}

// ---- round_float and take --------------------------------------------------

TEST(RoundFloat, SixDecimalsThroughText) {
  EXPECT_EQ(0.1, round_float(0.1f));
  EXPECT_NE(static_cast<double>(0.1f), round_float(0.1f));
  EXPECT_EQ(59.939999, round_float(59.94f));
  EXPECT_EQ(0.333333, round_float(1.0f / 3.0f));
  EXPECT_EQ(600.0, round_float(600.0f));
  EXPECT_EQ(16777216.0, round_float(16777216.0f));
  EXPECT_EQ(-1.5, round_float(-1.5f));
  EXPECT_EQ(3.4028234663852886e38, round_float(3.4028234663852886e38f));

  double tiny = round_float(4e-7f);
  EXPECT_EQ(0.0, tiny);
  EXPECT_FALSE(signbit(tiny));
  double negative_tiny = round_float(-4e-7f);
  EXPECT_EQ(0.0, negative_tiny);
  EXPECT_TRUE(signbit(negative_tiny));
  EXPECT_EQ(0.000001, round_float(6e-7f));
}

TEST(TakePyObject, EmptiesTheNodeOnce) {
  int object = 0;
  Value* node = value_new_none();
  EXPECT_EQ(nullptr, value_take_pyobject(node));  // not a VALUE_PYOBJECT
  node->kind = VALUE_PYOBJECT;
  node->payload.pyobject = &object;
  EXPECT_EQ(&object, value_take_pyobject(node));
  EXPECT_EQ(nullptr, node->payload.pyobject);
  EXPECT_EQ(nullptr, value_take_pyobject(node));
  EXPECT_EQ(nullptr, value_take_pyobject(nullptr));
  value_free(node);
}

// ---- Arena trees -----------------------------------------------------------

// A buffer the stack would hold, filled with garbage first so that every
// zero a node shows comes from the arena, not from a fresh page.
struct DirtyBuffer {
  alignas(16) unsigned char bytes[4096];
  DirtyBuffer() { memset(bytes, 0xA5, sizeof bytes); }
};

TEST(ValueArena, NodesMatchTheirHeapTwinsAndAreZeroFilled) {
  DirtyBuffer buffer;
  ValueArena arena;
  value_arena_init(&arena, buffer.bytes + 3, sizeof buffer.bytes - 3);  // any alignment
  Value* i = value_arena_int32(&arena, -1);
  EXPECT_EQ(VALUE_INT32, i->kind);
  EXPECT_EQ(0, i->count);
  EXPECT_EQ(0xFFFFFFFFull, static_cast<uint64_t>(i->payload.i64)) << "upper half not zero";
  EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(i) % 8);
  Value* l = value_arena_int64(&arena, INT64_MIN);
  EXPECT_EQ(INT64_MIN, l->payload.i64);
  Value* n = value_arena_nan(&arena);
  EXPECT_EQ(kValueNanBits, bits_of(n->payload.f));
  Value* s = value_arena_string(&arena, "a\0b", 3);
  ASSERT_EQ(VALUE_STRING, s->kind);
  EXPECT_EQ(3, s->count);
  EXPECT_EQ(0, memcmp(s->payload.s, "a\0b\0", 4));
  Value* list = value_arena_container(&arena, VALUE_LIST, 3);
  EXPECT_EQ(VALUE_LIST, list->kind);
  for (int slot = 0; slot <= 3; ++slot) EXPECT_EQ(nullptr, item(list, slot));
  Value* dict = value_arena_container(&arena, VALUE_DICT, 2);
  EXPECT_EQ(2, dict->count);
  for (int slot = 0; slot <= 4; ++slot) EXPECT_EQ(nullptr, item(dict, slot));
  Value* t = value_arena_build(&arena, "fsLinO", 2.5, "xy", int64_t{7}, -3, s);
  int64_t wide = 0;
  int32_t narrow = 0;
  float f = 0;
  const char* text = nullptr;
  Value* node = nullptr;
  ASSERT_EQ(1, value_parse(t, "fsLiO", &f, &text, &wide, &narrow, &node));
  EXPECT_EQ(2.5f, f);
  EXPECT_STREQ("xy", text);
  EXPECT_EQ(7, wide);
  EXPECT_EQ(-3, narrow);
  EXPECT_EQ(kValueNanBits, bits_of(item(t, 4)->payload.f));
  EXPECT_EQ(s, item(t, 5));
  Value* d = value_arena_build_dict(&arena, 1, "key", value_arena_none(&arena));
  EXPECT_STREQ("key", item(d, 0)->payload.s);
  EXPECT_EQ(VALUE_NONE, item(d, 1)->kind);
  EXPECT_FALSE(value_string_is_static(item(d, 0)));  // value_arena_build_dict copies keys
  value_arena_release(&arena);
}

TEST(ValueArena, FreeLeavesArenaNodesToTheirArena) {
  DirtyBuffer buffer;
  ValueArena arena;
  value_arena_init(&arena, buffer.bytes, sizeof buffer.bytes);
  Value* inner = value_arena_build(&arena, "ii", 1, 2);
  // A heap tuple may hold an arena node: freeing it frees the heap nodes and
  // leaves the arena node (and its items) alone. Under AddressSanitizer a
  // free() of an arena node would fail here.
  Value* outer = value_build("sO", "heap", inner);
  value_free(outer);
  EXPECT_EQ(2, inner->count);
  EXPECT_EQ(2, item(inner, 1)->payload.i32);
  value_free(inner);  // also nothing
  EXPECT_EQ(1, item(inner, 0)->payload.i32);
  value_arena_release(&arena);
}

TEST(ValueArena, OverflowGoesToHeapChunksFreedOnRelease) {
  char small[40];
  ValueArena arena;
  value_arena_init(&arena, small, sizeof small);
  std::vector<Value*> nodes;
  for (int k = 0; k < 2000; ++k) nodes.push_back(value_arena_int32(&arena, k));
  std::vector<char> big(100000, 'z');
  Value* s = value_arena_string(&arena, big.data(), big.size());
  ASSERT_NE(nullptr, s);
  EXPECT_EQ('\0', s->payload.s[big.size()]);
  for (int k = 0; k < 2000; ++k) ASSERT_EQ(k, nodes[k]->payload.i32);
  value_arena_release(&arena);  // under AddressSanitizer a leaked chunk fails the test

  // Without a buffer every node comes from the heap chunks.
  value_arena_init(&arena, nullptr, 0);
  Value* t = value_arena_build(&arena, "sss", "a", "b", "c");
  EXPECT_STREQ("c", item(t, 2)->payload.s);
  value_arena_release(&arena);
  value_arena_release(&arena);  // an empty arena releases nothing
}

TEST(ValueArena, NullArenaMakesHeapNodes) {
  const double values[3] = {1.5, -2.0, 0.25};
  Value* t = value_arena_float_tuple(nullptr, 3, values);
  Value* i = value_arena_int32(nullptr, 5);
  Value* b = value_arena_build(nullptr, "O", i);
  static const ValueKey kKeys[2] = {{"first", 5}, {"second", 6}};
  Value* d = value_arena_dict_static_keys(nullptr, 2, kKeys);
  d->payload.items[1] = t;
  d->payload.items[3] = b;
  EXPECT_NE(kKeys[0].text, item(d, 0)->payload.s);  // heap keys are copies
  EXPECT_FALSE(value_string_is_static(item(d, 0)));
  EXPECT_EQ(0.25, item(t, 2)->payload.f);
  value_free(d);  // under AddressSanitizer a leaked or stray node fails here
}

TEST(ValueArena, FloatTupleKeepsBitsIncludingTheNanMarker) {
  double marker;
  memcpy(&marker, &kValueNanBits, sizeof marker);
  const double values[3] = {0.1f, marker, -0.0};
  DirtyBuffer buffer;
  ValueArena arena;
  value_arena_init(&arena, buffer.bytes, sizeof buffer.bytes);
  for (ValueArena* where : {&arena, static_cast<ValueArena*>(nullptr)}) {
    Value* t = value_arena_float_tuple(where, 3, values);
    ASSERT_EQ(VALUE_TUPLE, t->kind);
    ASSERT_EQ(3, t->count);
    EXPECT_EQ(nullptr, item(t, 3));
    for (int k = 0; k < 3; ++k) {
      EXPECT_EQ(VALUE_FLOAT, item(t, k)->kind);
      EXPECT_EQ(0, item(t, k)->count);
      EXPECT_EQ(bits_of(values[k]), bits_of(item(t, k)->payload.f)) << k;
    }
    Value* empty = value_arena_float_tuple(where, 0, nullptr);
    EXPECT_EQ(0, empty->count);
    EXPECT_EQ(nullptr, item(empty, 0));
    value_free(t);
    value_free(empty);
  }
  value_arena_release(&arena);
}

TEST(ValueArena, StaticKeyTablesAreSharedAcrossDicts) {
  // "gaze" cut to 2 bytes is not NUL-terminated at its length: copied once.
  static const ValueKey kKeys[4] = {{"device_time_stamp", 17}, {"gaze", 2}, {nullptr, 9}, {"", 0}};
  DirtyBuffer buffer;
  ValueArena arena;
  value_arena_init(&arena, buffer.bytes, sizeof buffer.bytes);
  Value* d = value_arena_dict_static_keys(&arena, 4, kKeys);
  Value* again = value_arena_dict_static_keys(&arena, 4, kKeys);
  ASSERT_EQ(VALUE_DICT, d->kind);
  ASSERT_EQ(4, d->count);
  for (int slot = 1; slot < 8; slot += 2) EXPECT_EQ(nullptr, item(d, slot));
  EXPECT_EQ(nullptr, item(d, 8));
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(item(d, 2 * k), item(again, 2 * k)) << "key " << k;  // one node per table key
    EXPECT_TRUE(value_string_is_static(item(d, 2 * k)));
    EXPECT_NE(nullptr, value_static_key_slot(item(d, 2 * k)));
  }
  EXPECT_EQ(kKeys[0].text, item(d, 0)->payload.s);
  EXPECT_EQ(17, item(d, 0)->count);
  EXPECT_NE(kKeys[1].text, item(d, 2)->payload.s);
  EXPECT_EQ(0, memcmp(item(d, 2)->payload.s, "ga\0", 3));
  EXPECT_EQ(0, item(d, 4)->count);  // a null text is the empty string
  EXPECT_STREQ("", item(d, 4)->payload.s);
  Value* copy = value_arena_string(&arena, "x", 1);
  Value* heap = value_new_string("x", 1);
  for (Value* other : {copy, heap}) {
    EXPECT_FALSE(value_string_is_static(other));
    EXPECT_EQ(nullptr, value_static_key_slot(other));
  }
  value_free(heap);
  EXPECT_FALSE(value_string_is_static(nullptr));
  // Neither value_free nor the arena's release touches the shared keys.
  const Value* key = item(d, 0);
  value_free(item(d, 0));
  value_arena_release(&arena);
  EXPECT_STREQ("device_time_stamp", key->payload.s);
}

// Regression: a heap node put into an arena container would never be freed.
TEST(ValueArenaDeathTest, HeapNodeInArenaTreeIsCaught) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        ValueArena arena;
        value_arena_init(&arena, nullptr, 0);
        value_arena_build(&arena, "O", value_new_int32(1));
      },
      "heap node");
}

}  // namespace
