// velto_rows: a recording's gaze rows formatted in native code.
//
// format_rows(samples, program, start, careful) formats a batch of gaze dicts
// as CSV rows by a column program that python/velto/columns.py makes from
// the column table; a sample the program cannot take (a missing key, a value
// of another type) is formatted by careful(sample). The output is byte for
// byte what the table's Python formatter writes. Runs with the interpreter
// lock held, on the recording's writer thread. Rationale: docs/design-recording.md.
#define PY_SSIZE_T_CLEAN
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wregister"
#include <Python.h>
#pragma GCC diagnostic pop

#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

// ---- The few differences between Python 2.7 and 3.x ---------------------------
#if PY_MAJOR_VERSION >= 3
inline PyObject* bytes_object(const std::string& text) {
  return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}
inline PyObject* one_object() { return PyLong_FromLong(1); }
inline bool is_text(PyObject* o) { return PyUnicode_Check(o); }
inline int bytes_data(PyObject* o, char** data, Py_ssize_t* length) {
  return PyBytes_AsStringAndSize(o, data, length);
}
// The value of a Python integer in 64 bits; false for anything else or a
// value beyond 64 bits (bool is an int, as '%d' takes it).
inline bool integer_value(PyObject* o, long long* out) {
  if (!PyLong_Check(o)) return false;
  int overflow = 0;
  *out = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (overflow != 0 || (*out == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return false;
  }
  return true;
}
#else
inline PyObject* bytes_object(const std::string& text) {
  return PyString_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}
inline PyObject* one_object() { return PyInt_FromLong(1); }
inline bool is_text(PyObject* o) { return PyString_Check(o); }
inline int bytes_data(PyObject* o, char** data, Py_ssize_t* length) {
  return PyString_AsStringAndSize(o, data, length);
}
inline bool integer_value(PyObject* o, long long* out) {
  if (PyInt_Check(o)) {
    *out = PyInt_AS_LONG(o);
    return true;
  }
  if (!PyLong_Check(o)) return false;
  *out = PyLong_AsLongLong(o);
  if (*out == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return true;
}
#endif

// ---- Column programs -----------------------------------------------------------

// What one column writes (the kinds python/velto/columns.py names).
enum OpKind { kInteger = 0, kSinceStart = 1, kFixed = 2, kFlags = 3 };

struct Op {
  int kind;
  PyObject* key;     // the gaze dict's key (owned); unused by kFlags
  int index;         // the item of a tuple value, or -1 for the value itself
  int decimals;      // kFixed: digits after the point
  PyObject* gate;    // the key whose value must be 1 for the cell (owned), or null
  std::vector<std::pair<PyObject*, long>> terms;  // kFlags: (key (owned), weight)
};

// The batch's context: its program, the recording's start, the careful way.
struct Batch {
  const std::vector<Op>* ops;
  long long start;
  PyObject* careful;  // careful(sample) -> the row's text (str), without its newline
};

PyObject* g_one = nullptr;  // the int 1, a validity that means valid

void release_ops(std::vector<Op>* ops) {
  if (ops == nullptr) return;
  for (Op& op : *ops) {
    Py_XDECREF(op.key);
    Py_XDECREF(op.gate);
    for (auto& term : op.terms) Py_XDECREF(term.first);
  }
  delete ops;
}

// A key of the program: text, kept with a new reference.
bool take_key(PyObject* object, PyObject** out) {
  if (!is_text(object)) {
    PyErr_SetString(PyExc_TypeError, "velto_rows: program keys must be str");
    return false;
  }
  Py_INCREF(object);
  *out = object;
  return true;
}

// Reads the program: a tuple of (kind, key, index, decimals, gate or None,
// ((key, weight), ...)) tuples. Null with an exception when malformed.
std::vector<Op>* read_program(PyObject* program) {
  if (!PyTuple_Check(program)) {
    PyErr_SetString(PyExc_TypeError, "velto_rows: the program must be a tuple");
    return nullptr;
  }
  auto* ops = new std::vector<Op>();
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(program); ++i) {
    PyObject *key, *gate, *terms;
    Op op{0, nullptr, -1, 0, nullptr, {}};
    if (!PyArg_ParseTuple(PyTuple_GET_ITEM(program, i), "iOiiOO!", &op.kind, &key, &op.index,
                          &op.decimals, &gate, &PyTuple_Type, &terms)) {
      release_ops(ops);
      return nullptr;
    }
    ops->push_back(op);
    Op& added = ops->back();
    bool fine = op.kind >= kInteger && op.kind <= kFlags && op.decimals >= 0 &&
                op.decimals <= 20 && op.index >= -1;
    if (!fine) PyErr_SetString(PyExc_ValueError, "velto_rows: a column of the program is not valid");
    if (fine && op.kind != kFlags) fine = take_key(key, &added.key);
    if (fine && gate != Py_None) fine = take_key(gate, &added.gate);
    for (Py_ssize_t t = 0; fine && t < PyTuple_GET_SIZE(terms); ++t) {
      PyObject* term_key;
      long weight;
      fine = PyArg_ParseTuple(PyTuple_GET_ITEM(terms, t), "Ol", &term_key, &weight) &&
             take_key(term_key, &term_key);
      if (fine) added.terms.emplace_back(term_key, weight);
    }
    if (!fine) {
      release_ops(ops);
      return nullptr;
    }
  }
  return ops;
}

// ---- Formatting ------------------------------------------------------------------

// s[key] == 1: 1 valid, 0 not, -1 the key is missing or the comparison failed.
int is_one(PyObject* sample, PyObject* key) {
  PyObject* value = PyDict_GetItem(sample, key);  // borrowed
  if (value == nullptr) return -1;
  if (value == g_one) return 1;
  int equal = PyObject_RichCompareBool(value, g_one, Py_EQ);
  if (equal < 0) PyErr_Clear();
  return equal;
}

// The value an op reads (borrowed), or null when it is not there.
PyObject* op_value(PyObject* sample, const Op& op) {
  PyObject* value = PyDict_GetItem(sample, op.key);
  if (value == nullptr || op.index < 0) return value;
  if (!PyTuple_Check(value) || op.index >= PyTuple_GET_SIZE(value)) return nullptr;
  return PyTuple_GET_ITEM(value, op.index);
}

// Appends the decimal digits of `v`.
void append_unsigned(std::string* out, unsigned long long v) {
  char digits[20];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (n > 0) out->push_back(digits[--n]);
}

void append_integer(std::string* out, long long v) {
  if (v < 0) out->push_back('-');
  append_unsigned(out, v < 0 ? 0ULL - static_cast<unsigned long long>(v)
                             : static_cast<unsigned long long>(v));
}

constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};

// The cell's text from the value scaled to an integer number of its last
// decimal (q, its sign apart): trailing zeros and a bare point dropped, 0 as
// "0" whatever the sign.
void append_scaled(std::string* out, bool negative, unsigned long long q, int decimals) {
  if (q == 0) {
    out->push_back('0');
    return;
  }
  const auto scale = static_cast<unsigned long long>(kPowersOfTen[decimals]);
  unsigned long long fraction = q % scale;
  if (negative) out->push_back('-');
  append_unsigned(out, q / scale);
  if (fraction == 0) return;
  int width = decimals;
  while (fraction % 10 == 0) {
    fraction /= 10;
    --width;
  }
  char digits[10];
  for (int i = width - 1; i >= 0; --i, fraction /= 10) digits[i] = static_cast<char>('0' + fraction % 10);
  out->push_back('.');
  out->append(digits, static_cast<size_t>(width));
}

// Appends a fixed-point cell as Python's '%.Nf' and the column table write
// it: at most `decimals` decimals, trailing zeros and a bare point dropped,
// "-0" written as "0", NaN as nothing, infinities as "inf" / "-inf".
// Values that scale to below 1e9 whose scaled fraction is clearly away from
// one half round here; the rest (ties and near-ties, larger values) take
// snprintf, which rounds the exact binary value as Python does.
void append_fixed(std::string* out, double v, int decimals) {
  if (std::isnan(v)) return;
  const double scaled = decimals <= 9 ? std::fabs(v) * kPowersOfTen[decimals] : 1e300;
  if (scaled < 1e9) {
    const double whole = std::floor(scaled);
    const double part = scaled - whole;  // exact
    // The product is off the exact one by at most 2^-53 of it (< 1.2e-7 here),
    // so a fraction this far from one half rounds the same way as the exact one.
    if (std::fabs(part - 0.5) > 1e-6) {
      const auto q = static_cast<unsigned long long>(whole) + (part > 0.5 ? 1 : 0);
      append_scaled(out, v < 0, q, decimals);
      return;
    }
  }
  char cell[400];  // the longest: 309 digits of DBL_MAX, a sign, a point, 20 decimals
  int n = std::snprintf(cell, sizeof cell, "%.*f", decimals, v);
  if (n <= 0 || n >= static_cast<int>(sizeof cell)) return;
  if (decimals > 0 && std::isfinite(v)) {
    while (cell[n - 1] == '0') --n;
    if (cell[n - 1] == '.') --n;
  }
  if (n == 2 && cell[0] == '-' && cell[1] == '0') {
    out->push_back('0');
    return;
  }
  out->append(cell, static_cast<size_t>(n));
}

// Appends one row (without its newline); false when the sample needs the
// careful way (a missing key, a value of another type, an integer beyond 64
// bits). `out` may then hold part of the row.
bool format_row(const Batch& batch, PyObject* sample, std::string* out) {
  bool first = true;
  for (const Op& op : *batch.ops) {
    if (!first) out->push_back(',');
    first = false;
    if (op.gate != nullptr) {
      int valid = is_one(sample, op.gate);
      if (valid < 0) return false;
      if (valid == 0) continue;  // an empty cell
    }
    if (op.kind == kFlags) {
      long flags = 0;
      for (const auto& term : op.terms) {
        int valid = is_one(sample, term.first);
        if (valid < 0) return false;
        flags += valid * term.second;
      }
      append_integer(out, flags);
      continue;
    }
    PyObject* value = op_value(sample, op);
    if (value == nullptr) return false;
    if (op.kind == kFixed) {
      if (!PyFloat_Check(value)) return false;
      append_fixed(out, PyFloat_AS_DOUBLE(value), op.decimals);
      continue;
    }
    long long v;
    if (!integer_value(value, &v)) return false;
    if (op.kind == kSinceStart) {
      if (__builtin_sub_overflow(v, batch.start, &v)) return false;
    }
    append_integer(out, v);
  }
  return true;
}

// Appends careful(sample) and a newline; false with an exception on failure.
bool format_carefully(const Batch& batch, PyObject* sample, std::string* out) {
  PyObject* row = PyObject_CallFunctionObjArgs(batch.careful, sample, nullptr);
  if (row == nullptr) return false;
  PyObject* encoded;
  if (PyUnicode_Check(row)) {
    encoded = PyUnicode_AsASCIIString(row);
  } else {
    Py_INCREF(row);
    encoded = row;
  }
  char* data = nullptr;
  Py_ssize_t length = 0;
  const bool fine = encoded != nullptr && bytes_data(encoded, &data, &length) == 0;
  if (fine) {
    out->append(data, static_cast<size_t>(length));
    out->push_back('\n');
  }
  Py_XDECREF(encoded);
  Py_DECREF(row);
  return fine;
}

PyObject* format_rows(PyObject*, PyObject* args) {
  PyObject *samples, *program, *careful;
  Batch batch{nullptr, 0, nullptr};
  if (!PyArg_ParseTuple(args, "O!OLO:format_rows", &PyList_Type, &samples, &program,
                        &batch.start, &careful)) {
    return nullptr;
  }
  std::vector<Op>* ops = read_program(program);
  if (ops == nullptr) return nullptr;
  batch.ops = ops;
  batch.careful = careful;
  std::string text;
  const Py_ssize_t count = PyList_GET_SIZE(samples);
  text.reserve(static_cast<size_t>(count) * 64);
  bool fine = true;
  for (Py_ssize_t i = 0; fine && i < PyList_GET_SIZE(samples); ++i) {
    PyObject* sample = PyList_GET_ITEM(samples, i);
    const size_t before = text.size();
    if (PyDict_Check(sample) && format_row(batch, sample, &text)) {
      text.push_back('\n');
      continue;
    }
    text.resize(before);
    Py_INCREF(sample);  // the careful call may change the list
    fine = format_carefully(batch, sample, &text);
    Py_DECREF(sample);
  }
  release_ops(ops);
  return fine ? bytes_object(text) : nullptr;
}

PyMethodDef kModuleMethods[] = {
    {"format_rows", format_rows, METH_VARARGS,
     "format_rows(samples, program, start, careful) -> the CSV rows (bytes) of a list of "
     "gaze dicts, each ending in a newline."},
    {nullptr, nullptr, 0, nullptr}};

// Readies the shared constant; false with an exception on failure.
bool prepare(PyObject* module) {
  if (module == nullptr) return false;
  g_one = one_object();
  return g_one != nullptr;
}

#if PY_MAJOR_VERSION >= 3
PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "velto_rows",
                       "A recording's gaze rows formatted in native code.", -1, kModuleMethods,
                       nullptr, nullptr, nullptr, nullptr};
#endif

}  // namespace

#if PY_MAJOR_VERSION >= 3
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_velto_rows(void) {
  PyObject* module = PyModule_Create(&kModule);
  if (!prepare(module)) {
    Py_XDECREF(module);
    return nullptr;
  }
  return module;
}
#else
extern "C" __attribute__((visibility("default"))) void initvelto_rows(void) {
  prepare(Py_InitModule3("velto_rows", kModuleMethods,
                         "A recording's gaze rows formatted in native code."));
}
#endif
