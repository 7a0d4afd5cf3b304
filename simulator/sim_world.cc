// The default world and the JSON description of a world (velto_sim_configure).
#include <cmath>
#include <cstdio>
#include <set>

#include "sim_internal.h"
#include "sim_json.h"
#include "sim_replay.h"

namespace velto_sim {
namespace {

constexpr size_t kMaxPropertyText = VELTO_PROPERTY_BUFFER_SIZE - 1;
constexpr size_t kMaxModeText = VELTO_MODE_NAME_SIZE - 1;
constexpr int64_t kMaxClockOffsetUs = 1000000000000000LL;  // about 31 years

// What depends on a tracker's position in the world (0-based), the same in
// the default world and a configured one: odd positions (1st, 3rd, ...) run
// their device clock 25 000 us ahead (+7 919 us per pair) with +12 ppm drift,
// even ones 7 120 us behind (-7 919 us per pair) with -8 ppm; every tracker
// gets the same calibration bias and noise; the random sequences differ.
void apply_position_defaults(size_t index, Tracker* tr) {
  const int64_t pair = static_cast<int64_t>(index / 2);
  if (index % 2 == 0) {
    tr->clock_offset_us = 25000 + 7919 * pair;
    tr->clock_drift_ppm = 12.0;
    tr->noise_seed = 12345u + 977u * static_cast<uint32_t>(pair);
  } else {
    tr->clock_offset_us = -7120 - 7919 * pair;
    tr->clock_drift_ppm = -8.0;
    tr->noise_seed = 54321u + 977u * static_cast<uint32_t>(pair);
  }
  tr->calibration_bias_left = velto_point2{-0.006f, 0.004f};
  tr->calibration_bias_right = velto_point2{0.005f, 0.003f};
  tr->calibration_noise = 0.008f;
}

velto_point3 p3(float x, float y, float z) { return velto_point3{x, y, z}; }

// A refusal while reading the JSON world; carries the reason.
struct Refusal {
  std::string reason;
};

[[noreturn]] void refuse(const std::string& reason) { throw Refusal{reason}; }

void check_keys(const JsonValue& object, const std::set<std::string>& allowed,
                const std::string& where) {
  if (object.type != JsonType::kObject) refuse(where + " must be an object");
  for (const auto& member : object.members) {
    if (allowed.count(member.first) == 0) refuse("unknown key \"" + member.first + "\" in " + where);
  }
}

std::string read_text(const JsonValue& object, const char* key, const std::string& fallback,
                      size_t max_length, const std::string& where) {
  const JsonValue* v = json_member(object, key);
  if (v == nullptr) return fallback;
  if (v->type != JsonType::kString) refuse(std::string(key) + " of " + where + " must be a string");
  const std::string& text = v->text;
  if (text.size() > max_length) {
    refuse(std::string(key) + " of " + where + " is longer than " + std::to_string(max_length) +
           " bytes");
  }
  if (text.find('\0') != std::string::npos) refuse(std::string(key) + " of " + where + " holds a NUL");
  return text;
}

float read_float(const JsonValue& v, const std::string& what) {
  if (v.type != JsonType::kNumber) refuse(what + " must be a number");
  const float f = static_cast<float>(v.number);
  if (!std::isfinite(f)) refuse(what + " does not fit a 32-bit float");
  return f;
}

velto_point3 read_point(const JsonValue& v, const std::string& what) {
  if (v.type != JsonType::kArray || v.items.size() != 3) refuse(what + " must be an array of three numbers");
  return p3(read_float(v.items[0], what), read_float(v.items[1], what), read_float(v.items[2], what));
}

int32_t read_int32(const JsonValue& v, const std::string& what) {
  if (v.type != JsonType::kNumber || !v.integral) refuse(what + " must be an integer");
  if (!v.fits_int64 || v.integer < INT32_MIN || v.integer > INT32_MAX) {
    refuse(what + " does not fit 32 bits");
  }
  return static_cast<int32_t>(v.integer);
}

velto_version read_version(const JsonValue& v, const char* what) {
  if (v.type != JsonType::kArray || v.items.size() != 4) {
    refuse(std::string(what) + " must be an array of four integers");
  }
  int32_t parts[4];
  for (int i = 0; i < 4; ++i) parts[i] = read_int32(v.items[i], std::string("a part of ") + what);
  return velto_version{parts[0], parts[1], parts[2], parts[3]};
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The corners of the display area and the track box a world may set, by key.
template <typename Geometry>
struct Corner {
  const char* key;
  velto_point3 Geometry::*member;
};
const Corner<velto_display_area> kDisplayCorners[] = {
    {"bottom_left", &velto_display_area::bottom_left},
    {"bottom_right", &velto_display_area::bottom_right},
    {"top_left", &velto_display_area::top_left},
    {"top_right", &velto_display_area::top_right},
};
const Corner<velto_track_box> kBoxCorners[] = {
    {"back_lower_left", &velto_track_box::back_lower_left},
    {"back_lower_right", &velto_track_box::back_lower_right},
    {"back_upper_left", &velto_track_box::back_upper_left},
    {"back_upper_right", &velto_track_box::back_upper_right},
    {"front_lower_left", &velto_track_box::front_lower_left},
    {"front_lower_right", &velto_track_box::front_lower_right},
    {"front_upper_left", &velto_track_box::front_upper_left},
    {"front_upper_right", &velto_track_box::front_upper_right},
};

velto_point2 read_offset(const JsonValue& v, const std::string& what) {
  if (v.type != JsonType::kArray || v.items.size() != 2) refuse(what + " must be an array of two numbers");
  const float x = read_float(v.items[0], what);
  const float y = read_float(v.items[1], what);
  if (std::fabs(x) > 1 || std::fabs(y) > 1) refuse(what + " must lie within -1..1");
  return velto_point2{x, y};
}

// Device clock and calibration keys of a tracker; each absent key keeps the
// default of the tracker's position.
void read_clock_and_calibration(const JsonValue& t, const std::string& where, Tracker* tr) {
  if (const JsonValue* v = json_member(t, "clock_offset_us")) {
    if (v->type != JsonType::kNumber || !v->integral || !v->fits_int64 ||
        v->integer < -kMaxClockOffsetUs || v->integer > kMaxClockOffsetUs) {
      refuse("clock_offset_us of " + where + " must be an integer within +-10^15");
    }
    tr->clock_offset_us = v->integer;
  }
  if (const JsonValue* v = json_member(t, "clock_drift_ppm")) {
    if (v->type != JsonType::kNumber || !std::isfinite(v->number) || std::fabs(v->number) > 1e5) {
      refuse("clock_drift_ppm of " + where + " must be a number within +-100000");
    }
    tr->clock_drift_ppm = v->number;
  }
  if (const JsonValue* b = json_member(t, "calibration_bias")) {
    const std::string w = "calibration_bias of " + where;
    check_keys(*b, {"left", "right"}, w);
    if (const JsonValue* v = json_member(*b, "left")) tr->calibration_bias_left = read_offset(*v, w);
    if (const JsonValue* v = json_member(*b, "right")) tr->calibration_bias_right = read_offset(*v, w);
  }
  if (const JsonValue* v = json_member(t, "calibration_noise")) {
    const float noise = read_float(*v, "calibration_noise of " + where);
    if (!(noise >= 0 && noise <= 1)) refuse("calibration_noise of " + where + " must lie within 0..1");
    tr->calibration_noise = noise;
  }
}

Tracker read_tracker(const JsonValue& t, size_t index) {
  const std::string where = "trackers[" + std::to_string(index) + "]";
  check_keys(t,
             {"address", "device_name", "serial_number", "model", "firmware_version",
              "capabilities", "gaze_output_frequencies", "gaze_output_frequency",
              "eye_tracking_modes", "eye_tracking_mode", "display_area", "track_box",
              "clock_offset_us", "clock_drift_ppm", "calibration_bias", "calibration_noise",
              "calibration_data", "replay"},
             where);
  const std::string n = std::to_string(index + 1);
  Tracker tr;
  tr.handle = 0;  // assigned when the world is installed
  tr.address = read_text(t, "address", "velto-sim://tracker-" + n, kMaxPropertyText, where);
  tr.device_name = read_text(t, "device_name", "Simulated Tracker " + n, kMaxPropertyText, where);
  tr.serial_number = read_text(t, "serial_number", "SIM-000" + n, kMaxPropertyText, where);
  tr.model = read_text(t, "model", "Velto Sim", kMaxPropertyText, where);
  tr.firmware_version = read_text(t, "firmware_version", "1.0.0", kMaxPropertyText, where);
  if (tr.address.empty()) refuse("address of " + where + " is empty");

  tr.capabilities = VELTO_CAPABILITY_CAN_SET_DISPLAY_AREA | VELTO_CAPABILITY_HAS_EXTERNAL_SIGNAL |
                    VELTO_CAPABILITY_HAS_EYE_IMAGES;
  if (const JsonValue* v = json_member(t, "capabilities")) {
    tr.capabilities = read_int32(*v, "capabilities of " + where);
  }

  tr.frequencies = {60.0f};
  if (const JsonValue* v = json_member(t, "gaze_output_frequencies")) {
    if (v->type != JsonType::kArray || v->items.empty()) {
      refuse("gaze_output_frequencies of " + where + " must be a non-empty array");
    }
    tr.frequencies.clear();
    for (const JsonValue& f : v->items) {
      float value = read_float(f, "gaze_output_frequencies of " + where);
      if (!(value > 0)) refuse("gaze_output_frequencies of " + where + " must be positive");
      tr.frequencies.push_back(value);
    }
  }
  tr.frequency = tr.frequencies[0];
  if (const JsonValue* v = json_member(t, "gaze_output_frequency")) {
    float value = read_float(*v, "gaze_output_frequency of " + where);
    bool listed = false;
    for (float f : tr.frequencies) listed = listed || f == value;
    if (!listed) refuse("gaze_output_frequency of " + where + " is not among its frequencies");
    tr.frequency = value;
  }

  tr.modes = {"Default"};
  if (const JsonValue* v = json_member(t, "eye_tracking_modes")) {
    if (v->type != JsonType::kArray || v->items.empty()) {
      refuse("eye_tracking_modes of " + where + " must be a non-empty array");
    }
    tr.modes.clear();
    for (const JsonValue& m : v->items) {
      if (m.type != JsonType::kString) refuse("eye_tracking_modes of " + where + " must hold strings");
      const std::string& mode = m.text;
      if (mode.empty() || mode.size() > kMaxModeText || mode.find('\0') != std::string::npos) {
        refuse("an eye tracking mode of " + where + " is empty, holds a NUL or is longer than 63 bytes");
      }
      tr.modes.push_back(mode);
    }
  }
  tr.mode = tr.modes[0];
  if (json_member(t, "eye_tracking_mode") != nullptr) {
    std::string mode = read_text(t, "eye_tracking_mode", "", kMaxModeText, where);
    bool listed = false;
    for (const std::string& m : tr.modes) listed = listed || m == mode;
    if (!listed) refuse("eye_tracking_mode of " + where + " is not among its modes");
    tr.mode = mode;
  }

  tr.display_area = default_display_area();
  if (const JsonValue* d = json_member(t, "display_area")) {
    const std::string w = "display_area of " + where;
    check_keys(*d, {"bottom_left", "bottom_right", "top_left", "top_right", "height", "width"}, w);
    velto_display_area& a = tr.display_area;
    for (const auto& c : kDisplayCorners) {
      if (const JsonValue* v = json_member(*d, c.key)) a.*c.member = read_point(*v, w);
    }
    if (const JsonValue* v = json_member(*d, "height")) a.height = read_float(*v, w);
    if (const JsonValue* v = json_member(*d, "width")) a.width = read_float(*v, w);
  }

  tr.track_box = default_track_box();
  if (const JsonValue* b = json_member(t, "track_box")) {
    const std::string w = "track_box of " + where;
    std::set<std::string> keys;
    for (const auto& c : kBoxCorners) keys.insert(c.key);
    check_keys(*b, keys, w);
    for (const auto& c : kBoxCorners) {
      if (const JsonValue* v = json_member(*b, c.key)) tr.track_box.*c.member = read_point(*v, w);
    }
  }

  if (const JsonValue* v = json_member(t, "calibration_data")) {
    if (v->type != JsonType::kString) refuse("calibration_data of " + where + " must be a hex string");
    const std::string& hex = v->text;
    if (hex.size() % 2 != 0) refuse("calibration_data of " + where + " has an odd number of digits");
    for (size_t i = 0; i < hex.size(); i += 2) {
      int hi = hex_digit(hex[i]);
      int lo = hex_digit(hex[i + 1]);
      if (hi < 0 || lo < 0) refuse("calibration_data of " + where + " is not hex");
      tr.calibration_data.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
  }
  apply_position_defaults(index, &tr);
  read_clock_and_calibration(t, where, &tr);
  if (const JsonValue* replay = json_member(t, "replay")) {
    std::string why;
    if (!replay_apply(t, *replay, &tr, &why)) refuse("replay of " + where + ": " + why);
  }
  return tr;
}

}  // namespace

velto_display_area default_display_area() {
  // A 24-inch 16:9 screen (531.3 mm x 298.9 mm), upright, centred above the
  // tracker 15 mm over its top edge, in the user coordinate system
  // (millimetres, origin at the tracker, x to the user's right, y up, z
  // towards the user).
  velto_display_area a;
  a.bottom_left = p3(-265.65f, 15.0f, 0.0f);
  a.bottom_right = p3(265.65f, 15.0f, 0.0f);
  a.top_left = p3(-265.65f, 313.9f, 0.0f);
  a.top_right = p3(265.65f, 313.9f, 0.0f);
  a.height = 298.9f;
  a.width = 531.3f;
  return a;
}

velto_track_box default_track_box() {
  // A frustum 450..750 mm in front of the tracker, widening with distance.
  velto_track_box b;
  b.front_lower_left = p3(-150.0f, 50.0f, 450.0f);
  b.front_lower_right = p3(150.0f, 50.0f, 450.0f);
  b.front_upper_left = p3(-150.0f, 290.0f, 450.0f);
  b.front_upper_right = p3(150.0f, 290.0f, 450.0f);
  b.back_lower_left = p3(-210.0f, 20.0f, 750.0f);
  b.back_lower_right = p3(210.0f, 20.0f, 750.0f);
  b.back_upper_left = p3(-210.0f, 320.0f, 750.0f);
  b.back_upper_right = p3(210.0f, 320.0f, 750.0f);
  return b;
}

World default_world() {
  World w;
  w.sdk_version = velto_version{1, 9, 2, 1187};
  w.kelmo_version = velto_version{3, 1, 0, 12};
  w.generate = true;

  Tracker a;
  a.handle = next_handle();
  a.address = "velto-tcp://192.168.71.20";
  a.device_name = "Velto Lab A";
  a.serial_number = "VS5-2041-0187";
  a.model = "Velto Spectra 5";
  a.firmware_version = "2.14.1";
  a.capabilities = VELTO_CAPABILITY_CAN_SET_DISPLAY_AREA | VELTO_CAPABILITY_HAS_EXTERNAL_SIGNAL |
                   VELTO_CAPABILITY_HAS_EYE_IMAGES;
  a.frequencies = {23.976f, 30.0f, 60.0f, 120.0f, 250.0f, 600.0f, 1200.0f};
  a.frequency = 60.0f;
  a.modes = {"Default", "Human", "Infant", "Bright light", "Monkey"};
  a.mode = "Default";
  a.display_area = default_display_area();
  a.track_box = default_track_box();
  apply_position_defaults(0, &a);

  Tracker b;
  b.handle = next_handle();
  b.address = "velto-usb://VN2-0038-0921";
  b.device_name = "Velto Nano";
  b.serial_number = "VN2-0038-0921";
  b.model = "Velto Nano 2";
  b.firmware_version = "1.7.0";
  b.capabilities = 0;
  b.frequencies = {30.0f, 60.0f};
  b.frequency = 30.0f;
  b.modes = {"Default", "Human"};
  b.mode = "Default";
  b.display_area = default_display_area();
  b.track_box = default_track_box();
  apply_position_defaults(1, &b);

  w.trackers.push_back(a);
  w.trackers.push_back(b);
  return w;
}

bool world_from_json(const char* text, World* out, std::string* error) {
  if (text == nullptr) {
    *error = "the world text is null";
    return false;
  }
  JsonValue doc;
  std::string where;
  if (!json_parse(text, &doc, &where)) {
    *error = "malformed JSON: " + where;
    return false;
  }
  try {
    check_keys(doc, {"sdk_version", "kelmo_version", "generate", "trackers"}, "the world");
    World defaults = default_world();
    World w;
    const JsonValue* sdk = json_member(doc, "sdk_version");
    w.sdk_version = sdk ? read_version(*sdk, "sdk_version") : defaults.sdk_version;
    const JsonValue* kelmo = json_member(doc, "kelmo_version");
    w.kelmo_version = kelmo ? read_version(*kelmo, "kelmo_version") : defaults.kelmo_version;
    w.generate = true;
    if (const JsonValue* generate = json_member(doc, "generate")) {
      if (generate->type != JsonType::kBool) refuse("generate must be true or false");
      w.generate = generate->boolean;
    }
    if (const JsonValue* list = json_member(doc, "trackers")) {
      if (list->type != JsonType::kArray) refuse("trackers must be an array");
      std::set<std::string> addresses;
      for (size_t i = 0; i < list->items.size(); ++i) {
        Tracker t = read_tracker(list->items[i], i);
        if (!addresses.insert(t.address).second) refuse("two trackers share the address " + t.address);
        w.trackers.push_back(t);
      }
    } else {
      w.trackers = defaults.trackers;
    }
    // Fresh handles for every tracker of the new world.
    for (Tracker& t : w.trackers) t.handle = next_handle();
    *out = w;
    return true;
  } catch (const Refusal& r) {
    *error = r.reason;
    return false;
  } catch (const std::exception& e) {  // out of memory: refused, not thrown into C
    *error = e.what();
    return false;
  }
}

}  // namespace velto_sim
