// Google Benchmark figures for the value tree and the Python bridge, on the
// gaze dict that every sample of the gaze stream builds:
// - building and freeing a gaze dict (gaze_data_to_value + value_free), and
//   the same in a stack arena as the gaze callback does it,
// - parsing an argument tuple (value_parse "Lff"),
// - converting a gaze dict to Python (value_to_python + Py_DECREF), heap- and
//   arena-built, next to building the same Python dict straight from the
//   record (the limit reference's way).
// Runs on one thread, which holds the interpreter lock for the whole run.
#include <Python.h>
#include <benchmark/benchmark.h>

#include "bench/gaze_direct.h"
#include "device/velto.h"
#include "streams/translators.h"
#include "value/python_bridge.h"
#include "value/value.h"

namespace {

velto_gaze_data sample_record() {
  velto_gaze_data r = {};
  r.device_time_stamp = 123456789;
  r.system_time_stamp = 987654321;
  velto_eye_data* eyes[2] = {&r.left_eye, &r.right_eye};
  for (int k = 0; k < 2; ++k) {
    velto_eye_data& e = *eyes[k];
    const float base = 10.0f * k;
    e.gaze_point_on_display_area = {base + 0.1f, base + 0.2f};
    e.gaze_point_in_user_coordinate_system = {base + 1.1f, base + 1.2f, base + 1.3f};
    e.gaze_point_validity = 1;
    e.pupil_diameter = base + 3.7f;
    e.pupil_validity = 1;
    e.gaze_origin_in_user_coordinate_system = {base + 4.1f, base + 4.2f, base + 4.3f};
    e.gaze_origin_in_trackbox_coordinate_system = {base + 0.51f, base + 0.52f, base + 0.53f};
    e.gaze_origin_validity = 1;
  }
  return r;
}

void BM_GazeDictBuildFree(benchmark::State& state) {
  const velto_gaze_data record = sample_record();
  for (auto _ : state) {
    Value* dict = gaze_data_to_value(&record);
    benchmark::DoNotOptimize(dict);
    value_free(dict);
  }
}
BENCHMARK(BM_GazeDictBuildFree);

// The same dict as the gaze callback builds it: in an arena on the stack,
// released in one step.
void BM_GazeDictBuildArena(benchmark::State& state) {
  const velto_gaze_data record = sample_record();
  for (auto _ : state) {
    alignas(16) char buffer[4096];
    ValueArena arena;
    value_arena_init(&arena, buffer, sizeof buffer);
    Value* dict = gaze_data_to_value(&record, &arena);
    benchmark::DoNotOptimize(dict);
    value_arena_release(&arena);
  }
}
BENCHMARK(BM_GazeDictBuildArena);

void BM_ValueParseLff(benchmark::State& state) {
  Value* args = value_build("Lff", static_cast<int64_t>(0x123456789), 0.25, 0.75);
  for (auto _ : state) {
    int64_t handle = 0;
    float x = 0, y = 0;
    int32_t ok = value_parse(args, "Lff", &handle, &x, &y);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(handle);
    benchmark::DoNotOptimize(x);
    benchmark::DoNotOptimize(y);
  }
  value_free(args);
}
BENCHMARK(BM_ValueParseLff);

void BM_GazeDictToPython(benchmark::State& state) {
  const velto_gaze_data record = sample_record();
  Value* dict = gaze_data_to_value(&record);
  for (auto _ : state) {
    PyObject* object = value_to_python(dict);
    benchmark::DoNotOptimize(object);
    Py_DECREF(object);
  }
  value_free(dict);
}
BENCHMARK(BM_GazeDictToPython);

// Converting the arena-built dict, whose keys the bridge knows by address.
void BM_GazeArenaDictToPython(benchmark::State& state) {
  const velto_gaze_data record = sample_record();
  alignas(16) char buffer[4096];
  ValueArena arena;
  value_arena_init(&arena, buffer, sizeof buffer);
  Value* dict = gaze_data_to_value(&record, &arena);
  for (auto _ : state) {
    PyObject* object = value_to_python(dict);
    benchmark::DoNotOptimize(object);
    Py_DECREF(object);
  }
  value_arena_release(&arena);
}
BENCHMARK(BM_GazeArenaDictToPython);

// The floor for the two above: the same Python dict built straight from the
// record, as the limit reference builds it.
void BM_GazeDirectToPython(benchmark::State& state) {
  const velto_gaze_data record = sample_record();
  gaze_direct::make_keys();
  for (auto _ : state) {
    PyObject* object = gaze_direct::gaze_dict(&record);
    benchmark::DoNotOptimize(object);
    Py_DECREF(object);
  }
}
BENCHMARK(BM_GazeDirectToPython);

}  // namespace

int main(int argc, char** argv) {
  setenv("PYTHONHOME", VELTO_PYTHON_HOME, 0);
  Py_InitializeEx(0);
#if PY_MAJOR_VERSION < 3
  PyEval_InitThreads();
#endif
  python_gate_open();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
