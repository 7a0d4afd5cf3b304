// Reading the files of a recording folder for replay (sim_replay_read.h):
// the gaze.csv header and rows, the events.jsonl lines.
#include "sim_replay_read.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <set>

namespace velto_sim {
namespace replay {
namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

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

velto_eye_data& eye_of(velto_gaze_data& g, int eye) { return eye == 0 ? g.left_eye : g.right_eye; }

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
}  // namespace

// ------------------------------------------------------------------ files

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

}  // namespace replay
}  // namespace velto_sim
