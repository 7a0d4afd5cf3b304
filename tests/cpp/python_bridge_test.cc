// Python bridge: Python tuples into Value trees, Value trees into Python
// objects, and the references VALUE_PYOBJECT nodes hold.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wregister"
#include <Python.h>
#pragma GCC diagnostic pop

#include "value/python_bridge.h"

#include <gtest/gtest.h>

#include <math.h>
#include <string.h>

#include <string>

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

class PythonBridge : public ::testing::Test {
 protected:
  void SetUp() override {
    python_env_ensure();
    if (!globals_) {
      globals_ = PyDict_New();
      PyDict_SetItemString(globals_, "__builtins__", PyEval_GetBuiltins());
      PyObject* r = PyRun_String(kPrelude, Py_file_input, globals_, globals_);
      ASSERT_NE(nullptr, r);
      Py_DECREF(r);
    }
  }
  void TearDown() override {
    EXPECT_EQ(nullptr, PyErr_Occurred()) << "a Python error was left set";
    PyErr_Clear();
  }

  // A new reference to the value of a Python expression.
  static PyObject* eval(const char* expression) {
    PyObject* r = PyRun_String(expression, Py_eval_input, globals_, globals_);
    if (!r) PyErr_Print();
    return r;
  }

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

  // Whether the Python object equals the expression's value.
  static bool equals(PyObject* object, const char* expression) {
    PyObject* expected = eval(expression);
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

TEST_F(PythonBridge, TenItemArgumentTuple) {
  PyObject* function = eval("function");
  Py_ssize_t before = Py_REFCNT(function);
  Value* t = from("(1, long_(2), 3.5, 'ab', (4,), None, function, u'x', True, [1])");
  ASSERT_NE(nullptr, t);
  ASSERT_EQ(VALUE_TUPLE, t->kind);
  ASSERT_EQ(10, t->count);
  EXPECT_EQ(VALUE_INT32, item(t, 0)->kind);
  EXPECT_EQ(1, item(t, 0)->payload.i32);
#if PY_MAJOR_VERSION >= 3
  EXPECT_EQ(VALUE_INT32, item(t, 1)->kind);  // one int type: small ones are 32-bit
  EXPECT_EQ(2, item(t, 1)->payload.i32);
#else
  EXPECT_EQ(VALUE_INT64, item(t, 1)->kind);  // a long stays 64-bit whatever its value
  EXPECT_EQ(2, item(t, 1)->payload.i64);
#endif
  EXPECT_EQ(VALUE_FLOAT, item(t, 2)->kind);
  EXPECT_EQ(3.5, item(t, 2)->payload.f);
  EXPECT_EQ(VALUE_STRING, item(t, 3)->kind);
  EXPECT_EQ(2, item(t, 3)->count);
  EXPECT_STREQ("ab", item(t, 3)->payload.s);
  ASSERT_EQ(VALUE_TUPLE, item(t, 4)->kind);
  ASSERT_EQ(1, item(t, 4)->count);
  EXPECT_EQ(VALUE_INT32, item(item(t, 4), 0)->kind);
  EXPECT_EQ(4, item(item(t, 4), 0)->payload.i32);
  EXPECT_EQ(VALUE_NONE, item(t, 5)->kind);
  EXPECT_EQ(VALUE_PYOBJECT, item(t, 6)->kind);
  EXPECT_EQ(function, item(t, 6)->payload.pyobject);
#if PY_MAJOR_VERSION >= 3
  EXPECT_EQ(VALUE_STRING, item(t, 7)->kind);  // text is str
  EXPECT_STREQ("x", item(t, 7)->payload.s);
#else
  EXPECT_EQ(VALUE_NONE, item(t, 7)->kind);  // unicode is not str
#endif
  EXPECT_EQ(VALUE_INT32, item(t, 8)->kind);  // bool
  EXPECT_EQ(1, item(t, 8)->payload.i32);
  EXPECT_EQ(VALUE_NONE, item(t, 9)->kind);  // list
  EXPECT_EQ(nullptr, item(t, 10));

  // Exactly one reference taken; value_free leaves it, release drops it.
  EXPECT_EQ(before + 1, Py_REFCNT(function));
  value_release_pyobjects(t);
  EXPECT_EQ(before, Py_REFCNT(function));
  EXPECT_EQ(nullptr, item(t, 6)->payload.pyobject);
  value_release_pyobjects(t);  // emptied nodes are skipped
  EXPECT_EQ(before, Py_REFCNT(function));
  value_free(t);
  Py_DECREF(function);
}

TEST_F(PythonBridge, TestOrderDecidesSubclassesAndCallables) {
  Value* t = from("(CallableStr('ab'), PlainStr('cd'), MyLong(7), MyFloat(1.5), MyInt(-3),"
                  " MyTuple((long_(1),)), Holder().method, Holder, {}, Old())");
  ASSERT_NE(nullptr, t);
  ASSERT_EQ(10, t->count);
  EXPECT_EQ(VALUE_PYOBJECT, item(t, 0)->kind);  // callable test comes before str
  EXPECT_EQ(VALUE_STRING, item(t, 1)->kind);
  EXPECT_STREQ("cd", item(t, 1)->payload.s);
#if PY_MAJOR_VERSION >= 3
  EXPECT_EQ(VALUE_INT32, item(t, 2)->kind);
  EXPECT_EQ(7, item(t, 2)->payload.i32);
#else
  EXPECT_EQ(VALUE_INT64, item(t, 2)->kind);
  EXPECT_EQ(7, item(t, 2)->payload.i64);
#endif
  EXPECT_EQ(VALUE_FLOAT, item(t, 3)->kind);
  EXPECT_EQ(1.5, item(t, 3)->payload.f);
  EXPECT_EQ(VALUE_INT32, item(t, 4)->kind);
  EXPECT_EQ(-3, item(t, 4)->payload.i32);
  ASSERT_EQ(VALUE_TUPLE, item(t, 5)->kind);
  EXPECT_EQ(PY_MAJOR_VERSION >= 3 ? VALUE_INT32 : VALUE_INT64, item(item(t, 5), 0)->kind);
  EXPECT_EQ(VALUE_PYOBJECT, item(t, 6)->kind);  // bound method
  EXPECT_EQ(VALUE_PYOBJECT, item(t, 7)->kind);  // class
  EXPECT_EQ(VALUE_NONE, item(t, 8)->kind);
  // An old-style instance whose __getattr__ raises is not callable, and the
  // raised error does not leak out (checked in TearDown).
  EXPECT_EQ(VALUE_NONE, item(t, 9)->kind);
  value_release_pyobjects(t);
  value_free(t);
}

TEST_F(PythonBridge, IntegerRanges) {
  Value* t = from("(2**63 - 1, -2**63, 2**64, -2**63 - 1, 2**32 + 5, -1, long_(0), -2**31, 2**31)");
  ASSERT_NE(nullptr, t);
  EXPECT_EQ(INT64_MAX, item(t, 0)->payload.i64);
  EXPECT_EQ(INT64_MIN, item(t, 1)->payload.i64);
  // Out of range: -1, and the OverflowError is cleared (checked in TearDown).
  EXPECT_EQ(VALUE_INT64, item(t, 2)->kind);
  EXPECT_EQ(-1, item(t, 2)->payload.i64);
  EXPECT_EQ(-1, item(t, 3)->payload.i64);
  EXPECT_EQ(nullptr, PyErr_Occurred());
  // Regression: an int wider than 32 bits (a handle passed through int()) was cut
  // to its low 32 bits. It now arrives whole as a VALUE_INT64; "i" still
  // takes its low 32 bits and "L" the whole value.
  if (sizeof(long) == 8) {
    EXPECT_EQ(VALUE_INT64, item(t, 4)->kind);
    EXPECT_EQ((int64_t{1} << 32) + 5, item(t, 4)->payload.i64);
    Value* args = from("(2**32 + 5, 2**32 + 5)");
    int32_t low = 0;
    int64_t whole = 0;
    EXPECT_EQ(1, value_parse(args, "iL", &low, &whole));
    EXPECT_EQ(5, low);
    EXPECT_EQ((int64_t{1} << 32) + 5, whole);
    value_free(args);
  }
  EXPECT_EQ(-1, item(t, 5)->payload.i32);
  EXPECT_EQ(PY_MAJOR_VERSION >= 3 ? VALUE_INT32 : VALUE_INT64, item(t, 6)->kind);
  // 3.x has one int type: within 32 bits it is what a 2.7 int becomes.
  if (PY_MAJOR_VERSION >= 3) {
    EXPECT_EQ(VALUE_INT32, item(t, 7)->kind);
    EXPECT_EQ(INT32_MIN, item(t, 7)->payload.i32);
    EXPECT_EQ(VALUE_INT64, item(t, 8)->kind);
    EXPECT_EQ(int64_t{1} << 31, item(t, 8)->payload.i64);
  }
  value_free(t);
}

TEST_F(PythonBridge, StringBytesRoundTripWithNuls) {
  Value* t = from("(b'a\\x00b\\x00', b'', b'\\xff' * 300)");
  ASSERT_NE(nullptr, t);
  EXPECT_EQ(VALUE_STRING, item(t, 0)->kind);
  EXPECT_EQ(4, item(t, 0)->count);
  EXPECT_EQ(0, memcmp(item(t, 0)->payload.s, "a\0b\0", 5));
  EXPECT_EQ(0, item(t, 1)->count);
  EXPECT_EQ(300, item(t, 2)->count);
  // Text comes back as str: on 3.x bytes that are not UTF-8 as surrogate
  // escapes, which go back to the very same bytes as an argument.
  PyObject* back = value_to_python(t);
  ASSERT_NE(nullptr, back);
  EXPECT_TRUE(equals(back, PY_MAJOR_VERSION >= 3
                               ? "('a\\x00b\\x00', '', b'\\xff'.decode('utf-8', 'surrogateescape') * 300)"
                               : "('a\\x00b\\x00', '', '\\xff' * 300)"));
  Value* again = value_from_python_tuple(back);
  ASSERT_EQ(VALUE_STRING, item(again, 2)->kind);
  ASSERT_EQ(300, item(again, 2)->count);
  EXPECT_EQ(0, memcmp(item(again, 2)->payload.s, item(t, 2)->payload.s, 300));
  Py_DECREF(back);
  value_free(again);
  value_free(t);

  // Binary data is bytes on 3.x (str on 2.7); text is UTF-8 both ways.
  Value* r = value_build("OO", value_new_bytes("\x89G\0", 3), value_new_string("\xc3\xa9", 2));
  PyObject* o = value_to_python(r);
  ASSERT_NE(nullptr, o);
  EXPECT_TRUE(equals(o, PY_MAJOR_VERSION >= 3 ? "(b'\\x89G\\x00', u'\\xe9')"
                                             : "(b'\\x89G\\x00', '\\xc3\\xa9')"));
  Py_DECREF(o);
  value_free(r);
}

// Regression: a deeply nested tuple must not overflow the C stack.
TEST_F(PythonBridge, DeeplyNestedTupleIsBounded) {
  Value* shallow = from("nest(50)");
  ASSERT_NE(nullptr, shallow);
  int depth = 0;
  for (const Value* v = shallow; v->count == 1; v = item(v, 0)) {
    ASSERT_EQ(VALUE_TUPLE, item(v, 0)->kind);
    ++depth;
  }
  EXPECT_EQ(50, depth);
  value_free(shallow);

  Value* deep = from("nest(200000)");
  ASSERT_NE(nullptr, deep);
  const Value* v = deep;
  depth = 0;
  while (v->kind == VALUE_TUPLE) {
    v = item(v, 0);
    ++depth;
  }
  EXPECT_EQ(VALUE_NONE, v->kind);
  EXPECT_GE(depth, 1000);
  EXPECT_LE(depth, 1002);
  PyObject* back = value_to_python(deep);  // must not crash either
  ASSERT_NE(nullptr, back);
  Py_DECREF(back);
  value_free(deep);
}

// ---- Value -> Python --------------------------------------------------------

TEST_F(PythonBridge, ScalarAndContainerKinds) {
  Value* list = value_new_container(VALUE_LIST, 2);
  list->payload.items[0] = value_new_int32(5);
  list->payload.items[1] = value_new_int64(5);
  Value* t = value_build("OOOLifsO", value_new_container(VALUE_TUPLE, 0),
                         value_new_container(VALUE_LIST, 0), value_new_none(), int64_t{5}, 5,
                         -0.25, "text", list);
  PyObject* o = value_to_python(t);
  ASSERT_NE(nullptr, o);
  EXPECT_TRUE(equals(o, "((), [], None, long_(5), 5, -0.25, 'text', [5, long_(5)])"));
  EXPECT_TRUE(PyLong_CheckExact(PyTuple_GET_ITEM(o, 3)));
  EXPECT_TRUE(py_is_small_int(PyTuple_GET_ITEM(o, 4)));
  PyObject* py_list = PyTuple_GET_ITEM(o, 7);
  EXPECT_TRUE(py_is_small_int(PyList_GET_ITEM(py_list, 0)));
  EXPECT_TRUE(PyLong_CheckExact(PyList_GET_ITEM(py_list, 1)));
  Py_DECREF(o);
  value_free(t);
}

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
  Value* t = value_build("iOO", 1, node, unknown);
  PyObject* o = value_to_python(t);
  ASSERT_NE(nullptr, o);
  EXPECT_TRUE(equals(o, "(1, None, None)"));
  Py_DECREF(o);

  // A slot left empty by a faulty maker reads as None, not as a crash.
  Value* holes = value_new_container(VALUE_TUPLE, 2);
  holes->payload.items[1] = value_new_int32(3);
  o = value_to_python(holes);
  ASSERT_NE(nullptr, o);
  EXPECT_TRUE(equals(o, "(None, 3)"));
  Py_DECREF(o);
  holes->payload.items[0] = value_new_none();  // restore the invariant for value_free
  value_free(holes);

  value_release_pyobjects(t);
  value_free(t);
  Py_DECREF(function);
}

TEST_F(PythonBridge, DictKeepsLaterDuplicate) {
  Value* d = value_build_dict(3, "a", value_new_int32(1), "b", value_build("ff", 0.5, 1.5), "a",
                              value_new_int32(2));
  PyObject* o = value_to_python(d);
  ASSERT_NE(nullptr, o);
  EXPECT_TRUE(equals(o, "{'a': 2, 'b': (0.5, 1.5)}"));
  Py_DECREF(o);
  value_free(d);
}

TEST_F(PythonBridge, NanKeepsItsSignBit) {
  Value* t = value_build("nf", static_cast<double>(0.1f));
  PyObject* o = value_to_python(t);
  ASSERT_NE(nullptr, o);
  double nan = PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(o, 0));
  uint64_t bits;
  memcpy(&bits, &nan, sizeof bits);
  EXPECT_EQ(kValueNanBits, bits);
  EXPECT_EQ(0.10000000149011612, PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(o, 1)));
  PyDict_SetItemString(globals_, "converted", o);
  PyObject* check = eval("(converted[0] != converted[0], __import__('math').copysign(1.0, converted[0]))");
  ASSERT_NE(nullptr, check);
  EXPECT_TRUE(equals(check, "(True, -1.0)"));
  Py_DECREF(check);
  PyDict_DelItemString(globals_, "converted");
  Py_DECREF(o);
  value_free(t);
}

// A gaze-like record: 18 keys of nested tuples, floats and ints.
Value* gaze_like(int64_t stamp) {
  return value_build_dict(
      18, "device_time_stamp", value_new_int64(stamp), "system_time_stamp",
      value_new_int64(stamp + 1), "left_gaze_point_on_display_area", value_build("ff", 0.5, 0.25),
      "left_gaze_point_in_user_coordinate_system", value_build("fff", 1.0, 2.0, 3.0),
      "left_gaze_point_validity", value_new_int32(1), "left_pupil_diameter", value_new_float(3.5),
      "left_pupil_validity", value_new_int32(1), "left_gaze_origin_in_user_coordinate_system",
      value_build("fff", 4.0, 5.0, 6.0), "left_gaze_origin_in_trackbox_coordinate_system",
      value_build("fff", 0.1, 0.2, 0.3), "left_gaze_origin_validity", value_new_int32(1),
      "right_gaze_point_on_display_area", value_build("nn"),
      "right_gaze_point_in_user_coordinate_system", value_build("nnn"),
      "right_gaze_point_validity", value_new_int32(0), "right_pupil_diameter", value_new_nan(),
      "right_pupil_validity", value_new_int32(0), "right_gaze_origin_in_user_coordinate_system",
      value_build("nnn"), "right_gaze_origin_in_trackbox_coordinate_system", value_build("nnn"),
      "right_gaze_origin_validity", value_new_int32(0));
}

TEST_F(PythonBridge, DictKeyCacheKeepsResultsAndReferencesStable) {
  Value* first_tree = gaze_like(10);
  PyObject* first = value_to_python(first_tree);
  value_free(first_tree);
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
  Py_ssize_t baseline = Py_REFCNT(key);

  // NaN != NaN, so the dicts are compared through their text.
  PyObject* first_text = PyObject_Repr(first);
  ASSERT_NE(nullptr, first_text);
  for (int round = 0; round < 20000; ++round) {
    Value* tree = gaze_like(10);
    PyObject* o = value_to_python(tree);
    value_free(tree);
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
  EXPECT_TRUE(PyLong_CheckExact(PyDict_GetItemString(first, "device_time_stamp")));
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
      Value* one = value_build_dict(2, key.c_str(), value_new_int32(n), "shared", value_new_none());
      PyObject* o = value_to_python(one);
      value_free(one);
      ASSERT_NE(nullptr, o);
      ASSERT_EQ(2, PyDict_Size(o));
      PyDict_Update(merged, o);
      Py_DECREF(o);
      expected += "'" + key + "': " + std::to_string(n) + ", ";
    }
    expected += "'shared': None}";
    EXPECT_TRUE(equals(merged, expected.c_str())) << "round " << round;
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
      Value* heap = value_build_dict(2, shape ? "delta_key" : "alpha_key", value_new_int32(0),
                                     "gamma_key", value_new_int32(1));
      PyObject* o = value_to_python(heap);
      value_free(heap);
      EXPECT_TRUE(equals(o, shape ? "{'delta_key': 0, 'gamma_key': 1}"
                                  : "{'alpha_key': 0, 'gamma_key': 1}"));
      Py_DECREF(o);
    }
  }
}

TEST_F(PythonBridge, RetainReleaseAndNewPyObject) {
  PyObject* object = eval("object()");
  Py_ssize_t before = Py_REFCNT(object);
  pyobject_retain(object);
  EXPECT_EQ(before + 1, Py_REFCNT(object));
  pyobject_release(object);
  EXPECT_EQ(before, Py_REFCNT(object));
  pyobject_retain(nullptr);
  pyobject_release(nullptr);

  Value* node = value_new_pyobject(object);
  EXPECT_EQ(VALUE_PYOBJECT, node->kind);
  EXPECT_EQ(before + 1, Py_REFCNT(object));
  Value* tree = value_build_dict(1, "callback", value_build("iO", 1, node));
  value_free(tree);  // the reference stays with whoever took it
  EXPECT_EQ(before + 1, Py_REFCNT(object));
  Py_DECREF(object);  // the reference the node held
  Py_DECREF(object);
}

}  // namespace
