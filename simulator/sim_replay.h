// A simulated tracker that replays a recording folder of the velto package
// (gaze.csv, events.jsonl, eye_images/, metadata.json). Configured by a
// tracker's "replay" key of the world JSON; behaviour in simulator/README.md
// ("Replaying a recording").
#ifndef VELTO_SIMULATOR_SIM_REPLAY_H_
#define VELTO_SIMULATOR_SIM_REPLAY_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim_json.h"

namespace velto_sim {

struct Tracker;
struct Generator;

// What the configuration-time scan learnt of a recording. Immutable once
// made; copies of the tracker share it.
struct ReplayPlan {
  std::string folder;  // as given, without a trailing '/'
  std::string name;    // the folder's last component
  bool loop = false;
  double speed = 1.0;
  std::vector<int> columns;  // what each CSV column holds (sim_replay_read.h's Field)
  int64_t rows = 0;          // complete rows; playback reads no more than these
  int64_t event_lines = 0;   // events.jsonl lines to read (a cut-off last line excluded)
  bool has_events = false;
  int64_t events = 0;          // events playback delivers
  bool device_column = false;  // gaze.csv holds device_time_us
  int64_t origin_us = 0;       // recorded time of the first replayed item
  int64_t cycle_us = 0;        // a loop's length: last item - origin + one nominal period
  double frequency = 0;        // nominal gaze output frequency (Hz)
  std::string note;            // "" or what playback leaves out (a cut-off last line)
};

// Reads the "replay" object `plan` of tracker `tracker_json` and scans the
// recording it names; fills every field of `tracker` the tracker's JSON does
// not set itself, and tracker->replay. False with `error` (one line, naming
// file:line where a file is at fault) when refused.
bool replay_apply(const JsonValue& tracker_json, const JsonValue& plan, Tracker* tracker, std::string* error);

// The generation thread of a replay tracker (in place of the synthetic one).
void replay_loop(std::shared_ptr<Generator> g);

}  // namespace velto_sim

#endif  // VELTO_SIMULATOR_SIM_REPLAY_H_
