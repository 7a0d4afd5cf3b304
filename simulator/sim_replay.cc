// Replay of a recording folder as a simulated tracker, at configuration
// time (replay_apply): the recording is checked whole and the tracker's
// fields are taken from it; playback is sim_replay_play.cc.
//
// Memory stays constant whatever the recording's length: the scan reads
// gaze.csv and events.jsonl one line at a time (stdio's buffer is the
// read-ahead).
#include "sim_replay.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "sim_internal.h"
#include "sim_replay_read.h"

namespace velto_sim {
namespace {

using replay::display_area_of;
using replay::Event;
using replay::kDeviceTime;
using replay::kMaxEventLine;
using replay::kMaxGazeLine;
using replay::last_component;
using replay::LineFile;
using replay::parse_event;
using replay::parse_row;
using replay::point_of;
using replay::read_header;
using replay::read_whole;
using replay::Row;

constexpr size_t kMaxMetadata = 64 * 1024 * 1024;
constexpr double kMaxSpeed = 1000.0;

// ------------------------------------------------------------------ metadata

struct Refused {
  std::string reason;
};

[[noreturn]] void refuse(const std::string& why) { throw Refused{why}; }

const JsonValue* meta_member(const JsonValue* object, const char* key, JsonType type) {
  if (object == nullptr) return nullptr;
  const JsonValue* v = json_member(*object, key);
  if (v == nullptr || v->type == JsonType::kNull) return nullptr;
  if (v->type != type) refuse(std::string("metadata.json: ") + key + " has the wrong type");
  return v;
}

std::string fit(const std::string& text, size_t max) {
  std::string out = text.substr(0, std::min(text.size(), max));
  if (out.find('\0') != std::string::npos) out.resize(out.find('\0'));
  return out;
}

bool given(const JsonValue& tracker_json, const char* key) {
  return json_member(tracker_json, key) != nullptr;
}

// Scans gaze.csv whole: every row must parse, time_us never goes back.
void scan_gaze(ReplayPlan* plan, int64_t* first_us, int64_t* last_us) {
  const std::string path = plan->folder + "/gaze.csv";
  LineFile file;
  if (!file.open(path)) refuse(path + ": " + std::strerror(errno));
  std::string line, why;
  bool complete = false, too_long = false;
  if (!file.next(&line, &complete, &too_long, kMaxGazeLine) || !complete) {
    refuse(path + ": no header line");
  }
  if (too_long || !read_header(line, &plan->columns, &why)) {
    refuse(path + ":1: " + (too_long ? std::string("header line too long") : why));
  }
  Row row;
  int64_t previous = INT64_MIN;
  while (file.next(&line, &complete, &too_long, kMaxGazeLine)) {
    const std::string at = path + ":" + std::to_string(file.line) + ": ";
    if (!complete) {  // cut off while being written: replay up to it
      plan->note = "the last line (" + path + ":" + std::to_string(file.line) + ") is cut off and left out";
      break;
    }
    if (too_long) refuse(at + "line longer than " + std::to_string(kMaxGazeLine) + " bytes");
    if (!parse_row(line, plan->columns, &row, &why)) refuse(at + why);
    if (row.t < previous) {
      refuse(at + "time_us goes back (" + std::to_string(row.t) + " after " + std::to_string(previous) + ")");
    }
    if (plan->rows == 0) *first_us = row.t;
    previous = row.t;
    *last_us = row.t;
    ++plan->rows;
  }
  if (std::ferror(file.f)) refuse(path + ": read error");
}

// Scans events.jsonl whole (when there is one); returns the range of the
// replayed events' times.
void scan_events(ReplayPlan* plan, int64_t* first_us, int64_t* last_us, int64_t* count) {
  const std::string path = plan->folder + "/events.jsonl";
  LineFile file;
  if (!file.open(path)) {
    if (errno == ENOENT) return;  // gaze alone
    refuse(path + ": " + std::strerror(errno));
  }
  plan->has_events = true;
  std::string line, why;
  bool complete = false, too_long = false;
  Event e;
  while (file.next(&line, &complete, &too_long, kMaxEventLine)) {
    if (!complete) {  // cut off while being written
      plan->note += std::string(plan->note.empty() ? "" : "; ") + "the last line (" + path + ":" +
                    std::to_string(file.line) + ") is cut off and left out";
      break;
    }
    const std::string at = path + ":" + std::to_string(file.line) + ": ";
    if (too_long) refuse(at + "line longer than " + std::to_string(kMaxEventLine) + " bytes");
    if (!parse_event(line, plan->folder, true, &e, &why)) refuse(at + why);
    plan->event_lines = file.line;
    if (e.kind == 0) continue;
    if (*count == 0 || e.t < *first_us) *first_us = e.t;
    if (*count == 0 || e.t > *last_us) *last_us = e.t;
    ++*count;
  }
  if (std::ferror(file.f)) refuse(path + ": read error");
}

int32_t capabilities_of(const JsonValue& list) {
  int32_t mask = 0;
  for (const JsonValue& c : list.items) {
    if (c.type != JsonType::kString) refuse("metadata.json: tracker.capabilities must hold names");
    if (c.text == "display_area") mask |= VELTO_CAPABILITY_CAN_SET_DISPLAY_AREA;
    if (c.text == "external_signal") mask |= VELTO_CAPABILITY_HAS_EXTERNAL_SIGNAL;
    if (c.text == "eye_images") mask |= VELTO_CAPABILITY_HAS_EYE_IMAGES;
  }
  return mask;
}

void apply(const JsonValue& tj, const JsonValue& spec_json, Tracker* tr) {
  if (spec_json.type != JsonType::kObject) refuse("replay must be an object");
  auto plan = std::make_shared<ReplayPlan>();
  for (const auto& m : spec_json.members) {
    if (m.first != "recording" && m.first != "loop" && m.first != "speed") {
      refuse("unknown key \"" + m.first + "\" in replay");
    }
  }
  const JsonValue* folder = json_member(spec_json, "recording");
  if (folder == nullptr || folder->type != JsonType::kString || folder->text.empty() ||
      folder->text.find('\0') != std::string::npos) {
    refuse("replay needs \"recording\": the folder of a recording");
  }
  plan->folder = folder->text;
  while (plan->folder.size() > 1 && plan->folder.back() == '/') plan->folder.pop_back();
  plan->name = last_component(plan->folder);
  if (const JsonValue* loop = json_member(spec_json, "loop")) {
    if (loop->type != JsonType::kBool) refuse("replay loop must be true or false");
    plan->loop = loop->boolean;
  }
  if (const JsonValue* speed = json_member(spec_json, "speed")) {
    if (speed->type != JsonType::kNumber || !(speed->number > 0) || speed->number > kMaxSpeed) {
      refuse("replay speed must be a number above 0 and at most 1000");
    }
    plan->speed = speed->number;
  }
  struct stat st;
  if (::stat(plan->folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    refuse("no recording folder " + plan->folder);
  }

  // metadata.json: optional (defaults below); damaged is refused.
  JsonValue meta;
  const JsonValue* m = nullptr;
  {
    const std::string path = plan->folder + "/metadata.json";
    std::string text, where;
    bool missing = false;
    if (read_whole(path, &text, kMaxMetadata, &missing)) {
      if (text.find('\0') != std::string::npos || !json_parse(text.c_str(), &meta, &where)) {
        refuse(path + ": " + (where.empty() ? std::string("holds a NUL byte") : "malformed JSON: " + where));
      }
      if (meta.type != JsonType::kObject) refuse(path + ": not a JSON object");
      m = &meta;
    } else if (!missing) {
      refuse(path + ": cannot be read");
    }
  }

  int64_t first_row = 0, last_row = 0, first_event = 0, last_event = 0, events = 0;
  scan_gaze(plan.get(), &first_row, &last_row);
  scan_events(plan.get(), &first_event, &last_event, &events);
  plan->events = events;
  plan->device_column =
      std::find(plan->columns.begin(), plan->columns.end(), kDeviceTime) != plan->columns.end();

  const JsonValue* tracker = meta_member(m, "tracker", JsonType::kObject);
  auto text_of = [&](const char* key) -> std::string {
    const JsonValue* v = meta_member(tracker, key, JsonType::kString);
    return v ? v->text : std::string();
  };
  const size_t kMax = VELTO_PROPERTY_BUFFER_SIZE - 1;
  if (!given(tj, "address")) tr->address = fit("velto-replay://" + plan->name, kMax);
  if (!given(tj, "device_name")) tr->device_name = fit("Replay of " + plan->name, kMax);
  if (!given(tj, "serial_number")) {
    const std::string serial = text_of("serial_number");
    tr->serial_number = fit("REPLAY-" + (serial.empty() ? plan->name : serial), kMax);
  }
  if (!given(tj, "model")) {
    const std::string model = text_of("model");
    tr->model = fit(model.empty() ? "Velto Replay" : model, kMax);
  }
  if (!given(tj, "firmware_version")) {
    const std::string firmware = text_of("firmware_version");
    tr->firmware_version = fit(firmware.empty() ? "replay" : firmware, kMax);
  }
  if (!given(tj, "capabilities")) {
    if (const JsonValue* c = meta_member(tracker, "capabilities", JsonType::kArray)) {
      tr->capabilities = capabilities_of(*c);
    }
  }

  // The nominal frequency: the recorded one, else the rows' mean rate.
  double frequency = 0;
  if (const JsonValue* f = meta_member(m, "gaze_output_frequency_hz", JsonType::kNumber)) {
    frequency = f->number;
  } else if (plan->rows >= 2 && last_row > first_row) {
    frequency = std::round(1e9 * static_cast<double>(plan->rows - 1) / (last_row - first_row)) / 1000.0;
  }
  if (!(frequency > 0) || !std::isfinite(static_cast<float>(frequency))) frequency = 60.0;
  if (!given(tj, "gaze_output_frequencies") && !given(tj, "gaze_output_frequency")) {
    tr->frequencies = {static_cast<float>(frequency)};
    tr->frequency = tr->frequencies[0];
  }
  plan->frequency = tr->frequency;
  if (!given(tj, "eye_tracking_modes") && !given(tj, "eye_tracking_mode")) {
    if (const JsonValue* mode = meta_member(m, "eye_tracking_mode", JsonType::kString)) {
      if (!mode->text.empty() && mode->text.size() < VELTO_MODE_NAME_SIZE &&
          mode->text.find('\0') == std::string::npos) {
        tr->modes = {mode->text};
        tr->mode = mode->text;
      }
    }
  }
  if (!given(tj, "display_area")) {
    if (const JsonValue* d = meta_member(m, "display_area", JsonType::kObject)) {
      if (!display_area_of(*d, &tr->display_area)) refuse("metadata.json: display_area is damaged");
    }
  }
  if (!given(tj, "track_box")) {
    if (const JsonValue* b = meta_member(m, "track_box", JsonType::kObject)) {
      velto_track_box& box = tr->track_box;
      const bool ok = point_of(json_member(*b, "back_lower_left"), &box.back_lower_left) &&
                      point_of(json_member(*b, "back_lower_right"), &box.back_lower_right) &&
                      point_of(json_member(*b, "back_upper_left"), &box.back_upper_left) &&
                      point_of(json_member(*b, "back_upper_right"), &box.back_upper_right) &&
                      point_of(json_member(*b, "front_lower_left"), &box.front_lower_left) &&
                      point_of(json_member(*b, "front_lower_right"), &box.front_lower_right) &&
                      point_of(json_member(*b, "front_upper_left"), &box.front_upper_left) &&
                      point_of(json_member(*b, "front_upper_right"), &box.front_upper_right);
      if (!ok) refuse("metadata.json: track_box is damaged");
    }
  }

  const int64_t period = std::max<int64_t>(1, std::llround(1e6 / plan->frequency));
  int64_t origin = plan->rows > 0 ? first_row : first_event;
  int64_t last = plan->rows > 0 ? last_row : last_event;
  if (events > 0) {
    origin = std::min(origin, first_event);
    last = std::max(last, last_event);
  }
  plan->origin_us = origin;
  plan->cycle_us = last - origin + period;
  tr->replay = plan;
}
}  // namespace

bool replay_apply(const JsonValue& tracker_json, const JsonValue& plan, Tracker* tracker,
                  std::string* error) {
  try {
    apply(tracker_json, plan, tracker);
    return true;
  } catch (const Refused& r) {
    *error = r.reason;
  } catch (const std::exception& e) {
    *error = e.what();
  }
  return false;
}
}  // namespace velto_sim
