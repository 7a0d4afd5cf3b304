// Replay of a recording folder as a simulated tracker: the configuration-time
// scan (replay_apply) and the playback thread (replay_loop).
//
// Memory stays constant whatever the recording's length: both the scan and
// the playback read gaze.csv and events.jsonl one line at a time (stdio's
// buffer is the read-ahead); only the current row, the next event and one eye
// image at a time are held.
#include "sim_replay.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <set>

#include "sim_internal.h"

namespace velto_sim {
namespace {

constexpr size_t kMaxGazeLine = 64 * 1024;
constexpr size_t kMaxEventLine = 4 * 1024 * 1024;
constexpr size_t kMaxMetadata = 64 * 1024 * 1024;
constexpr size_t kMaxImage = 64 * 1024 * 1024;
constexpr double kMaxSpeed = 1000.0;
constexpr double kTimeSyncPeriodUs = 250000;
// A stream other than gaze subscribed alone starts playback after this long
// (gaze data starts it at once: a recorder subscribes its event streams
// first and gaze last, and must not miss the first rows).
constexpr int64_t kSideStartUs = 500000;
constexpr int32_t kNotificationConnectionLost = 0;

const float kNaN = std::numeric_limits<float>::quiet_NaN();

// What a CSV column holds. Per-eye fields are kEyeBase + 16 * eye + EyeField.
enum Field { kTime = 0, kSystemTime = 1, kDeviceTime = 2, kEyeBase = 16 };
enum EyeField {
  kX,
  kY,
  kGazeMmX,
  kGazeMmY,
  kGazeMmZ,
  kPupil,
  kOriginMmX,
  kOriginMmY,
  kOriginMmZ,
  kBoxX,
  kBoxY,
  kBoxZ,
  kGazeValidity,
  kPupilValidity,
  kOriginValidity,
  kValidFlags,
  kEyeFieldCount
};
const char* const kEyeFieldNames[kEyeFieldCount] = {"x",
                                                    "y",
                                                    "gaze_x_mm",
                                                    "gaze_y_mm",
                                                    "gaze_z_mm",
                                                    "pupil",
                                                    "origin_x_mm",
                                                    "origin_y_mm",
                                                    "origin_z_mm",
                                                    "origin_box_x",
                                                    "origin_box_y",
                                                    "origin_box_z",
                                                    "gaze_validity",
                                                    "pupil_validity",
                                                    "origin_validity",
                                                    "valid"};

bool integer_field(int code) {
  if (code < kEyeBase) return true;
  const int f = (code - kEyeBase) % 16;
  return f >= kGazeValidity;
}

// Names of the module's enumerations as a recording holds them, by code.
// A name not in its table (the module's "..._unknown") replays as code -1,
// which the module names "..._unknown" again.
const char* const kChangeTypes[] = {"external_signal_change_type_value_changed",
                                    "external_signal_change_type_initial_value",
                                    "external_signal_change_type_connection_restored"};
const char* const kStreamErrors[] = {"stream_error_connection_lost", "", "stream_error_not_supported",
                                     "stream_error_internal_error", "stream_error_user_error"};
const char* const kErrorSources[] = {"stream_error_source_user",
                                     "stream_error_source_stream_pump",
                                     "stream_error_source_subscription_gaze_data",
                                     "stream_error_source_subscription_external_signal",
                                     "stream_error_source_subscription_time_synchronization_data",
                                     "stream_error_source_subscription_eye_image",
                                     "stream_error_source_subscription_notification"};
const char* const kNotificationTypes[] = {"eyetracker_notification_connection_lost",
                                          "eyetracker_notification_connection_restored",
                                          "eyetracker_notification_calibration_mode_entered",
                                          "eyetracker_notification_calibration_mode_left",
                                          "eyetracker_notification_track_box_changed",
                                          "eyetracker_notification_display_area_changed",
                                          "eyetracker_notification_gaze_output_frequency_changed"};
const char* const kImageTypes[] = {"eye_image_type_full", "eye_image_type_cropped"};

template <size_t N>
int32_t code_of(const char* const (&table)[N], const std::string& name) {
  for (size_t i = 0; i < N; ++i) {
    if (name == table[i] && table[i][0] != '\0') return static_cast<int32_t>(i);
  }
  return -1;
}

// ------------------------------------------------------------------ files

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

bool read_whole(const std::string& path, std::string* out, size_t max, bool* missing) {
  *missing = false;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    *missing = errno == ENOENT;
    return false;
  }
  out->clear();
  char buffer[65536];
  size_t n;
  bool ok = true;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
    if (out->size() + n > max) {
      ok = false;
      break;
    }
    out->append(buffer, n);
  }
  if (std::ferror(f)) ok = false;
  std::fclose(f);
  return ok;
}

bool is_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string last_component(const std::string& folder) {
  const size_t slash = folder.find_last_of('/');
  return slash == std::string::npos ? folder : folder.substr(slash + 1);
}

// ------------------------------------------------------------------ gaze rows

struct Row {
  int64_t t = 0;
  int64_t device = 0;
  velto_gaze_data gaze{};
};

velto_eye_data& eye_of(velto_gaze_data& g, int eye) { return eye == 0 ? g.left_eye : g.right_eye; }

// Maps the header line to column codes; false with `why` when a column is
// unknown, doubled or time_us is missing.
bool read_header(const std::string& line, std::vector<int>* columns, std::string* why) {
  columns->clear();
  std::set<int> seen;
  size_t start = 0;
  for (;;) {
    const size_t comma = line.find(',', start);
    const std::string name =
        line.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    int code = -1;
    if (name == "time_us") code = kTime;
    if (name == "system_time_us") code = kSystemTime;
    if (name == "device_time_us") code = kDeviceTime;
    for (int eye = 0; eye < 2 && code < 0; ++eye) {
      const std::string prefix = eye == 0 ? "left_" : "right_";
      if (name.compare(0, prefix.size(), prefix) != 0) continue;
      for (int f = 0; f < kEyeFieldCount; ++f) {
        if (name.compare(prefix.size(), std::string::npos, kEyeFieldNames[f]) == 0) {
          code = kEyeBase + 16 * eye + f;
        }
      }
    }
    if (code < 0) {
      *why = "unknown column \"" + name + "\"";
      return false;
    }
    if (!seen.insert(code).second) {
      *why = "column \"" + name + "\" twice";
      return false;
    }
    columns->push_back(code);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (seen.count(kTime) == 0) {
    *why = "no time_us column";
    return false;
  }
  return true;
}

bool parse_integer(const char* text, size_t length, int64_t* out) {
  if (length == 0 || length > 20) return false;
  char buffer[24];
  std::memcpy(buffer, text, length);
  buffer[length] = '\0';
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(buffer, &end, 10);
  if (errno != 0 || end != buffer + length) return false;
  *out = v;
  return true;
}

bool parse_float(const char* text, size_t length, float* out) {
  if (length == 0) {
    *out = kNaN;
    return true;
  }
  if (length > 40) return false;
  char buffer[48];
  std::memcpy(buffer, text, length);
  buffer[length] = '\0';
  char* end = nullptr;
  const double v = std::strtod(buffer, &end);
  if (end != buffer + length || !std::isfinite(v)) return false;
  const float f = static_cast<float>(v);
  if (!std::isfinite(f)) return false;
  *out = f;
  return true;
}

// One data line as a gaze record (times still the recorded ones); false with
// `why` when the line does not fit the header.
bool parse_row(const std::string& line, const std::vector<int>& columns, Row* row, std::string* why) {
  velto_gaze_data& g = row->gaze;
  g = velto_gaze_data{};
  bool has[2][kEyeFieldCount] = {};
  int64_t flags[2] = {0, 0};
  for (int eye = 0; eye < 2; ++eye) {
    velto_eye_data& e = eye_of(g, eye);
    e.gaze_point_on_display_area = velto_point2{kNaN, kNaN};
    e.gaze_point_in_user_coordinate_system = velto_point3{kNaN, kNaN, kNaN};
    e.pupil_diameter = kNaN;
    e.gaze_origin_in_user_coordinate_system = velto_point3{kNaN, kNaN, kNaN};
    e.gaze_origin_in_trackbox_coordinate_system = velto_point3{kNaN, kNaN, kNaN};
  }
  row->device = 0;
  size_t start = 0;
  size_t cell = 0;
  for (;;) {
    size_t comma = line.find(',', start);
    const size_t end = comma == std::string::npos ? line.size() : comma;
    if (cell >= columns.size()) {
      *why = "more than " + std::to_string(columns.size()) + " cells";
      return false;
    }
    const int code = columns[cell];
    const char* text = line.data() + start;
    const size_t length = end - start;
    if (integer_field(code)) {
      int64_t v = 0;
      if (!parse_integer(text, length, &v)) {
        *why = "cell " + std::to_string(cell + 1) + " (" + line.substr(start, std::min<size_t>(length, 40)) +
               ") is not an integer";
        return false;
      }
      if (code == kTime) row->t = v;
      if (code == kDeviceTime) row->device = v;
      if (code >= kEyeBase) {
        const int eye = (code - kEyeBase) / 16;
        const int f = (code - kEyeBase) % 16;
        has[eye][f] = true;
        velto_eye_data& e = eye_of(g, eye);
        if (v < INT32_MIN || v > INT32_MAX) {
          *why = "cell " + std::to_string(cell + 1) + " does not fit 32 bits";
          return false;
        }
        if (f == kGazeValidity) e.gaze_point_validity = static_cast<int32_t>(v);
        if (f == kPupilValidity) e.pupil_validity = static_cast<int32_t>(v);
        if (f == kOriginValidity) e.gaze_origin_validity = static_cast<int32_t>(v);
        if (f == kValidFlags) {
          if (v < 0 || v > 7) {
            *why = "cell " + std::to_string(cell + 1) + " is not a flag sum 0..7";
            return false;
          }
          flags[eye] = v;
        }
      }
    } else {
      float v = 0;
      if (!parse_float(text, length, &v)) {
        *why = "cell " + std::to_string(cell + 1) + " (" + line.substr(start, std::min<size_t>(length, 40)) +
               ") is not a number";
        return false;
      }
      const int eye = (code - kEyeBase) / 16;
      const int f = (code - kEyeBase) % 16;
      has[eye][f] = true;
      velto_eye_data& e = eye_of(g, eye);
      switch (f) {
        case kX: e.gaze_point_on_display_area.x = v; break;
        case kY: e.gaze_point_on_display_area.y = v; break;
        case kGazeMmX: e.gaze_point_in_user_coordinate_system.x = v; break;
        case kGazeMmY: e.gaze_point_in_user_coordinate_system.y = v; break;
        case kGazeMmZ: e.gaze_point_in_user_coordinate_system.z = v; break;
        case kPupil: e.pupil_diameter = v; break;
        case kOriginMmX: e.gaze_origin_in_user_coordinate_system.x = v; break;
        case kOriginMmY: e.gaze_origin_in_user_coordinate_system.y = v; break;
        case kOriginMmZ: e.gaze_origin_in_user_coordinate_system.z = v; break;
        case kBoxX: e.gaze_origin_in_trackbox_coordinate_system.x = v; break;
        case kBoxY: e.gaze_origin_in_trackbox_coordinate_system.y = v; break;
        case kBoxZ: e.gaze_origin_in_trackbox_coordinate_system.z = v; break;
        default: break;
      }
    }
    ++cell;
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (cell != columns.size()) {
    *why = std::to_string(cell) + " cells, the header has " + std::to_string(columns.size());
    return false;
  }
  // Validities: the recorded codes (full columns); else the flag sum of the
  // compact columns, for the groups whose values the recording holds; else
  // valid where the values are there. Groups not recorded stay 0 (and NaN).
  for (int eye = 0; eye < 2; ++eye) {
    velto_eye_data& e = eye_of(g, eye);
    const bool* h = has[eye];
    const bool flagged = h[kValidFlags];
    if (!h[kGazeValidity]) {
      const bool recorded = h[kX] || h[kY];
      e.gaze_point_validity = !recorded ? 0
                              : flagged ? static_cast<int32_t>(flags[eye] & 1)
                                        : (std::isnan(e.gaze_point_on_display_area.x) ? 0 : 1);
    }
    if (!h[kPupilValidity]) {
      e.pupil_validity = !h[kPupil] ? 0
                         : flagged  ? static_cast<int32_t>((flags[eye] >> 1) & 1)
                                    : (std::isnan(e.pupil_diameter) ? 0 : 1);
    }
    if (!h[kOriginValidity]) {
      const bool recorded = h[kOriginMmX] || h[kBoxX];
      e.gaze_origin_validity = !recorded ? 0
                               : flagged ? static_cast<int32_t>((flags[eye] >> 2) & 1)
                                         : (std::isnan(e.gaze_origin_in_user_coordinate_system.x) &&
                                                    std::isnan(e.gaze_origin_in_trackbox_coordinate_system.x)
                                                ? 0
                                                : 1);
    }
  }
  return true;
}

// ------------------------------------------------------------------ events

// One replayed event line. kind 0: a line playback skips.
struct Event {
  int kind = 0;
  int64_t t = 0;
  int32_t a = 0, b = 0;  // value/change type, error/source, camera/image type
  std::string text;      // stream error message, or the eye image's path
  velto_notification notification{};
};

const JsonValue* member_of(const JsonValue& o, const char* key, JsonType type, std::string* why) {
  const JsonValue* v = json_member(o, key);
  if (v == nullptr || v->type != type) {
    *why = std::string("no ") + key + " of the right type";
    return nullptr;
  }
  return v;
}

bool int_member(const JsonValue& o, const char* key, int64_t* out, std::string* why) {
  const JsonValue* v = member_of(o, key, JsonType::kNumber, why);
  if (v == nullptr) return false;
  if (!v->fits_int64) {
    *why = std::string(key) + " is not an integer";
    return false;
  }
  *out = v->integer;
  return true;
}

bool name_member(const JsonValue& o, const char* key, std::string* out, std::string* why) {
  const JsonValue* v = member_of(o, key, JsonType::kString, why);
  if (v == nullptr) return false;
  *out = v->text;
  return true;
}

bool point_of(const JsonValue* v, velto_point3* out) {
  if (v == nullptr || v->type != JsonType::kArray || v->items.size() != 3) return false;
  float p[3];
  for (int i = 0; i < 3; ++i) {
    if (v->items[i].type != JsonType::kNumber) return false;
    p[i] = static_cast<float>(v->items[i].number);
  }
  *out = velto_point3{p[0], p[1], p[2]};
  return true;
}

bool display_area_of(const JsonValue& d, velto_display_area* a) {
  if (d.type != JsonType::kObject) return false;
  const JsonValue* w = json_member(d, "width");
  const JsonValue* h = json_member(d, "height");
  if (!point_of(json_member(d, "bottom_left"), &a->bottom_left) ||
      !point_of(json_member(d, "bottom_right"), &a->bottom_right) ||
      !point_of(json_member(d, "top_left"), &a->top_left) ||
      !point_of(json_member(d, "top_right"), &a->top_right) || w == nullptr || w->type != JsonType::kNumber ||
      h == nullptr || h->type != JsonType::kNumber) {
    return false;
  }
  a->width = static_cast<float>(w->number);
  a->height = static_cast<float>(h->number);
  return true;
}

// Reads one events.jsonl line; false with `why` when it is not one the
// recorder writes. Streams playback does not replay (time synchronisation,
// log, markers, the recording's own lines) and lines without a time come
// back with kind 0.
bool parse_event(const std::string& line, const std::string& folder, bool check_files, Event* e,
                 std::string* why) {
  *e = Event{};
  JsonValue v;
  std::string where;
  if (!json_parse(line.c_str(), &v, &where)) {
    *why = "malformed JSON: " + where;
    return false;
  }
  if (v.type != JsonType::kObject) {
    *why = "not a JSON object";
    return false;
  }
  std::string stream;
  if (!name_member(v, "stream", &stream, why)) return false;
  int kind = 0;
  if (stream == "external_signal") kind = kStreamExternalSignal;
  if (stream == "stream_errors") kind = kStreamStreamErrors;
  if (stream == "notifications") kind = kStreamNotifications;
  if (stream == "eye_images") kind = kStreamEyeImages;
  if (kind == 0) return true;
  const JsonValue* t = json_member(v, "t_us");
  if (t == nullptr || t->type == JsonType::kNull) return true;  // time unknown: not replayed
  if (!int_member(v, "t_us", &e->t, why)) return false;
  std::string name;
  int64_t number = 0;
  switch (kind) {
    case kStreamExternalSignal:
      if (!int_member(v, "value", &number, why) || !name_member(v, "change_type", &name, why)) return false;
      e->a = static_cast<int32_t>(number);
      e->b = code_of(kChangeTypes, name);
      break;
    case kStreamStreamErrors:
      if (!name_member(v, "error", &name, why)) return false;
      e->a = code_of(kStreamErrors, name);
      if (!name_member(v, "source", &name, why)) return false;
      e->b = code_of(kErrorSources, name);
      if (!name_member(v, "message", &e->text, why)) return false;
      if (e->text.find('\0') != std::string::npos) e->text.resize(e->text.find('\0'));
      break;
    case kStreamNotifications: {
      if (!name_member(v, "notification_type", &name, why)) return false;
      e->notification.notification_type = code_of(kNotificationTypes, name);
      if (const JsonValue* d = json_member(v, "display_area")) {
        if (!display_area_of(*d, &e->notification.value.display_area)) {
          *why = "a display_area that is not one";
          return false;
        }
      } else if (const JsonValue* f = json_member(v, "gaze_output_frequency")) {
        if (f->type != JsonType::kNumber) {
          *why = "a gaze_output_frequency that is not a number";
          return false;
        }
        e->notification.value.gaze_output_frequency = static_cast<float>(f->number);
      }
      break;
    }
    case kStreamEyeImages:
      if (!int_member(v, "camera_id", &number, why) || !name_member(v, "image_type", &name, why) ||
          !name_member(v, "file", &e->text, why)) {
        return false;
      }
      e->a = static_cast<int32_t>(number);
      e->b = code_of(kImageTypes, name);
      if (e->b < 0) e->b = 2;  // the module's "unknown" row
      if (e->text.empty() || e->text[0] == '/' || e->text.find("..") != std::string::npos) {
        *why = "an eye image file outside the folder";
        return false;
      }
      e->text = folder + "/" + e->text;
      if (check_files && !is_file(e->text)) {
        *why = "eye image " + e->text + " is missing";
        return false;
      }
      break;
    default: break;
  }
  e->kind = kind;
  return true;
}

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
void scan_gaze(ReplaySpec* spec, int64_t* first_us, int64_t* last_us) {
  const std::string path = spec->folder + "/gaze.csv";
  LineFile file;
  if (!file.open(path)) refuse(path + ": " + std::strerror(errno));
  std::string line, why;
  bool complete = false, too_long = false;
  if (!file.next(&line, &complete, &too_long, kMaxGazeLine) || !complete) {
    refuse(path + ": no header line");
  }
  if (too_long || !read_header(line, &spec->columns, &why)) {
    refuse(path + ":1: " + (too_long ? std::string("header line too long") : why));
  }
  Row row;
  int64_t previous = INT64_MIN;
  while (file.next(&line, &complete, &too_long, kMaxGazeLine)) {
    const std::string at = path + ":" + std::to_string(file.line) + ": ";
    if (!complete) {  // cut off while being written: replay up to it
      spec->note = "the last line (" + path + ":" + std::to_string(file.line) + ") is cut off and left out";
      break;
    }
    if (too_long) refuse(at + "line longer than " + std::to_string(kMaxGazeLine) + " bytes");
    if (!parse_row(line, spec->columns, &row, &why)) refuse(at + why);
    if (row.t < previous) {
      refuse(at + "time_us goes back (" + std::to_string(row.t) + " after " + std::to_string(previous) + ")");
    }
    if (spec->rows == 0) *first_us = row.t;
    previous = row.t;
    *last_us = row.t;
    ++spec->rows;
  }
  if (std::ferror(file.f)) refuse(path + ": read error");
}

// Scans events.jsonl whole (when there is one); returns the range of the
// replayed events' times.
void scan_events(ReplaySpec* spec, int64_t* first_us, int64_t* last_us, int64_t* count) {
  const std::string path = spec->folder + "/events.jsonl";
  LineFile file;
  if (!file.open(path)) {
    if (errno == ENOENT) return;  // gaze alone
    refuse(path + ": " + std::strerror(errno));
  }
  spec->has_events = true;
  std::string line, why;
  bool complete = false, too_long = false;
  Event e;
  while (file.next(&line, &complete, &too_long, kMaxEventLine)) {
    if (!complete) {  // cut off while being written
      spec->note += std::string(spec->note.empty() ? "" : "; ") + "the last line (" + path + ":" +
                    std::to_string(file.line) + ") is cut off and left out";
      break;
    }
    const std::string at = path + ":" + std::to_string(file.line) + ": ";
    if (too_long) refuse(at + "line longer than " + std::to_string(kMaxEventLine) + " bytes");
    if (!parse_event(line, spec->folder, true, &e, &why)) refuse(at + why);
    spec->event_lines = file.line;
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
  auto spec = std::make_shared<ReplaySpec>();
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
  spec->folder = folder->text;
  while (spec->folder.size() > 1 && spec->folder.back() == '/') spec->folder.pop_back();
  spec->name = last_component(spec->folder);
  if (const JsonValue* loop = json_member(spec_json, "loop")) {
    if (loop->type != JsonType::kBool) refuse("replay loop must be true or false");
    spec->loop = loop->boolean;
  }
  if (const JsonValue* speed = json_member(spec_json, "speed")) {
    if (speed->type != JsonType::kNumber || !(speed->number > 0) || speed->number > kMaxSpeed) {
      refuse("replay speed must be a number above 0 and at most 1000");
    }
    spec->speed = speed->number;
  }
  struct stat st;
  if (::stat(spec->folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    refuse("no recording folder " + spec->folder);
  }

  // metadata.json: optional (defaults below); damaged is refused.
  JsonValue meta;
  const JsonValue* m = nullptr;
  {
    const std::string path = spec->folder + "/metadata.json";
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
  scan_gaze(spec.get(), &first_row, &last_row);
  scan_events(spec.get(), &first_event, &last_event, &events);
  spec->events = events;
  spec->device_column =
      std::find(spec->columns.begin(), spec->columns.end(), kDeviceTime) != spec->columns.end();

  const JsonValue* tracker = meta_member(m, "tracker", JsonType::kObject);
  auto text_of = [&](const char* key) -> std::string {
    const JsonValue* v = meta_member(tracker, key, JsonType::kString);
    return v ? v->text : std::string();
  };
  const size_t kMax = VELTO_PROPERTY_BUFFER_SIZE - 1;
  if (!given(tj, "address")) tr->address = fit("velto-replay://" + spec->name, kMax);
  if (!given(tj, "device_name")) tr->device_name = fit("Replay of " + spec->name, kMax);
  if (!given(tj, "serial_number")) {
    const std::string serial = text_of("serial_number");
    tr->serial_number = fit("REPLAY-" + (serial.empty() ? spec->name : serial), kMax);
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
  } else if (spec->rows >= 2 && last_row > first_row) {
    frequency = std::round(1e9 * static_cast<double>(spec->rows - 1) / (last_row - first_row)) / 1000.0;
  }
  if (!(frequency > 0) || !std::isfinite(static_cast<float>(frequency))) frequency = 60.0;
  if (!given(tj, "gaze_output_frequencies") && !given(tj, "gaze_output_frequency")) {
    tr->frequencies = {static_cast<float>(frequency)};
    tr->frequency = tr->frequencies[0];
  }
  spec->frequency = tr->frequency;
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

  const int64_t period = std::max<int64_t>(1, std::llround(1e6 / spec->frequency));
  int64_t origin = spec->rows > 0 ? first_row : first_event;
  int64_t last = spec->rows > 0 ? last_row : last_event;
  if (events > 0) {
    origin = std::min(origin, first_event);
    last = std::max(last, last_event);
  }
  spec->origin_us = origin;
  spec->cycle_us = last - origin + period;
  tr->replay = spec;
}

// ------------------------------------------------------------------ playback

// The reading side of playback: the next row and the next event.
struct Playback {
  const ReplaySpec& spec;
  LineFile gaze, events;
  int64_t rows_read = 0;
  bool have_row = false, have_event = false;
  Row row;
  Event event;
  std::string line, problem;

  explicit Playback(const ReplaySpec& s) : spec(s) {}

  // (Re)opens the files at their start; false with `problem` set.
  bool rewind() {
    rows_read = 0;
    have_row = have_event = false;
    bool complete, too_long;
    if (!gaze.open(spec.folder + "/gaze.csv") || !gaze.next(&line, &complete, &too_long, kMaxGazeLine)) {
      problem = spec.folder + "/gaze.csv cannot be read any more";
      return false;
    }
    if (spec.has_events && !events.open(spec.folder + "/events.jsonl")) {
      problem = spec.folder + "/events.jsonl cannot be read any more";
      return false;
    }
    next_row();
    next_event();
    return problem.empty();
  }

  void next_row() {
    have_row = false;
    if (rows_read >= spec.rows) return;
    bool complete, too_long;
    std::string why;
    if (!gaze.next(&line, &complete, &too_long, kMaxGazeLine) || !complete ||
        !parse_row(line, spec.columns, &row, &why)) {
      problem =
          spec.folder + "/gaze.csv:" + std::to_string(gaze.line) + " changed since the replay was configured";
      return;
    }
    ++rows_read;
    have_row = true;
  }

  void next_event() {
    have_event = false;
    if (events.f == nullptr) return;
    bool complete, too_long;
    std::string why;
    while (events.line < spec.event_lines && events.next(&line, &complete, &too_long, kMaxEventLine)) {
      if (!complete || !parse_event(line, spec.folder, false, &event, &why)) {
        problem = spec.folder + "/events.jsonl:" + std::to_string(events.line) +
                  " changed since the replay was configured";
        return;
      }
      if (event.kind != 0) {
        have_event = true;
        return;
      }
    }
  }
};

using Clock = std::chrono::steady_clock;

Clock::time_point at_us(double us) {
  return Clock::time_point(std::chrono::microseconds(static_cast<int64_t>(std::ceil(us))));
}

bool read_image(const std::string& path, std::vector<uint8_t>* out) {
  std::string data;
  bool missing = false;
  if (!read_whole(path, &data, kMaxImage, &missing)) return false;
  out->assign(data.begin(), data.end());
  return true;
}

}  // namespace

bool replay_apply(const JsonValue& tracker_json, const JsonValue& spec, Tracker* tracker,
                  std::string* error) {
  try {
    apply(tracker_json, spec, tracker);
    return true;
  } catch (const Refused& r) {
    *error = r.reason;
  } catch (const std::exception& e) {
    *error = e.what();
  }
  return false;
}

void replay_loop(std::shared_ptr<Generator> g) {
  SimState& s = state();
  std::unique_lock<std::mutex> lock(s.mu);
  std::shared_ptr<const ReplaySpec> held;
  if (Tracker* t = find_tracker(s, g->handle)) held = t->replay;
  if (!held) {
    g->exited = true;
    if (s.callback_waiters > 0) s.callbacks_cv.notify_all();
    return;
  }
  const ReplaySpec& spec = *held;
  Playback p(spec);
  lock.unlock();
  bool ready = p.rewind();
  lock.lock();

  bool started = false, ended = false, sync_on = false;
  int64_t side_since = -1;  // a stream other than gaze subscribed alone, since
  int64_t start_sys = 0;    // system time of the recorded origin in cycle 0
  int64_t device_base = 0;  // device stamp of the first row (full columns)
  int64_t first_device = 0;
  bool have_first_device = false;
  int64_t cycle = 0;
  double next_sync = 0;
  // The system time at which a recorded time plays.
  auto play_time = [&](int64_t recorded) -> int64_t {
    const int64_t since = recorded - spec.origin_us + cycle * spec.cycle_us;
    if (spec.speed == 1.0) return start_sys + since;
    return start_sys + static_cast<int64_t>(std::llround(static_cast<double>(since) / spec.speed));
  };
  while (!g->stop) {
    Tracker* t = find_tracker(s, g->handle);
    if (t == nullptr) break;  // the world was replaced
    const int64_t h = t->handle;
    const int64_t offset = t->clock_offset_us;
    const double drift = t->clock_drift_ppm;
    const std::string address = t->address;
    const int64_t now = system_now_us();
    const bool want_gaze = has_subscription_locked(s, kStreamGaze, h);
    const bool want_sync = has_subscription_locked(s, kStreamTimeSync, h);
    const bool want_side = has_subscription_locked(s, kStreamExternalSignal, h) ||
                           has_subscription_locked(s, kStreamEyeImages, h);
    if (want_sync && !sync_on) next_sync = static_cast<double>(now);
    sync_on = want_sync && !ended;
    if (!started && ready) {
      if (!want_side) side_since = -1;
      if (want_side && side_since < 0) side_since = now;
      if (want_gaze || (side_since >= 0 && now - side_since >= kSideStartUs)) {
        started = true;
        start_sys = now;
        log_locked(s, 2,
                   "replay of " + spec.folder + " started on " + address +
                       (spec.note.empty() ? std::string() : "; " + spec.note));
      }
    }
    if (!ready && !ended) {
      ended = true;
      log_locked(s, 0, "replay of " + spec.folder + " failed: " + p.problem);
    }
    // The next item: the earlier of the next row and the next event.
    bool item_is_row = false;
    double next = std::numeric_limits<double>::infinity();
    int64_t item_time = 0;
    if (started && !ended && (p.have_row || p.have_event)) {
      item_is_row = p.have_row && (!p.have_event || p.row.t <= p.event.t);
      item_time = play_time(item_is_row ? p.row.t : p.event.t);
      next = static_cast<double>(item_time);
    }
    const bool finished = started && !ended && ((!p.have_row && !p.have_event) || !p.problem.empty());
    if (!started && side_since >= 0) next = std::min(next, static_cast<double>(side_since + kSideStartUs));
    if (sync_on) next = std::min(next, next_sync);
    if (!finished && next == std::numeric_limits<double>::infinity()) {
      s.work_cv.wait(lock);
      continue;
    }
    if (!finished && now < next) {
      s.work_cv.wait_until(lock, at_us(next));
      continue;
    }
    const bool sync_due = sync_on && now >= next_sync;
    if (sync_due) next_sync += kTimeSyncPeriodUs;
    if (now - next_sync > 200000) next_sync = now + kTimeSyncPeriodUs;
    const bool item_due = started && !ended && !finished && now >= item_time;
    bool end_now = false;
    if (finished) {
      if (spec.loop && spec.rows + spec.events > 0 && p.problem.empty()) {
        ++cycle;  // time stamps go on increasing across the seam
      } else {
        ended = true;
        end_now = true;
        log_locked(s, 2,
                   "replay of " + spec.folder + " on " + address + " ended" +
                       (p.problem.empty() ? std::string() : ": " + p.problem));
      }
    }
    lock.unlock();

    if (sync_due) {
      const int64_t response = system_now_us();
      const int64_t request = response - 400;
      velto_time_synchronization_data sync{request, device_time_us(offset, drift, request + 200), response};
      dispatch(kStreamTimeSync, h, &sync);
    }
    if (finished && !end_now) ready = p.rewind();
    if (end_now) {
      // The end of a replay that does not loop: no more gaze or events, and
      // subscribers of notifications hear "connection lost".
      velto_notification n{};
      n.system_time_stamp = system_now_us();
      n.notification_type = kNotificationConnectionLost;
      dispatch(kStreamNotifications, h, &n);
    }
    if (item_due && item_is_row) {
      velto_gaze_data gaze = p.row.gaze;
      gaze.system_time_stamp = item_time;
      if (spec.device_column) {
        // Device stamps keep their recorded intervals, counted from the
        // tracker's device clock at the first row.
        if (!have_first_device) {
          have_first_device = true;
          first_device = p.row.device;
          device_base = device_time_us(offset, drift, item_time);
        }
        const int64_t since = p.row.device - first_device + cycle * spec.cycle_us;
        gaze.device_time_stamp =
            device_base + (spec.speed == 1.0 ? since : std::llround(static_cast<double>(since) / spec.speed));
      } else {
        gaze.device_time_stamp = device_time_us(offset, drift, item_time);
      }
      dispatch(kStreamGaze, h, &gaze);
      p.next_row();
    } else if (item_due) {
      const Event& e = p.event;
      const int64_t device = device_time_us(offset, drift, item_time);
      switch (e.kind) {
        case kStreamExternalSignal: {
          velto_external_signal_data r{device, item_time, e.a, e.b};
          dispatch(kStreamExternalSignal, h, &r);
          break;
        }
        case kStreamStreamErrors: {
          velto_stream_error_data r{item_time, e.a, e.b, e.text.c_str()};
          dispatch(kStreamStreamErrors, h, &r);
          break;
        }
        case kStreamNotifications: {
          velto_notification r = e.notification;
          r.system_time_stamp = item_time;
          dispatch(kStreamNotifications, h, &r);
          break;
        }
        case kStreamEyeImages: {
          std::vector<uint8_t> gif;
          if (read_image(e.text, &gif) && !gif.empty()) {
            velto_eye_image r{};
            r.device_time_stamp = device;
            r.system_time_stamp = item_time;
            r.type = e.b;
            r.camera_id = e.a;
            r.image_size = gif.size();
            r.image_data = gif.data();
            dispatch(kStreamEyeImages, h, &r);
          }
          break;
        }
        default: break;
      }
      p.next_event();
    }
    lock.lock();
  }
  g->exited = true;
  if (s.callback_waiters > 0) s.callbacks_cv.notify_all();
}

}  // namespace velto_sim
