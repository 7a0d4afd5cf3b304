// Control interface of the simulated device library (libvelto.so).
//
// The simulator implements every function of device/velto.h over a scripted
// world of simulated eye trackers. These extra functions let tests and
// benchmarks replace that world, make any velto_* function fail with any
// status, read the log of velto_* calls and inject stream records.
//
// Thread safety: every function here may be called from any thread, including
// from inside a stream callback of the library. None of them holds a lock of
// the library while it calls a callback. velto_sim_reset and
// velto_sim_configure stop every generation thread and drop every subscription
// (like velto_terminate); when called from inside a stream callback they do
// not wait for that one callback to return.
#ifndef VELTO_SIMULATOR_VELTO_SIM_H_
#define VELTO_SIMULATOR_VELTO_SIM_H_

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define VELTO_SIM_API __attribute__((visibility("default")))
#else
#define VELTO_SIM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Statuses of the simulated library (besides VELTO_STATUS_OK and
// VELTO_STATUS_BUFFER_TOO_SMALL of device/velto.h). See simulator/README.md
// for when each one is returned.
#define VELTO_SIM_STATUS_NOT_INITIALIZED 1
#define VELTO_SIM_STATUS_INVALID_HANDLE 2
#define VELTO_SIM_STATUS_INVALID_ARGUMENT 3
#define VELTO_SIM_STATUS_NOT_IN_CALIBRATION_MODE 4
#define VELTO_SIM_STATUS_NO_DATA 5
#define VELTO_SIM_STATUS_OPERATION_FAILED 6
#define VELTO_SIM_STATUS_NOT_SUPPORTED 7
#define VELTO_SIM_STATUS_ALREADY_IN_CALIBRATION_MODE 8

// Restores the default world (two trackers), removes every fault rule, empties
// the call log, drops every subscription (the log subscription included) and
// stops every generation thread. The library counts as initialised afterwards.
// Returns 0.
VELTO_SIM_API int velto_sim_reset(void);

// Replaces the world with the one described by `json` (schema in
// simulator/README.md); every key is optional. The subscribers of a connected
// tracker the new world leaves out first get its connection-lost notices, on
// the calling thread; then subscriptions and generation threads end as with
// velto_sim_reset. Fault rules and the call log are kept.
// Returns 0, or non-zero with nothing changed when the text is malformed, has
// an unknown key or a value of the wrong type; velto_sim_last_error() then
// says why. `json` is borrowed.
VELTO_SIM_API int velto_sim_configure(const char* json);

// The reason of the last refusal of velto_sim_configure, velto_sim_fail or
// velto_sim_emit* ("" when none). The text stays valid until the next refusal
// on any thread; copy it at once.
VELTO_SIM_API const char* velto_sim_last_error(void);

// After `skip` normal calls of the velto_* function named `function`, makes
// the next `times` calls (-1: every later call) return `status` without doing
// anything else. `times` 0 removes the rule of that function. A new rule
// replaces the old rule of the same function. Returns 0, or non-zero for a
// name that is not a velto_* function of the library or for times < -1.
VELTO_SIM_API int velto_sim_fail(const char* function, int status, int skip, int times);

// Writes the call log as a JSON array of objects, one per velto_* call since
// the last reset or clear: {"function": "velto_...", and the scalar arguments
// under "handle", "capacity", "index", "x", "y", "frequency", "text", "length",
// "user_data"}. Writes at most `capacity` bytes including the terminating NUL
// (nothing when `buffer` is null or capacity is 0) and returns the full length
// of the text without the NUL. The log keeps the latest 100000 calls.
VELTO_SIM_API size_t velto_sim_calls(char* buffer, size_t capacity);

// Empties the call log.
VELTO_SIM_API void velto_sim_clear_calls(void);

// Delivers one record of stream `stream_type` (1 gaze data, 2 external
// signal, 3 time synchronisation, 4 stream errors, 5 notifications, 6 eye
// images; layouts of device/velto.h) synchronously on the calling thread to
// every subscription of that stream on tracker `device`. `record` is borrowed.
// Returns the number of callbacks made (0 when nothing is subscribed), or -1
// for an unknown stream type or a null record.
VELTO_SIM_API int velto_sim_emit(int stream_type, int64_t device, const void* record);

// Delivers one log message to the log subscription, synchronously on the
// calling thread. Returns the number of callbacks made (0 or 1).
VELTO_SIM_API int velto_sim_emit_log(int64_t system_time_stamp, int source, int level,
                                     const char* message);

// Like velto_sim_emit, `count` times in a tight loop (for benchmarks). The
// subscriptions are looked up once at the start: one that ends during the
// burst receives nothing more, one that starts during it receives nothing.
// Returns the number of callbacks made, or -1 as velto_sim_emit.
VELTO_SIM_API int velto_sim_emit_burst(int stream_type, int64_t device, const void* record,
                                           int64_t count);

// Connection of the tracker at `address` (simulator/README.md, "Lost
// connection", says what its subscribers receive). After `after_us`
// microseconds the connection is cut; `duration_us` later it is restored
// (-1: not until velto_sim_reconnect). Replaces the tracker's earlier
// schedule; a cut due at once has happened when the call returns. Returns 0,
// or non-zero for an unknown address, after_us < 0 or duration_us 0 or < -1.
VELTO_SIM_API int velto_sim_cut_connection(const char* address, int64_t after_us,
                                           int64_t duration_us);
// velto_sim_cut_connection(address, 0, -1): cut now, until reconnected.
VELTO_SIM_API int velto_sim_disconnect(const char* address);
// Restores the connection now and drops any schedule; 0, or non-zero for an
// unknown address. A connected tracker stays as it is (nothing is sent).
VELTO_SIM_API int velto_sim_reconnect(const char* address);
// 1 when the tracker at `address` is connected, 0 when its connection is
// cut, -1 for an unknown address.
VELTO_SIM_API int velto_sim_connected(const char* address);
// Replaces the world with one tracker replaying the recording folder
// `folder` (written by the velto package): velto_sim_configure of
// {"trackers": [{"replay": {"recording": folder, "loop": loop != 0, "speed": speed}}]}.
// Returns 0, or non-zero with nothing changed and velto_sim_last_error() naming
// the fault (file:line where a file is at fault). `folder` is borrowed.
VELTO_SIM_API int velto_sim_configure_replay(const char* folder, int loop, double speed);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // VELTO_SIMULATOR_VELTO_SIM_H_
