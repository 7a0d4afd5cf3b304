// Reading the files of a recording folder for replay, one line at a time:
// gaze.csv's header and rows, events.jsonl's lines, small whole files. Shared
// by the configuration-time scan (sim_replay.cc) and playback
// (sim_replay_play.cc); private to the simulator's replay.
#ifndef VELTO_SIMULATOR_SIM_REPLAY_READ_H_
#define VELTO_SIMULATOR_SIM_REPLAY_READ_H_

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sim_internal.h"
#include "sim_json.h"

namespace velto_sim {
namespace replay {

constexpr size_t kMaxGazeLine = 64 * 1024;
constexpr size_t kMaxEventLine = 4 * 1024 * 1024;

// What a CSV column holds. Per-eye fields are kEyeBase + 16 * eye + a field
// of sim_replay_read.cc's EyeField.
enum Field { kTime = 0, kSystemTime = 1, kDeviceTime = 2, kEyeBase = 16 };

// Lines of a text file, read one at a time.
struct LineFile {
  std::FILE* f = nullptr;
  int64_t line = 0;  // number of the line last read (1-based)
  LineFile() = default;
  LineFile(const LineFile&) = delete;
  LineFile& operator=(const LineFile&) = delete;
  ~LineFile() { close(); }
  void close() {
    if (f != nullptr) std::fclose(f);
    f = nullptr;
    line = 0;
  }
  bool open(const std::string& path) {
    close();
    f = std::fopen(path.c_str(), "rb");
    return f != nullptr;
  }
  // The next line without its "\n" (and "\r") in *out; false at the end of
  // the file. *complete: the line ended with "\n" (a last line without it
  // was cut off). *too_long: longer than `max` (the rest is skipped).
  bool next(std::string* out, bool* complete, bool* too_long, size_t max) {
    out->clear();
    *complete = false;
    *too_long = false;
    int c;
    bool any = false;
    while ((c = getc_unlocked(f)) != EOF) {
      any = true;
      if (c == '\n') {
        *complete = true;
        break;
      }
      if (out->size() < max) {
        out->push_back(static_cast<char>(c));
      } else {
        *too_long = true;
      }
    }
    if (!any) return false;
    ++line;
    if (!out->empty() && out->back() == '\r') out->pop_back();
    return true;
  }
};

struct Row {
  int64_t t = 0;
  int64_t device = 0;
  velto_gaze_data gaze{};
};

// One replayed event line. kind 0: a line playback skips.
struct Event {
  int kind = 0;
  int64_t t = 0;
  int32_t a = 0, b = 0;  // value/change type, error/source, camera/image type
  std::string text;      // stream error message, or the eye image's path
  velto_notification notification{};
};

// The whole file at `path` in *out; false when it cannot be read or is
// longer than `max` (*missing: it does not exist).
bool read_whole(const std::string& path, std::string* out, size_t max, bool* missing);
bool is_file(const std::string& path);
std::string last_component(const std::string& folder);

// Maps the header line to column codes; false with `why` when a column is
// unknown, doubled or time_us is missing.
bool read_header(const std::string& line, std::vector<int>* columns, std::string* why);
// One data line as a gaze record (times still the recorded ones); false with
// `why` when the line does not fit the header.
bool parse_row(const std::string& line, const std::vector<int>& columns, Row* row, std::string* why);

// A JSON [x, y, z] as a point; a display area object (the recorder's keys).
bool point_of(const JsonValue* v, velto_point3* out);
bool display_area_of(const JsonValue& d, velto_display_area* a);

// Reads one events.jsonl line; false with `why` when it is not one the
// recorder writes. Streams playback does not replay (time synchronisation,
// log, markers, the recording's own lines) and lines without a time come
// back with kind 0. When `check_files`, an eye image file
// the line names must exist.
bool parse_event(const std::string& line, const std::string& folder, bool check_files, Event* e,
                 std::string* why);

}  // namespace replay
}  // namespace velto_sim

#endif  // VELTO_SIMULATOR_SIM_REPLAY_READ_H_
