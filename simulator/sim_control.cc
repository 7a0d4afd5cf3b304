// The control interface of velto_sim.h: world replacement and record
// injection. (Fault rules and the call log live in sim_state.cc.)
#include <climits>

#include "sim_internal.h"
#include "sim_json.h"

namespace velto_sim {
namespace {

bool valid_emit_stream(int stream_type) {
  return stream_type >= kStreamGaze && stream_type <= kStreamEyeImages;
}

}  // namespace
}  // namespace velto_sim

using namespace velto_sim;

extern "C" {

int velto_sim_reset(void) {
  SimState& s = state();
  std::unique_lock<std::mutex> lock(s.mu);
  // The new world is in place before the old threads are joined, so a call
  // made meanwhile already sees it.
  s.world = default_world();
  s.initialized = true;
  {
    std::lock_guard<std::mutex> log_lock(s.log_mu);
    s.calls.clear();
    s.rules.clear();
  }
  shut_down_locked(s, lock);
  return 0;
}

int velto_sim_configure(const char* json) {
  World w;
  std::string error;
  if (!world_from_json(json, &w, &error)) {
    set_last_error(error);
    return 1;
  }
  announce_leaving(w);
  SimState& s = state();
  std::unique_lock<std::mutex> lock(s.mu);
  s.world = std::move(w);
  shut_down_locked(s, lock);
  return 0;
}

int velto_sim_configure_replay(const char* folder, int loop, double speed) {
  if (folder == nullptr) {
    set_last_error("velto_sim_configure_replay needs a folder");
    return 1;
  }
  const std::string world = "{\"trackers\": [{\"replay\": {\"recording\": " + json_quote(folder) +
                            ", \"loop\": " + (loop ? "true" : "false") +
                            ", \"speed\": " + json_number(speed) + "}}]}";
  const int status = velto_sim_configure(world.c_str());
  if (status != 0) {
    // One tracker only: the refusal need not say which.
    const std::string why = velto_sim_last_error();
    const std::string prefix = "replay of trackers[0]: ";
    if (why.compare(0, prefix.size(), prefix) == 0) set_last_error(why.substr(prefix.size()));
  }
  return status;
}

int velto_sim_emit(int stream_type, int64_t device, const void* record) {
  if (!valid_emit_stream(stream_type) || record == nullptr) {
    set_last_error("velto_sim_emit needs a stream type 1..6 and a record");
    return -1;
  }
  return dispatch(stream_type, device, record);
}

int velto_sim_emit_log(int64_t system_time_stamp, int source, int level, const char* message) {
  return dispatch_log(system_time_stamp, source, level, message);
}

int velto_sim_emit_burst(int stream_type, int64_t device, const void* record, int64_t count) {
  if (!valid_emit_stream(stream_type) || record == nullptr) {
    set_last_error("velto_sim_emit_burst needs a stream type 1..6 and a record");
    return -1;
  }
  // The subscriptions are looked up once for the whole burst, so the loop
  // costs what a device library's own delivery loop would: one callback per
  // record, not a lookup and a list copy each time. A subscription that ends
  // during the burst stops receiving at once (invoke checks it per record);
  // one that starts during the burst is not reached by it.
  std::vector<std::shared_ptr<Subscription>> subs;
  {
    SimState& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    subs = matching_locked(s, stream_type, device);
  }
  int64_t calls = 0;
  for (int64_t i = 0; i < count; ++i) {
    for (const auto& sub : subs) {
      if (invoke(sub, record)) ++calls;
    }
  }
  return calls > INT_MAX ? INT_MAX : static_cast<int>(calls);
}

}  // extern "C"
