// The simulator's process-wide state, clocks, handles, call log and fault
// rules.
#include <pthread.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "sim_internal.h"
#include "sim_json.h"

namespace velto_sim {
namespace {

// The call log keeps at most this many entries; the oldest are dropped first
// so that a long-running stream test cannot grow it without bound.
constexpr size_t kCallLogCapacity = 100000;

// Every velto_* function of the library: the names a fault rule may name.
const char* const kApiFunctions[] = {
    "velto_initialize",
    "velto_terminate",
    "velto_get_kelmo_api_version",
    "velto_get_sdk_version",
    "velto_get_system_time_stamp",
    "velto_find_all_eyetrackers",
    "velto_get_eyetracker",
    "velto_get_property",
    "velto_get_capabilities",
    "velto_report_stream_error",
    "velto_get_all_gaze_output_frequencies",
    "velto_get_gaze_output_frequency",
    "velto_set_gaze_output_frequency",
    "velto_get_all_eye_tracking_modes",
    "velto_get_eye_tracking_mode",
    "velto_set_eye_tracking_mode",
    "velto_set_device_name",
    "velto_get_display_area",
    "velto_get_track_box",
    "velto_screen_based_calibration_enter_calibration_mode",
    "velto_screen_based_calibration_leave_calibration_mode",
    "velto_screen_based_calibration_collect_data",
    "velto_screen_based_calibration_discard_data",
    "velto_screen_based_calibration_compute_and_apply",
    "velto_screen_based_calibration_get_calibration_points",
    "velto_retrieve_calibration_data",
    "velto_apply_calibration_data",
    "velto_subscribe_to_gaze_data",
    "velto_unsubscribe_from_gaze_data",
    "velto_subscribe_to_external_signal_data",
    "velto_unsubscribe_from_external_signal_data",
    "velto_subscribe_to_time_synchronization_data",
    "velto_unsubscribe_from_time_synchronization_data",
    "velto_subscribe_to_stream_errors",
    "velto_unsubscribe_from_stream_errors",
    "velto_subscribe_to_notifications",
    "velto_unsubscribe_from_notifications",
    "velto_subscribe_to_eye_image_as_gif",
    "velto_unsubscribe_from_eye_image_as_gif",
    "velto_logging_subscribe",
    "velto_logging_unsubscribe",
};

// Stops every thread of the library when the process exits. The state itself
// is never freed: a call still running on another thread keeps working on
// valid memory.
void stop_at_exit() {
  SimState& s = state();
  std::unique_lock<std::mutex> lock(s.mu);
  s.exiting = true;  // no thread starts any more
  shut_down_locked(s, lock, /*bounded=*/true);
}

// fork(): only the forking thread goes on in the child, so the library's
// threads and the callbacks they were running are gone there. Around the
// fork every lock of the state is held by the forking thread, so the child
// never inherits a lock held half-way through a change. In the child the
// library then forgets its threads (their std::thread objects name threads
// of the parent: joining or detaching them would fail, and exit would wait
// for them), the callbacks the parent's threads were running and their waits
// on the condition variables; the world and the subscriptions stay, and a
// new subscription starts a new thread.
SimState* g_state = nullptr;

void lock_before_fork() {
  g_state->mu.lock();
  g_state->log_mu.lock();
  g_state->error_mu.lock();
}

void unlock_after_fork_in_parent() {
  g_state->error_mu.unlock();
  g_state->log_mu.unlock();
  g_state->mu.unlock();
}

void forget_threads(std::thread& thread) {
  new (&thread) std::thread();  // not joinable; the old object is abandoned
}

void reset_after_fork_in_child() {
  SimState& s = *g_state;
  for (const auto& g : s.generators) forget_threads(g->thread);
  s.generators.clear();
  if (s.events) {
    forget_threads(s.events->thread);
    s.events.reset();  // its queued records go with it
  }
  const std::thread::id self = std::this_thread::get_id();
  auto keep_own = [self](Subscription& sub) {
    std::vector<std::thread::id> own;
    for (const auto& id : sub.running) {
      if (id == self) own.push_back(id);
    }
    sub.running.swap(own);
  };
  for (const auto& sub : s.subscriptions) keep_own(*sub);
  if (s.log_subscription) keep_own(*s.log_subscription);
  // The condition variables may count waiters of the parent's threads, for
  // whom a notify would wait forever in the child: they start afresh.
  new (&s.callbacks_cv) std::condition_variable();
  new (&s.work_cv) std::condition_variable();
  s.callback_waiters = 0;
  unlock_after_fork_in_parent();
}

}  // namespace

SimState& state() {
  static SimState* the_state = [] {
    SimState* s = new SimState();  // intentionally never freed
    s->world = default_world();
    g_state = s;
    std::atexit(stop_at_exit);
    pthread_atfork(lock_before_fork, unlock_after_fork_in_parent, reset_after_fork_in_child);
    return s;
  }();
  return *the_state;
}

int64_t system_now_us() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t device_time_us(int64_t offset_us, double drift_ppm, int64_t system_us) {
  // The drift accumulates from the first use of the clocks in this process.
  static const int64_t origin = system_now_us();
  return system_us + offset_us +
         static_cast<int64_t>(static_cast<double>(system_us - origin) * drift_ppm * 1e-6);
}

int64_t next_handle() {
  // Handles look like aligned addresses but are never dereferenced; the
  // counter never restarts, so a stale handle never names a newer tracker.
  static std::atomic<int64_t> counter{0};
  return 0x7e5100000000LL + 0x100 * (++counter);
}

Tracker* find_tracker(SimState& s, int64_t handle) {
  for (Tracker& t : s.world.trackers) {
    if (t.handle == handle) return &t;
  }
  return nullptr;
}

bool is_api_function(const std::string& name) {
  for (const char* f : kApiFunctions) {
    if (name == f) return true;
  }
  return false;
}

std::string arg_handle(const void* handle) {
  return ", \"handle\": " + std::to_string(reinterpret_cast<intptr_t>(handle));
}

std::string arg_int(const char* key, int64_t value) {
  return std::string(", \"") + key + "\": " + std::to_string(value);
}

std::string arg_float(const char* key, double value) {
  return std::string(", \"") + key + "\": " + json_number(value);
}

std::string arg_text(const char* key, const char* text) {
  return std::string(", \"") + key + "\": " + (text ? json_quote(text) : std::string("null"));
}

void set_last_error(const std::string& text) {
  SimState& s = state();
  std::lock_guard<std::mutex> lock(s.error_mu);
  s.last_error = text;
}

bool record_call(const char* function, std::string args, int32_t* status) {
  SimState& s = state();
  std::lock_guard<std::mutex> lock(s.log_mu);
  s.calls.push_back(CallRecord{function, std::move(args)});
  if (s.calls.size() > kCallLogCapacity) s.calls.pop_front();
  for (size_t i = 0; i < s.rules.size(); ++i) {
    FaultRule& rule = s.rules[i];
    if (rule.function != function) continue;
    if (rule.skip > 0) {
      --rule.skip;
      return false;
    }
    *status = rule.status;
    if (rule.times > 0 && --rule.times == 0) s.rules.erase(s.rules.begin() + i);
    return true;
  }
  return false;
}

}  // namespace velto_sim

using namespace velto_sim;

extern "C" {

const char* velto_sim_last_error(void) {
  // A thread-local copy keeps the returned text valid while another thread
  // records a newer error.
  thread_local std::string copy;
  SimState& s = state();
  std::lock_guard<std::mutex> lock(s.error_mu);
  copy = s.last_error;
  return copy.c_str();
}

int velto_sim_fail(const char* function, int status, int skip, int times) {
  if (function == nullptr || !is_api_function(function)) {
    set_last_error(std::string("unknown function: ") + (function ? function : "(null)"));
    return 1;
  }
  if (times < -1 || skip < 0) {
    set_last_error("skip must be >= 0 and times >= -1");
    return 1;
  }
  SimState& s = state();
  std::lock_guard<std::mutex> lock(s.log_mu);
  for (size_t i = 0; i < s.rules.size(); ++i) {
    if (s.rules[i].function == function) {
      s.rules.erase(s.rules.begin() + i);
      break;
    }
  }
  if (times != 0) s.rules.push_back(FaultRule{function, status, skip, times});
  return 0;
}

size_t velto_sim_calls(char* buffer, size_t capacity) {
  SimState& s = state();
  std::string text = "[";
  {
    std::lock_guard<std::mutex> lock(s.log_mu);
    bool first = true;
    for (const CallRecord& entry : s.calls) {
      if (!first) text += ", ";
      text += "{\"function\": \"";
      text += entry.function;
      text += "\"";
      text += entry.args;
      text += "}";
      first = false;
    }
  }
  text += "]";
  if (buffer != nullptr && capacity > 0) {
    size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  }
  return text.size();
}

void velto_sim_clear_calls(void) {
  SimState& s = state();
  std::lock_guard<std::mutex> lock(s.log_mu);
  s.calls.clear();
}

}  // extern "C"
