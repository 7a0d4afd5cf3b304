// Python bridge: Python tuples into Value trees, Value trees into Python
// objects (the dict-key cache and its hints), and the references
// VALUE_PYOBJECT nodes hold. The types each result and stream dict arrives
// with are checked end to end by the Python suites.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wregister"
#include <Python.h>
#pragma GCC diagnostic pop

#include "value/python_bridge.h"

#include <gtest/gtest.h>

#include <math.h>

#include <string>

#include "streams/translators.h"
#include "test_support.h"

namespace {

// Names that differ between versions: long_ is 2.7's long (3.x's int), and
// intern is a builtin on 2.7 only.
const char kPrelude[] =
    "import sys\n"
    "if sys.version_info[0] >= 3:\n"
    "    long_ = int\n"
    "    intern = sys.intern\n"
    "else:\n"
    "    long_ = long\n"
    "def function(): pass\n"
    "class CallableStr(str):\n"
    "    def __call__(self): return 1\n"
    "class PlainStr(str): pass\n"
    "class MyLong(long_): pass\n"
    "class MyFloat(float): pass\n"
    "class MyInt(int): pass\n"
    "class MyTuple(tuple): pass\n"
    "class Old:\n"
    "    def __getattr__(self, name): raise ValueError(name)\n"
    "class Holder(object):\n"
    "    def method(self): pass\n"
    "def nest(depth):\n"
    "    t = ()\n"
    "    for _ in range(depth): t = (t,)\n"
    "    return t\n";

constexpr bool kPython3 = PY_MAJOR_VERSION >= 3;

class PythonBridge : public ::testing::Test {
 protected:
  void SetUp() override {
    python_env_ensure();
    if (!globals_) globals_ = py_module(kPrelude);
    ASSERT_NE(nullptr, globals_);
  }
  void TearDown() override {
    EXPECT_EQ(nullptr, PyErr_Occurred()) << "a Python error was left set";
    PyErr_Clear();
  }

  static PyObject* eval(const char* expression) { return py_eval(globals_, expression); }

  // Converts the expression's tuple value.
  static Value* from(const char* expression) {
    PyObject* tuple = eval(expression);
    if (!tuple || !PyTuple_Check(tuple)) {
      ADD_FAILURE() << expression << " is not a tuple";
      Py_XDECREF(tuple);
      return nullptr;
    }
    Value* v = value_from_python_tuple(tuple);
    Py_DECREF(tuple);
    return v;
  }

  // Whether the Python object equals the expression's value, of the same type.
  static bool equals(PyObject* object, const std::string& expression) {
    PyObject* expected = eval(expression.c_str());
    int same = PyObject_RichCompareBool(object, expected, Py_EQ);
    bool type_same = Py_TYPE(object) == Py_TYPE(expected);
    Py_XDECREF(expected);
    return same == 1 && type_same;
  }

  static PyObject* globals_;
};
PyObject* PythonBridge::globals_ = nullptr;

Value* item(const Value* container, int k) { return container->payload.items[k]; }

// ---- Python -> Value --------------------------------------------------------

// The first matching test decides: callable (before str, so a callable str
// subclass is a callable), text, 2.7 long, float, integer, tuple; anything
// else is "no value". An old-style instance whose __getattr__ raises is not
// callable, and the raised error does not leak out (checked in TearDown), nor
// does the OverflowError of an integer outside 64 bits (which becomes -1).
TEST_F(PythonBridge, EachItemBecomesTheKindItsFirstMatchingTestGives) {
  const struct {
    const char* tuple;
    const char* python2;
    const char* python3;
  } cases[] = {
      {"(1, long_(2), 3.5, 'ab', (4,), None, function, u'x', True, [1])",
       "(i1, L2, f3.5, 'ab', (i4), None, py, None, i1, None)",
       "(i1, i2, f3.5, 'ab', (i4), None, py, 'x', i1, None)"},
      {"(CallableStr('ab'), PlainStr('cd'), MyLong(7), MyFloat(1.5), MyInt(-3),"
       " MyTuple((long_(1),)), Holder().method, Holder, {}, Old())",
       "(py, 'cd', L7, f1.5, i-3, (L1), py, py, None, None)",
       "(py, 'cd', i7, f1.5, i-3, (i1), py, py, None, None)"},
      {"(2**63 - 1, -2**63, 2**64, -2**63 - 1, -1, long_(0), -2**31, 2**31)",
       "(L9223372036854775807, L-9223372036854775808, L-1, L-1, i-1, L0, i-2147483648, "
       "L2147483648)",
       "(L9223372036854775807, L-9223372036854775808, L-1, L-1, i-1, i0, i-2147483648, "
       "L2147483648)"},
  };
  for (const auto& c : cases) {
    Tree t(from(c.tuple));
    ASSERT_NE(nullptr, t.v);
    EXPECT_EQ(kPython3 ? c.python3 : c.python2, show(t.v)) << c.tuple;
    value_release_pyobjects(t.v);
  }
}

// Regression: an int wider than 32 bits (a handle passed through int()) was cut
// to its low 32 bits.
TEST_F(PythonBridge, IntWiderThan32BitsArrivesWhole) {
  Tree args(from("(int(2**32 + 5), int(2**32 + 5))"));
  EXPECT_EQ("(L4294967301, L4294967301)", show(args.v));
  int32_t low = 0;
  int64_t whole = 0;
  EXPECT_EQ(1, value_parse(args.v, "iL", &low, &whole));  // "i" still takes the low 32 bits
  EXPECT_EQ(5, low);
  EXPECT_EQ((int64_t{1} << 32) + 5, whole);
}

// Regression: a deeply nested tuple must not overflow the C stack.
TEST_F(PythonBridge, DeeplyNestedTupleIsBounded) {
  Tree shallow(from("nest(50)"));
  ASSERT_NE(nullptr, shallow.v);
  std::string fifty = "()";
  for (int k = 0; k < 50; ++k) fifty = "(" + fifty + ")";
  EXPECT_EQ(fifty, show(shallow.v));

  Tree deep(from("nest(200000)"));
  ASSERT_NE(nullptr, deep.v);
  const Value* v = deep.v;
  int depth = 0;
  for (; v->kind == VALUE_TUPLE; v = item(v, 0)) ++depth;
  EXPECT_EQ(VALUE_NONE, v->kind);
  EXPECT_GE(depth, 1000);
  EXPECT_LE(depth, 1002);
  PyObject* back = value_to_python(deep.v);  // must not crash either
  ASSERT_NE(nullptr, back);
  Py_DECREF(back);
}

// ---- Value -> Python --------------------------------------------------------

TEST_F(PythonBridge, NoPythonFormGivesNullOrNone) {
  PyObject* function = eval("function");
  Value* node = value_new_pyobject(function);
  EXPECT_EQ(nullptr, value_to_python(node));
  EXPECT_EQ(nullptr, PyErr_Occurred());
  EXPECT_EQ(nullptr, value_to_python(nullptr));
  Value* unknown = value_new_none();
  unknown->kind = 42;
  EXPECT_EQ(nullptr, value_to_python(unknown));
  EXPECT_EQ(nullptr, PyErr_Occurred());

  // Inside a container the item is None, so the container is still complete.
  Tree t(value_build("iOO", 1, node, unknown));
  PyObject* o = value_to_python(t.v);
  ASSERT_NE(nullptr, o);
  EXPECT_TRUE(equals(o, "(1, None, None)"));
  Py_DECREF(o);
  value_release_pyobjects(t.v);
  Py_DECREF(function);

  // A slot left empty by a faulty maker reads as None, not as a crash.
  Tree holes(value_new_container(VALUE_TUPLE, 2));
  holes.v->payload.items[1] = value_new_int32(3);
  o = value_to_python(holes.v);
  ASSERT_NE(nullptr, o);
  EXPECT_TRUE(equals(o, "(None, 3)"));
  Py_DECREF(o);
  holes.v->payload.items[0] = value_new_none();  // restore the invariant for value_free
}

// Regression: a stream record that could not be converted was dropped while a
// result that could not be converted was handed over as None; both paths call
// python_call_with_value, which always calls, with None in that case.
TEST_F(PythonBridge, CallWithValueAlwaysCallsWithNoneForNoPythonForm) {
  PyObject* seen = eval("[]");
  PyObject* append = PyObject_GetAttrString(seen, "append");
  Tree unknown(value_new_none());
  unknown.v->kind = 42;
  python_call_with_value(append, unknown.v);
  Tree five(value_new_int32(5));
  python_call_with_value(append, five.v);
  EXPECT_TRUE(equals(seen, "[None, 5]"));
  // What the callable raises is dropped, and nothing is left set.
  PyObject* raising = eval("lambda value: 1 / 0");
  python_call_with_value(raising, five.v);
  EXPECT_EQ(nullptr, PyErr_Occurred());
  unknown.v->kind = VALUE_NONE;  // restore the invariant for value_free
  Py_DECREF(raising);
  Py_DECREF(append);
  Py_DECREF(seen);
}

// A gaze dict on the heap, one eye valid, the other without data.
Value* gaze_dict() {
  velto_gaze_data g{};
  g.device_time_stamp = 10;
  g.left_eye = eye_record(0);
  g.right_eye = eye_record(0, 0, 0, 0);
  return gaze_data_to_value(&g);
}

TEST_F(PythonBridge, DictKeyCacheKeepsResultsAndReferencesStable) {
  Tree first_tree(gaze_dict());
  PyObject* first = value_to_python(first_tree.v);
  ASSERT_NE(nullptr, first);
  ASSERT_EQ(18, PyDict_Size(first));
  PyObject* key = eval("intern('left_pupil_diameter')");
  // Keys are the interned strings, so Python code's literals are the same objects.
  PyObject* stored_key = nullptr;
  PyObject* stored_value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(first, &pos, &stored_key, &stored_value)) {
    if (PyObject_RichCompareBool(stored_key, key, Py_EQ) == 1) break;
  }
  EXPECT_EQ(key, stored_key);
  const Py_ssize_t baseline = Py_REFCNT(key);

  // NaN != NaN, so the dicts are compared through their text.
  PyObject* first_text = PyObject_Repr(first);
  ASSERT_NE(nullptr, first_text);
  for (int round = 0; round < 20000; ++round) {
    Tree tree(gaze_dict());
    PyObject* o = value_to_python(tree.v);
    ASSERT_NE(nullptr, o);
    PyObject* text = PyObject_Repr(o);
    ASSERT_NE(nullptr, text);
    ASSERT_EQ(py_text(first_text), py_text(text)) << "round " << round;
    Py_DECREF(text);
    Py_DECREF(o);
  }
  Py_DECREF(first_text);
  // Every converted dict gave its key references back.
  EXPECT_EQ(baseline, Py_REFCNT(key));
  PyObject* item_value = PyDict_GetItemString(first, "right_pupil_diameter");
  ASSERT_NE(nullptr, item_value);
  EXPECT_TRUE(isnan(PyFloat_AS_DOUBLE(item_value)));
  Py_DECREF(key);
  Py_DECREF(first);
}

// More distinct keys than the cache holds, keys that share their length and
// both ends, and keys too long to cache all convert to exactly the right key.
TEST_F(PythonBridge, ManyDistinctKeysStayCorrect) {
  const int kKeys = 700;
  for (int round = 0; round < 2; ++round) {
    PyObject* merged = PyDict_New();
    std::string expected = "{";
    for (int n = 0; n < kKeys; ++n) {
      std::string key = "prefix__" + std::to_string(100000 + n) + "__suffix";
      if (n % 7 == 0) key += std::string(200, 'z');
      Tree one(value_build_dict(2, key.c_str(), value_new_int32(n), "shared", value_new_none()));
      PyObject* o = value_to_python(one.v);
      ASSERT_NE(nullptr, o);
      ASSERT_EQ(2, PyDict_Size(o));
      PyDict_Update(merged, o);
      Py_DECREF(o);
      expected += "'" + key + "': " + std::to_string(n) + ", ";
    }
    expected += "'shared': None}";
    EXPECT_TRUE(equals(merged, expected)) << "round " << round;
    Py_DECREF(merged);
  }
}

// Dicts whose keys change from one conversion to the next at the same
// positions, from a constant key table (static text, known by address), from
// copies that reuse the very same bytes of one buffer (never trusted by
// address), and from the heap, always get exactly their own keys.
TEST_F(PythonBridge, KeyHintsNeverGiveAnotherDictsKey) {
  static const ValueKey kFirst[2] = {{"alpha_key", 9}, {"gamma_key", 9}};
  static const ValueKey kSecond[2] = {{"gamma_key", 9}, {"delta_key", 9}};
  alignas(16) char buffer[1024];
  const char* expected[] = {"{'alpha_key': 0, 'gamma_key': 1}",
                            "{'gamma_key': 0, 'delta_key': 1}",
                            "{'omega_key': 0, 'sigma_key': 1}",
                            "{'sigma_key': 0, 'omega_key': 1}"};
  for (int round = 0; round < 3; ++round) {
    for (int shape = 0; shape < 4; ++shape) {
      ValueArena arena;
      value_arena_init(&arena, buffer, sizeof buffer);
      Value* dict;
      if (shape < 2) {
        dict = value_arena_dict_static_keys(&arena, 2, shape == 0 ? kFirst : kSecond);
        dict->payload.items[1] = value_arena_int32(&arena, 0);
        dict->payload.items[3] = value_arena_int32(&arena, 1);
      } else {
        // Same buffer, same layout: the copied keys sit at the same addresses
        // with other bytes each time.
        const char* first = shape == 2 ? "omega_key" : "sigma_key";
        const char* second = shape == 2 ? "sigma_key" : "omega_key";
        dict = value_arena_build_dict(&arena, 2, first, value_arena_int32(&arena, 0), second,
                                      value_arena_int32(&arena, 1));
      }
      PyObject* o = value_to_python(dict);
      value_arena_release(&arena);
      ASSERT_NE(nullptr, o);
      EXPECT_TRUE(equals(o, expected[shape])) << "round " << round << " shape " << shape;
      Py_DECREF(o);
    }
    for (int shape = 0; shape < 2; ++shape) {
      Tree heap(value_build_dict(2, shape ? "delta_key" : "alpha_key", value_new_int32(0),
                                 "gamma_key", value_new_int32(1)));
      PyObject* o = value_to_python(heap.v);
      EXPECT_TRUE(equals(o, shape ? "{'delta_key': 0, 'gamma_key': 1}"
                                  : "{'alpha_key': 0, 'gamma_key': 1}"));
      Py_DECREF(o);
    }
  }
}

}  // namespace
