#include "test_support.h"

#include <Python.h>
#include <gif_lib.h>
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "module/worker.h"
#include "value/python_bridge.h"
#include "velto_sim.h"

// ---- Value trees ---------------------------------------------------------------

uint64_t bits_of(double d) {
  uint64_t bits;
  memcpy(&bits, &d, sizeof bits);
  return bits;
}

namespace {

std::string quoted(const Value* v) {
  std::string out = v->kind == VALUE_BYTES ? "b'" : "'";
  for (int64_t i = 0; i < v->count; ++i) {
    const unsigned char c = static_cast<unsigned char>(v->payload.s[i]);
    if (c < 0x20 || c >= 0x7f || c == '\'' || c == '\\') {
      char escape[8];
      snprintf(escape, sizeof escape, "\\x%02x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + (v->payload.s[v->count] == '\0' ? "'" : "'!");
}

}  // namespace

std::string show(const Value* v) {
  if (v == nullptr) return "null";
  char text[64];
  switch (v->kind) {
    case VALUE_NONE:
      return "None";
    case VALUE_PYOBJECT:
      return "py";
    case VALUE_INT32:
      snprintf(text, sizeof text, "i%d", v->payload.i32);
      return text;
    case VALUE_INT64:
      snprintf(text, sizeof text, "L%lld", static_cast<long long>(v->payload.i64));
      return text;
    case VALUE_FLOAT:
      if (bits_of(v->payload.f) == kValueNanBits) return "N";
      snprintf(text, sizeof text, "f%.17g", v->payload.f);
      return text;
    case VALUE_STRING:
    case VALUE_BYTES:
      return v->payload.s ? quoted(v) : "'<no buffer>'";
    case VALUE_TUPLE:
    case VALUE_LIST:
    case VALUE_DICT: {
      const bool dict = v->kind == VALUE_DICT;
      const int64_t slots = dict ? 2 * v->count : v->count;
      std::string out = v->kind == VALUE_TUPLE ? "(" : dict ? "{" : "[";
      for (int64_t i = 0; i < slots; ++i) {
        if (i > 0) out += dict && i % 2 ? ": " : ", ";
        out += show(v->payload.items[i]);
      }
      if (v->payload.items[slots] != nullptr) out += " +";
      return out + (v->kind == VALUE_TUPLE ? ")" : dict ? "}" : "]");
    }
    default:
      snprintf(text, sizeof text, "?%d", v->kind);
      return text;
  }
}

std::vector<std::string> dict_keys(const Value* dict) {
  std::vector<std::string> keys;
  for (int64_t i = 0; i < dict->count; ++i) keys.push_back(value_bytes(dict->payload.items[2 * i]));
  return keys;
}

const Value* dict_get(const Value* dict, const std::string& key) {
  for (int64_t i = 0; i < dict->count; ++i) {
    if (value_bytes(dict->payload.items[2 * i]) == key) return dict->payload.items[2 * i + 1];
  }
  ADD_FAILURE() << "no key " << key << " in " << show(dict);
  static Value none{VALUE_NONE, 0, {0}};
  return &none;
}

std::string value_bytes(const Value* v, int32_t kind) {
  EXPECT_EQ(kind, v->kind) << show(v);
  if (v->kind != VALUE_STRING && v->kind != VALUE_BYTES) return std::string();
  return std::string(v->payload.s, static_cast<size_t>(v->count));
}

// ---- Python ----------------------------------------------------------------------

void python_env_ensure() {
  if (Py_IsInitialized()) return;
  Py_InitializeEx(0);
#if PY_MAJOR_VERSION < 3
  PyEval_InitThreads();
#endif
  python_gate_open();
}

#if PY_MAJOR_VERSION >= 3
PyObject* py_int(long value) { return PyLong_FromLong(value); }
bool py_is_small_int(PyObject* object) { return PyLong_CheckExact(object); }
long py_int_value(PyObject* object) { return PyLong_AsLong(object); }
std::string py_text(PyObject* object) {
  Py_ssize_t length = 0;
  const char* bytes = PyUnicode_AsUTF8AndSize(object, &length);
  return bytes ? std::string(bytes, static_cast<size_t>(length)) : std::string();
}
#else
PyObject* py_int(long value) { return PyInt_FromLong(value); }
bool py_is_small_int(PyObject* object) { return PyInt_CheckExact(object); }
long py_int_value(PyObject* object) {
  return PyInt_Check(object) ? PyInt_AsLong(object) : PyLong_AsLong(object);
}
std::string py_text(PyObject* object) {
  return std::string(PyString_AS_STRING(object), static_cast<size_t>(PyString_GET_SIZE(object)));
}
#endif

PyObject* py_module(const char* code) {
  PyObject* globals = PyDict_New();
  PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
  PyObject* r = PyRun_String(code, Py_file_input, globals, globals);
  if (r == nullptr) {
    PyErr_Print();
    Py_DECREF(globals);
    return nullptr;
  }
  Py_DECREF(r);
  return globals;
}

PyObject* py_eval(PyObject* globals, const char* expression) {
  PyObject* r = PyRun_String(expression, Py_eval_input, globals, globals);
  if (r == nullptr) PyErr_Print();
  return r;
}

// ---- Handlers as the worker runs them --------------------------------------------

int32_t run_handler(OperationHandler handler, Value* args, uint64_t epoch) {
  RequestContext request;
  request.registry_epoch = epoch;
  Value* result = handler(args, &request);
  const int32_t status = result->payload.items[0]->payload.i32;
  value_free(result);
  {
    PythonLockGuard python;
    worker_release_leftovers(args, &request);
  }
  value_free(args);
  return status;
}

// ---- The simulated library --------------------------------------------------------

std::string sim_call_log() {
  const size_t size = velto_sim_calls(nullptr, 0);
  std::string log(size + 1, '\0');
  velto_sim_calls(&log[0], size + 1);
  log.resize(size);
  return log;
}

uint64_t sim_last_user_data() {
  const std::string log = sim_call_log();
  const size_t at = log.rfind("\"user_data\":");
  if (at == std::string::npos) return ~uint64_t{0};
  return static_cast<uint64_t>(strtoll(log.c_str() + at + 12, nullptr, 10));
}

std::vector<velto_eyetracker*> sim_trackers() {
  size_t count = 0;
  EXPECT_EQ(0, velto_find_all_eyetrackers(nullptr, 0, &count));
  std::vector<velto_eyetracker*> handles(count);
  EXPECT_EQ(0, velto_find_all_eyetrackers(handles.data(), count, &count));
  handles.resize(std::min(count, handles.size()));
  return handles;
}

int64_t handle_value(velto_eyetracker* handle) {
  return static_cast<int64_t>(reinterpret_cast<uintptr_t>(handle));
}

// ---- Records and formats -------------------------------------------------------------

velto_eye_data eye_record(float base, int32_t point_validity, int32_t pupil_validity,
                          int32_t origin_validity) {
  velto_eye_data e{};
  e.gaze_point_on_display_area = {base + 0.1f, base + 0.2f};
  e.gaze_point_in_user_coordinate_system = {base + 1.1f, base + 1.2f, base + 1.3f};
  e.gaze_point_validity = point_validity;
  e.pupil_diameter = base + 3.5f;
  e.pupil_validity = pupil_validity;
  e.gaze_origin_in_user_coordinate_system = {base + 4.1f, base + 4.2f, base + 4.3f};
  e.gaze_origin_in_trackbox_coordinate_system = {base + 5.1f, base + 5.2f, base + 5.3f};
  e.gaze_origin_validity = origin_validity;
  return e;
}

bool decode_gray_gif(const std::string& gif, int* width, int* height,
                     std::vector<uint8_t>* pixels) {
  struct Reader {
    const std::string* data;
    size_t pos;
  } reader{&gif, 0};
  auto read = [](GifFileType* f, GifByteType* out, int n) -> int {
    Reader* r = static_cast<Reader*>(f->UserData);
    const int k = static_cast<int>(std::min<size_t>(n, r->data->size() - r->pos));
    memcpy(out, r->data->data() + r->pos, k);
    r->pos += k;
    return k;
  };
  int error = 0;
  GifFileType* f = DGifOpen(&reader, read, &error);
  if (f == nullptr) return false;
  bool ok = DGifSlurp(f) == GIF_OK && f->ImageCount == 1 && f->SColorMap != nullptr &&
            f->SColorMap->ColorCount == 256;
  if (ok) {
    *width = f->SWidth;
    *height = f->SHeight;
    pixels->clear();
    for (int i = 0; i < f->SWidth * f->SHeight; ++i) {
      const GifColorType c = f->SColorMap->Colors[f->SavedImages[0].RasterBits[i]];
      ok = ok && c.Red == c.Green && c.Green == c.Blue;
      pixels->push_back(c.Red);
    }
  }
  DGifCloseFile(f, &error);
  return ok;
}
