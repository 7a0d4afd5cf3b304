// Private state and helpers shared by the simulator's source files.
//
// Thread safety: the whole simulated world, the subscription lists and the
// generation threads' bookkeeping live in one SimState guarded by
// SimState::mu. The call log and the fault rules have their own lock
// (SimState::log_mu), never taken together with mu in the opposite order:
// mu may be held while log_mu is taken, never the other way round. No lock of
// the simulator is held while a stream callback runs (see sim_streams.cc).
// The state is allocated once on the heap and never freed, so that a call
// still running on some thread while the process exits never touches freed
// memory.
#ifndef VELTO_SIMULATOR_SIM_INTERNAL_H_
#define VELTO_SIMULATOR_SIM_INTERNAL_H_

#include <atomic>
#include <climits>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/velto.h"
#include "velto_sim.h"

namespace velto_sim {

struct ReplayPlan;  // sim_replay.h

// Stream types, numbered as the module numbers them.
enum StreamKind {
  kStreamLog = 0,
  kStreamGaze = 1,
  kStreamExternalSignal = 2,
  kStreamTimeSync = 3,
  kStreamStreamErrors = 4,
  kStreamNotifications = 5,
  kStreamEyeImages = 6,
  kStreamKindCount = 7
};

// One calibration sample collected at a point.
struct CalibrationSample {
  velto_point2 position;
  velto_point2 left;
  int32_t left_validity;
  velto_point2 right;
  int32_t right_validity;
};

// One simulated eye tracker.
struct Tracker {
  int64_t handle = 0;
  std::string address;
  std::string device_name;
  std::string serial_number;
  std::string model;
  std::string firmware_version;
  int32_t capabilities = 0;
  std::vector<float> frequencies;
  float frequency = 0;
  std::vector<std::string> modes;
  std::string mode;
  velto_display_area display_area{};
  velto_track_box track_box{};
  std::vector<uint8_t> calibration_data;  // the applied calibration block, may be empty
  bool in_calibration = false;
  std::vector<CalibrationSample> collected;
  // Device clock = system clock + offset + drift_ppm * elapsed.
  int64_t clock_offset_us = 0;
  double clock_drift_ppm = 0;
  // Calibration samples sit at the point plus this per-eye bias plus normal
  // noise of this standard deviation (display-area units).
  velto_point2 calibration_bias_left{0, 0};
  velto_point2 calibration_bias_right{0, 0};
  float calibration_noise = 0;
  int32_t external_signal_value = 0;
  uint32_t noise_seed = 1;
  // Connection (sim_connection.cc): a tracker whose connection is cut keeps
  // its handle and subscriptions but answers nothing and streams nothing.
  bool connected = true;
  int64_t cut_at_us = INT64_MAX;      // a scheduled cut (system clock), or never
  int64_t restore_at_us = INT64_MAX;  // a scheduled restore, or never
  std::shared_ptr<const ReplayPlan> replay;  // set: replays a recording (sim_replay.cc)
};

// The whole scripted world.
struct World {
  velto_version sdk_version{};
  velto_version kelmo_version{};
  bool generate = true;
  std::vector<Tracker> trackers;
};

// One subscription of a stream. Shared with dispatchers in flight, which hold
// a reference while they call its callback.
struct Subscription {
  int kind = 0;
  int64_t handle = 0;  // 0 for the log stream
  void* callback = nullptr;
  void* user_data = nullptr;
  bool active = true;                    // guarded by SimState::mu
  bool initial_sent = false;             // external signal: initial value delivered (mu)
  std::vector<std::thread::id> running;  // threads inside its callback, guarded by mu
};

// The four arguments of a log callback, passed as the "record" of the log
// stream inside the simulator.
struct LogRecord {
  int64_t system_time_stamp;
  int32_t source;
  int32_t level;
  const char* message;
};

// A generation thread of one tracker. Shared between the thread and the
// state so that a thread told to stop (or detached) keeps a valid record.
struct Generator {
  int64_t handle = 0;
  std::thread thread;
  bool stop = false;    // guarded by SimState::mu
  bool exited = false;  // guarded by SimState::mu
};

// A fault rule of one function.
struct FaultRule {
  std::string function;
  int status = 0;
  int skip = 0;
  int times = 0;  // -1: forever
};

// A record queued for the library's event thread (notifications, stream
// errors, log messages), delivered to the matching subscriptions.
struct QueuedEvent {
  int kind = 0;
  int64_t handle = 0;
  velto_notification notification{};
  velto_external_signal_data signal{};
  int64_t time_stamp = 0;
  int32_t error = 0;
  int32_t source = 0;
  int32_t level = 0;
  std::string message;
};

// The event thread and its queue. Shared like Generator.
struct EventWorker {
  std::thread thread;
  std::deque<QueuedEvent> queue;  // guarded by SimState::mu
  bool stop = false;              // guarded by SimState::mu
  bool exited = false;            // guarded by SimState::mu
};

// One entry of the call log: the function's name (a string literal) and its
// arguments as JSON members (", \"handle\": 1, ..."). The JSON object is
// formatted only when the log is read, so recording a call stays cheap.
struct CallRecord {
  const char* function;
  std::string args;
};

struct SimState {
  std::mutex mu;
  // Signalled when a callback returns while someone waits for callbacks
  // (unsubscribe, shutdown) or a library thread ends.
  std::condition_variable callbacks_cv;
  int callback_waiters = 0;  // threads waiting on callbacks_cv
  // Wakes generation threads and the event thread (new work, new
  // subscription, new frequency, stop).
  std::condition_variable work_cv;
  bool initialized = false;
  bool exiting = false;  // the process is exiting: no new threads
  World world;
  std::vector<std::shared_ptr<Subscription>> subscriptions;
  std::shared_ptr<Subscription> log_subscription;
  std::vector<std::shared_ptr<Generator>> generators;
  std::shared_ptr<EventWorker> events;

  // Call log and fault rules.
  std::mutex log_mu;
  std::deque<CallRecord> calls;  // one entry per call, formatted on demand
  std::vector<FaultRule> rules;

  std::mutex error_mu;
  std::string last_error;
};

// The process-wide state (created on first use, never destroyed).
SimState& state();

// Microseconds on the system clock of the library (monotonic).
int64_t system_now_us();
// The device clock of a tracker (offset and drift) at system time `system_us`.
int64_t device_time_us(int64_t offset_us, double drift_ppm, int64_t system_us);

// The default world: two trackers, fresh handles.
World default_world();
// Fills `out` from the JSON text; false with `error` set when refused.
bool world_from_json(const char* json, World* out, std::string* error);
// A handle never used before in this process.
int64_t next_handle();
// The tracker with that handle, or null. Caller holds mu.
Tracker* find_tracker(SimState& s, int64_t handle);

// Default display area and track box.
velto_display_area default_display_area();
velto_track_box default_track_box();

// Call log entry: a JSON object text for one velto_* call.
struct CallArgs {
  std::string function;
  std::string json;  // ", \"key\": value" pairs
};
// Records one velto_* call and applies its fault rule; returns true with the
// status in *status when a rule fires (the caller then returns it at once).
bool record_call(const char* function, std::string args, int32_t* status);
// Known velto_* function names for fault rules.
bool is_api_function(const std::string& name);

// JSON fragment helpers for the call log.
std::string arg_handle(const void* handle);
std::string arg_int(const char* key, int64_t value);
std::string arg_float(const char* key, double value);
std::string arg_text(const char* key, const char* text);

void set_last_error(const std::string& text);

// Streams (sim_streams.cc).
// Delivers one record to every active subscription of (kind, handle) on the
// calling thread; returns callbacks made. Takes mu itself: the caller must
// not hold it.
int dispatch(int kind, int64_t handle, const void* record);
// Delivers a log message to the log subscription on the calling thread.
int dispatch_log(int64_t time_stamp, int source, int level, const char* message);
// Delivers one queued event to its subscriptions on the calling thread. Takes
// mu itself: the caller must not hold it.
void deliver_event(const QueuedEvent& event);
// Queues an event for the event thread. Caller holds mu.
void queue_event_locked(SimState& s, QueuedEvent event);
// Queues a log message of the library itself. Caller holds mu.
void log_locked(SimState& s, int level, const std::string& message);
// Calls the callback of one subscription with one record unless it has been
// removed; returns whether it was called. Takes mu itself (not held during
// the call).
bool invoke(const std::shared_ptr<Subscription>& sub, const void* record);
// The active subscriptions of (kind, handle). Caller holds mu.
std::vector<std::shared_ptr<Subscription>> matching_locked(SimState& s, int kind, int64_t handle);
// Whether (kind, handle) has at least one subscription. Caller holds mu.
bool has_subscription_locked(SimState& s, int kind, int64_t handle);
// Stops generators and the event thread, drops every subscription (the log
// subscription included) and pending events, and waits for callbacks
// running on other threads (never for the calling thread itself). Caller
// holds `lock` on mu; it is released while threads are joined and held again
// on return. Subscriptions made by other threads meanwhile stay. With
// `bounded` (process exit) every wait ends after a short time and threads
// still busy are detached.
void shut_down_locked(SimState& s, std::unique_lock<std::mutex>& lock, bool bounded = false);

// Generation (sim_generate.cc).
// Makes sure a generation thread runs for that tracker when the world
// generates. Caller holds mu.
void ensure_generator_locked(SimState& s, int64_t handle);
// Wakes the generators (e.g. after a frequency change). Caller holds mu.
void wake_generators_locked(SimState& s);

// Connection (sim_connection.cc).
// Applies the scheduled cuts and restores that are due (queueing their
// notices) and keeps the event thread running while more are scheduled.
// Caller holds mu.
void connection_tick_locked(SimState& s);
// The system time of the next scheduled cut or restore, INT64_MAX when none.
// Caller holds mu.
int64_t next_connection_change_locked(SimState& s);
// The tracker with that handle when it exists and is connected, else null
// (scheduled changes applied first). Caller holds mu.
Tracker* find_connected_locked(SimState& s, int64_t handle);
// Tells the subscribers of every connected tracker that `next` leaves out
// that its connection is lost, synchronously on the calling thread. Takes mu
// itself: the caller must not hold it.
void announce_leaving(const World& next);
// Starts the event thread unless it runs (or the process exits). Caller holds mu.
void ensure_event_worker_locked(SimState& s);

// Calibration block format (sim_calibration.cc).
std::vector<uint8_t> make_calibration_block(const Tracker& tracker);
// Returns 0 when `data` is a well-formed block, else the status to return.
int32_t check_calibration_block(const uint8_t* data, size_t size);

// GIF encoding (sim_gif.cc): a grayscale eye picture width x height with the
// pupil at (cx, cy) of radius r in pixels; `blink` closes the eye.
std::vector<uint8_t> encode_eye_gif(int width, int height, double cx, double cy, double r,
                                    bool blink);

inline int64_t handle_value(const velto_eyetracker* handle) {
  return static_cast<int64_t>(reinterpret_cast<intptr_t>(handle));
}

}  // namespace velto_sim

// Records the call and returns the status of a firing fault rule.
#define SIM_CALL(name, args)                        \
  do {                                              \
    int32_t fault_status_ = 0;                      \
    if (record_call(name, args, &fault_status_)) {  \
      return fault_status_;                         \
    }                                               \
  } while (0)

// Takes the state lock and returns "not initialised" unless initialised.
#define SIM_LOCK_INITIALIZED(s, lock)              \
  SimState& s = state();                           \
  std::unique_lock<std::mutex> lock(s.mu);         \
  if (!s.initialized) return VELTO_SIM_STATUS_NOT_INITIALIZED

// Finds the connected tracker of `handle` or returns "invalid handle".
#define SIM_TRACKER(t, s, handle)                                \
  Tracker* t = find_connected_locked(s, handle_value(handle)); \
  if (t == nullptr) return VELTO_SIM_STATUS_INVALID_HANDLE

#endif  // VELTO_SIMULATOR_SIM_INTERNAL_H_
