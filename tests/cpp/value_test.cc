// Value tree: constructors, builders, parser, free and the node pool,
// round_float, arena trees. Trees are compared as show() writes them: every
// kind, payload bit, slot and string terminator.
#include "value/value.h"

#include <gtest/gtest.h>

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

Value* item(const Value* container, int k) { return container->payload.items[k]; }

// ---- Constructors and builders ---------------------------------------------------

TEST(ValueBuild, ConstructorsAndBuildersMakeExactTrees) {
  const char nul_inside[] = {'a', '\0', 'b'};
  char key[] = "first";
  char* text = strdup("hello");
  Value* taken = value_new_int32(9);
  std::pair<Value*, const char*> cases[] = {
      {value_new_float(2.5), "f2.5"},
      {value_new_int64(INT64_MIN), "L-9223372036854775808"},
      {value_new_int32(-7), "i-7"},
      {value_new_none(), "None"},
      {value_new_nan(), "N"},
      {value_new_string(nul_inside, 3), "'a\\x00b'"},
      {value_new_bytes("\x89G\0", 3), "b'\\x89G\\x00'"},
      {value_new_string(nullptr, 5), "''"},
      {value_new_container(VALUE_LIST, 4), "[null, null, null, null]"},
      {value_build("fsLinO", 1.25, "ab", int64_t{1} << 40, -2, taken),
       "(f1.25, 'ab', L1099511627776, i-2, N, i9)"},
      {value_build("nnn"), "(N, N, N)"},
      {value_build("ini", 1, 2), "(i1, N, i2)"},  // "n" consumes no argument
      {value_build("ifs", 0, 0.1f, text), "(i0, f0.10000000149011612, 'hello')"},
      {value_build(""), "()"},
      {value_build("iXi", 1, 2), "(i1, None, i2)"},  // unknown letter: None, consumes nothing
      {value_build_dict(3, key, value_new_int32(1), "second", value_new_none(), "first",
                        value_build("ff", 1.0, 2.0)),
       "{'first': i1, 'second': None, 'first': (f1, f2)}"},  // order and duplicates kept
      {status_result(15), "(i15)"},
  };
  memset(text, 'x', 5);  // strings and keys were copied
  free(text);
  key[0] = 'X';
  EXPECT_EQ(taken, item(cases[9].first, 5)) << "an \"O\" node is taken over, not copied";
  for (auto& c : cases) {
    EXPECT_EQ(c.second, show(c.first));
    const int32_t kind = c.first->kind;
    if (kind == VALUE_FLOAT || kind == VALUE_INT64 || kind == VALUE_INT32 || kind == VALUE_NONE) {
      EXPECT_EQ(0, c.first->count) << c.second;  // a scalar counts nothing
    }
    value_free(c.first);
  }
}

// Regression: a negative count must not size the slot array from garbage.
TEST(ValueBuild, NegativeContainerCountIsEmpty) {
  Tree tuple(value_new_container(VALUE_TUPLE, -3));
  EXPECT_EQ("()", show(tuple.v));
  Tree dict(value_build_dict(-1));
  EXPECT_EQ("{}", show(dict.v));
}

// Regression: a null node in a slot would end value_free's walk early and
// leak every item after it.
TEST(ValueBuild, NullNodeOrStringBecomesAnItem) {
  Tree t(value_build("Osi", static_cast<Value*>(nullptr), static_cast<const char*>(nullptr), 4));
  EXPECT_EQ("(None, '', i4)", show(t.v));
  Tree d(value_build_dict(2, static_cast<const char*>(nullptr), value_new_int32(1), "b",
                          static_cast<Value*>(nullptr)));
  EXPECT_EQ("{'': i1, 'b': None}", show(d.v));
}

// ---- Free and the node pool ------------------------------------------------------

TEST(ValueFree, NestedTreesAndPyObjectPayloadsAreLeftAlone) {
  value_free(nullptr);
  // Not a real Python object: value_free must neither read nor write it.
  int sentinel = 12345;
  Value* node = value_new_none();
  node->kind = VALUE_PYOBJECT;
  node->payload.pyobject = &sentinel;
  Value* list = value_new_container(VALUE_LIST, 2);
  list->payload.items[0] = value_build("sO", "x", value_build_dict(1, "k", value_new_nan()));
  list->payload.items[1] = node;
  // Under AddressSanitizer a leaked or doubly freed node fails here.
  value_free(value_build("iO", 0, list));
  EXPECT_EQ(12345, sentinel);
}

// Makes `count` nodes of each kind and checks they came zero-filled.
void expect_fresh_nodes_zero_filled(int count) {
  for (int k = 0; k < count; ++k) {
    Tree i(value_new_int32(-1));
    ASSERT_EQ(0xFFFFFFFFull, static_cast<uint64_t>(i.v->payload.i64)) << "upper half not zero";
    Tree s(value_new_string("ab", 2));
    ASSERT_EQ("'ab'", show(s.v));
    Tree c(value_new_container(VALUE_TUPLE, 3));
    ASSERT_EQ("(null, null, null)", show(c.v));
    Tree longer(value_new_string("abcdefghij", 10));
    ASSERT_EQ("'abcdefghij'", show(longer.v));
  }
}

// Regression: recycled nodes must come back zero-filled like fresh ones,
// also when another thread freed them (through the central lists).
TEST(ValueFree, RecycledBlocksAreZeroFilled) {
  auto make_dirty = [](std::vector<Value*>* dirty) {
    for (int k = 0; k < 5000; ++k) {
      dirty->push_back(value_new_int64(-1));
      dirty->push_back(value_new_string("xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", 40));
      dirty->push_back(value_build("LLL", int64_t{-1}, int64_t{-1}, int64_t{-1}));
    }
  };
  auto free_all = [](std::vector<Value*>* dirty) {
    for (Value* v : *dirty) value_free(v);
  };
  for (int round = 0; round < 5; ++round) {
    std::vector<Value*> dirty;
    make_dirty(&dirty);
    free_all(&dirty);
    expect_fresh_nodes_zero_filled(5000);
    dirty.clear();
    std::thread(make_dirty, &dirty).join();
    std::thread(free_all, &dirty).join();
    std::thread(expect_fresh_nodes_zero_filled, 5000).join();
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

// ---- Parser ------------------------------------------------------------------------

TEST(ValueParse, LettersKindsCountAndShape) {
  Tree t(value_build("ifsLnO", 2, 0.1, "str", (int64_t{1} << 32) + 5, value_new_none()));
  int32_t i;
  int64_t l;
  float f;
  const char* s;
  Value* o;
  // Each letter on an item of a kind it does not take (item 4 is the NaN float).
  EXPECT_EQ(0, value_parse(t.v, "f", &f));
  EXPECT_EQ(0, value_parse(t.v, "s", &s));
  EXPECT_EQ(0, value_parse(t.v, "iL", &i, &l));
  EXPECT_EQ(0, value_parse(t.v, "ii", &i, &i));
  EXPECT_EQ(0, value_parse(t.v, "ifi", &i, &f, &i));
  EXPECT_EQ(0, value_parse(t.v, "ifsf", &i, &f, &s, &f));
  EXPECT_EQ(0, value_parse(t.v, "ifsLfs", &i, &f, &s, &l, &f, &s));
  EXPECT_EQ(0, value_parse(t.v, "q"));  // a letter outside the table
  ASSERT_EQ(1, value_parse(t.v, "ifsLfO", &i, &f, &s, &l, &f, &o));
  EXPECT_EQ(2, i);
  EXPECT_EQ((int64_t{1} << 32) + 5, l);
  EXPECT_TRUE(isnan(f));
  EXPECT_EQ(item(t.v, 2)->payload.s, s);  // the item's own bytes, not a copy
  EXPECT_EQ(item(t.v, 5), o);
  ASSERT_EQ(1, value_parse(t.v, "OfO", &o, &f, &o));
  EXPECT_EQ(0.1f, f);  // narrowed to the float nearest 0.1
  EXPECT_EQ(item(t.v, 2), o);
  // "L" sign-extends an INT32, "i" takes the low 32 bits of an INT64.
  Tree ints(value_build("iLL", -1, (int64_t{1} << 32) + 5, int64_t{0x80000000}));
  int32_t narrow = 0, high = 0;
  ASSERT_EQ(1, value_parse(ints.v, "Lii", &l, &narrow, &high));
  EXPECT_EQ(-1, l);
  EXPECT_EQ(5, narrow);
  EXPECT_EQ(INT32_MIN, high);

  // Too few items: earlier outputs written, later ones untouched; extra items ignored.
  Tree one(value_build("L", int64_t{1}));
  l = 0;
  o = nullptr;
  EXPECT_EQ(0, value_parse(one.v, "LO", &l, &o));
  EXPECT_EQ(1, l);
  EXPECT_EQ(nullptr, o);
  EXPECT_EQ(1, value_parse(t.v, "i", &i));
  Tree empty(value_build(""));
  EXPECT_EQ(1, value_parse(empty.v, ""));
  // Only a tuple parses.
  Tree list(value_new_container(VALUE_LIST, 1));
  list.v->payload.items[0] = value_new_int64(1);
  EXPECT_EQ(0, value_parse(list.v, "L", &l));
  EXPECT_EQ(0, value_parse(list.v, ""));
  EXPECT_EQ(0, value_parse(nullptr, ""));
}

TEST(ValueParse, StringWithoutBufferIsRejected) {
  Value* s = value_new_string("x", 1);
  char* kept = s->payload.s;
  s->payload.s = nullptr;
  Tree t(value_build("O", s));
  const char* out = "untouched";
  EXPECT_EQ(0, value_parse(t.v, "s", &out));
  EXPECT_STREQ("untouched", out);
  s->payload.s = kept;
}

// ---- round_float -----------------------------------------------------------------

TEST(RoundFloat, SixDecimalsThroughText) {
  const std::pair<float, double> cases[] = {
      {0.1f, 0.1},           {59.94f, 59.939999},      {1.0f / 3.0f, 0.333333},
      {600.0f, 600.0},       {16777216.0f, 16777216.0}, {-1.5f, -1.5},
      {6e-7f, 0.000001},     {3.4028234663852886e38f, 3.4028234663852886e38},
      {4e-7f, 0.0},          {-4e-7f, -0.0},
  };
  for (const auto& c : cases) {
    const double rounded = round_float(c.first);
    EXPECT_EQ(c.second, rounded) << c.first;
    EXPECT_EQ(signbit(c.second), signbit(rounded)) << c.first;
  }
}

// ---- Arena trees -----------------------------------------------------------------

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
  EXPECT_EQ(0xFFFFFFFFull, static_cast<uint64_t>(i->payload.i64)) << "upper half not zero";
  EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(i) % 8);
  EXPECT_EQ(0, i->count);
  Value* s = value_arena_string(&arena, "a\0b", 3);
  const std::pair<Value*, const char*> cases[] = {
      {value_arena_int64(&arena, INT64_MIN), "L-9223372036854775808"},
      {value_arena_nan(&arena), "N"},
      {s, "'a\\x00b'"},
      {value_arena_container(&arena, VALUE_LIST, 3), "[null, null, null]"},
      {value_arena_container(&arena, VALUE_DICT, 2), "{null: null, null: null}"},
      {value_arena_build(&arena, "fsLinO", 2.5, "xy", int64_t{7}, -3, s),
       "(f2.5, 'xy', L7, i-3, N, 'a\\x00b')"},
      {value_arena_build_dict(&arena, 1, "key", value_arena_none(&arena)), "{'key': None}"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, show(c.first));
  EXPECT_EQ(s, item(cases[5].first, 5));
  EXPECT_FALSE(value_string_is_static(item(cases[6].first, 0)));  // build_dict copies keys
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
  value_free(value_build("sO", "heap", inner));
  value_free(inner);  // also nothing
  EXPECT_EQ("(i1, i2)", show(inner));
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
  EXPECT_EQ("('a', 'b', 'c')", show(value_arena_build(&arena, "sss", "a", "b", "c")));
  value_arena_release(&arena);
  value_arena_release(&arena);  // an empty arena releases nothing
}

// A null arena makes heap nodes (value_free frees them all: under
// AddressSanitizer a leaked or stray node fails here).
TEST(ValueArena, FloatTuplesKeepBitsInAnArenaAndOnTheHeap) {
  double marker;
  memcpy(&marker, &kValueNanBits, sizeof marker);
  const double values[3] = {0.1f, marker, -0.0};
  DirtyBuffer buffer;
  ValueArena arena;
  value_arena_init(&arena, buffer.bytes, sizeof buffer.bytes);
  for (ValueArena* where : {&arena, static_cast<ValueArena*>(nullptr)}) {
    Tree t(value_arena_float_tuple(where, 3, values));
    EXPECT_EQ("(f0.10000000149011612, N, f-0)", show(t.v));
    Tree empty(value_arena_float_tuple(where, 0, nullptr));
    EXPECT_EQ("()", show(empty.v));
    Tree i(value_arena_build(where, "O", value_arena_int32(where, 5)));
    EXPECT_EQ("(i5)", show(i.v));
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
  EXPECT_EQ("{'device_time_stamp': null, 'ga': null, '': null, '': null}", show(d));
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(item(d, 2 * k), item(again, 2 * k)) << "key " << k;  // one node per table key
    EXPECT_TRUE(value_string_is_static(item(d, 2 * k)));
    EXPECT_NE(nullptr, value_static_key_slot(item(d, 2 * k)));
  }
  EXPECT_EQ(kKeys[0].text, item(d, 0)->payload.s);
  EXPECT_NE(kKeys[1].text, item(d, 2)->payload.s);  // not NUL-terminated: a copy
  Tree heap(value_new_string("x", 1));
  for (Value* other : {value_arena_string(&arena, "x", 1), heap.v}) {
    EXPECT_FALSE(value_string_is_static(other));
    EXPECT_EQ(nullptr, value_static_key_slot(other));
  }
  EXPECT_FALSE(value_string_is_static(nullptr));
  // Neither value_free nor the arena's release touches the shared keys.
  const Value* key = item(d, 0);
  value_free(item(d, 0));
  value_arena_release(&arena);
  EXPECT_STREQ("device_time_stamp", key->payload.s);

  // On the heap every key is a copy.
  Tree copied(value_arena_dict_static_keys(nullptr, 1, kKeys));
  copied.v->payload.items[1] = value_new_none();
  EXPECT_NE(kKeys[0].text, item(copied.v, 0)->payload.s);
  EXPECT_FALSE(value_string_is_static(item(copied.v, 0)));
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
