// The default world and the JSON description of a world (velto_sim_configure).
#include <cmath>
#include <cstdio>
#include <set>

#include <nlohmann/json.hpp>

#include "sim_internal.h"

namespace velto_sim {
namespace {

using nlohmann::json;

constexpr size_t kMaxPropertyText = VELTO_PROPERTY_BUFFER_SIZE - 1;
constexpr size_t kMaxModeText = VELTO_MODE_NAME_SIZE - 1;

velto_point3 p3(float x, float y, float z) { return velto_point3{x, y, z}; }

// A refusal while reading the JSON world; carries the reason.
struct Refusal {
  std::string reason;
};

[[noreturn]] void refuse(const std::string& reason) { throw Refusal{reason}; }

void check_keys(const json& object, const std::set<std::string>& allowed, const std::string& where) {
  if (!object.is_object()) refuse(where + " must be an object");
  for (auto it = object.begin(); it != object.end(); ++it) {
    if (allowed.count(it.key()) == 0) refuse("unknown key \"" + it.key() + "\" in " + where);
  }
}

std::string read_text(const json& object, const char* key, const std::string& fallback,
                      size_t max_length, const std::string& where) {
  if (!object.contains(key)) return fallback;
  const json& v = object[key];
  if (!v.is_string()) refuse(std::string(key) + " of " + where + " must be a string");
  std::string text = v.get<std::string>();
  if (text.size() > max_length) {
    refuse(std::string(key) + " of " + where + " is longer than " + std::to_string(max_length) +
           " bytes");
  }
  if (text.find('\0') != std::string::npos) refuse(std::string(key) + " of " + where + " holds a NUL");
  return text;
}

float read_float(const json& v, const std::string& what) {
  if (!v.is_number()) refuse(what + " must be a number");
  double d = v.get<double>();
  if (!std::isfinite(d)) refuse(what + " must be finite");
  return static_cast<float>(d);
}

velto_point3 read_point(const json& v, const std::string& what) {
  if (!v.is_array() || v.size() != 3) refuse(what + " must be an array of three numbers");
  return p3(read_float(v[0], what), read_float(v[1], what), read_float(v[2], what));
}

int32_t read_int32(const json& v, const std::string& what) {
  if (!v.is_number_integer()) refuse(what + " must be an integer");
  if (v.is_number_unsigned() ? v.get<uint64_t>() > static_cast<uint64_t>(INT32_MAX)
                             : (v.get<int64_t>() < INT32_MIN || v.get<int64_t>() > INT32_MAX)) {
    refuse(what + " does not fit 32 bits");
  }
  return static_cast<int32_t>(v.get<int64_t>());
}

velto_version read_version(const json& v, const char* what) {
  if (!v.is_array() || v.size() != 4) refuse(std::string(what) + " must be an array of four integers");
  int32_t parts[4];
  for (int i = 0; i < 4; ++i) parts[i] = read_int32(v[i], std::string("a part of ") + what);
  return velto_version{parts[0], parts[1], parts[2], parts[3]};
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

Tracker read_tracker(const json& t, size_t index) {
  const std::string where = "trackers[" + std::to_string(index) + "]";
  check_keys(t,
             {"address", "device_name", "serial_number", "model", "firmware_version",
              "capabilities", "gaze_output_frequencies", "gaze_output_frequency",
              "eye_tracking_modes", "eye_tracking_mode", "display_area", "track_box",
              "calibration_data"},
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
  if (t.contains("capabilities")) tr.capabilities = read_int32(t["capabilities"], "capabilities of " + where);

  tr.frequencies = {60.0f};
  if (t.contains("gaze_output_frequencies")) {
    const json& v = t["gaze_output_frequencies"];
    if (!v.is_array() || v.empty()) refuse("gaze_output_frequencies of " + where + " must be a non-empty array");
    tr.frequencies.clear();
    for (const json& f : v) {
      float value = read_float(f, "gaze_output_frequencies of " + where);
      if (!(value > 0)) refuse("gaze_output_frequencies of " + where + " must be positive");
      tr.frequencies.push_back(value);
    }
  }
  tr.frequency = tr.frequencies[0];
  if (t.contains("gaze_output_frequency")) {
    float value = read_float(t["gaze_output_frequency"], "gaze_output_frequency of " + where);
    bool listed = false;
    for (float f : tr.frequencies) listed = listed || f == value;
    if (!listed) refuse("gaze_output_frequency of " + where + " is not among its frequencies");
    tr.frequency = value;
  }

  tr.modes = {"Default"};
  if (t.contains("eye_tracking_modes")) {
    const json& v = t["eye_tracking_modes"];
    if (!v.is_array() || v.empty()) refuse("eye_tracking_modes of " + where + " must be a non-empty array");
    tr.modes.clear();
    for (const json& m : v) {
      if (!m.is_string()) refuse("eye_tracking_modes of " + where + " must hold strings");
      std::string mode = m.get<std::string>();
      if (mode.empty() || mode.size() > kMaxModeText || mode.find('\0') != std::string::npos) {
        refuse("an eye tracking mode of " + where + " is empty, holds a NUL or is longer than 63 bytes");
      }
      tr.modes.push_back(mode);
    }
  }
  tr.mode = tr.modes[0];
  if (t.contains("eye_tracking_mode")) {
    std::string mode = read_text(t, "eye_tracking_mode", "", kMaxModeText, where);
    bool listed = false;
    for (const std::string& m : tr.modes) listed = listed || m == mode;
    if (!listed) refuse("eye_tracking_mode of " + where + " is not among its modes");
    tr.mode = mode;
  }

  tr.display_area = default_display_area();
  if (t.contains("display_area")) {
    const json& d = t["display_area"];
    const std::string w = "display_area of " + where;
    check_keys(d, {"bottom_left", "bottom_right", "top_left", "top_right", "height", "width"}, w);
    velto_display_area& a = tr.display_area;
    if (d.contains("bottom_left")) a.bottom_left = read_point(d["bottom_left"], w);
    if (d.contains("bottom_right")) a.bottom_right = read_point(d["bottom_right"], w);
    if (d.contains("top_left")) a.top_left = read_point(d["top_left"], w);
    if (d.contains("top_right")) a.top_right = read_point(d["top_right"], w);
    if (d.contains("height")) a.height = read_float(d["height"], w);
    if (d.contains("width")) a.width = read_float(d["width"], w);
  }

  tr.track_box = default_track_box();
  if (t.contains("track_box")) {
    const json& b = t["track_box"];
    const std::string w = "track_box of " + where;
    check_keys(b,
               {"back_lower_left", "back_lower_right", "back_upper_left", "back_upper_right",
                "front_lower_left", "front_lower_right", "front_upper_left", "front_upper_right"},
               w);
    velto_track_box& x = tr.track_box;
    if (b.contains("back_lower_left")) x.back_lower_left = read_point(b["back_lower_left"], w);
    if (b.contains("back_lower_right")) x.back_lower_right = read_point(b["back_lower_right"], w);
    if (b.contains("back_upper_left")) x.back_upper_left = read_point(b["back_upper_left"], w);
    if (b.contains("back_upper_right")) x.back_upper_right = read_point(b["back_upper_right"], w);
    if (b.contains("front_lower_left")) x.front_lower_left = read_point(b["front_lower_left"], w);
    if (b.contains("front_lower_right")) x.front_lower_right = read_point(b["front_lower_right"], w);
    if (b.contains("front_upper_left")) x.front_upper_left = read_point(b["front_upper_left"], w);
    if (b.contains("front_upper_right")) x.front_upper_right = read_point(b["front_upper_right"], w);
  }

  if (t.contains("calibration_data")) {
    const json& v = t["calibration_data"];
    if (!v.is_string()) refuse("calibration_data of " + where + " must be a hex string");
    std::string hex = v.get<std::string>();
    if (hex.size() % 2 != 0) refuse("calibration_data of " + where + " has an odd number of digits");
    for (size_t i = 0; i < hex.size(); i += 2) {
      int hi = hex_digit(hex[i]);
      int lo = hex_digit(hex[i + 1]);
      if (hi < 0 || lo < 0) refuse("calibration_data of " + where + " is not hex");
      tr.calibration_data.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
  }
  tr.clock_offset_us = 25000 + 7919 * static_cast<int64_t>(index);
  tr.clock_drift_ppm = (index % 2 == 0) ? 12.0 : -8.0;
  tr.noise_seed = 12345u + 977u * static_cast<uint32_t>(index);
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
  a.frequencies = {23.976f, 30.0f, 60.0f, 120.0f, 250.0f, 600.0f};
  a.frequency = 60.0f;
  a.modes = {"Default", "Human", "Infant", "Bright light", "Monkey"};
  a.mode = "Default";
  a.display_area = default_display_area();
  a.track_box = default_track_box();
  a.clock_offset_us = 25000;
  a.clock_drift_ppm = 12.0;
  a.noise_seed = 12345u;

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
  b.clock_offset_us = -7120;
  b.clock_drift_ppm = -8.0;
  b.noise_seed = 54321u;

  w.trackers.push_back(a);
  w.trackers.push_back(b);
  return w;
}

bool world_from_json(const char* text, World* out, std::string* error) {
  if (text == nullptr) {
    *error = "the world text is null";
    return false;
  }
  json doc = json::parse(text, nullptr, false);
  if (doc.is_discarded()) {
    *error = "malformed JSON";
    return false;
  }
  try {
    check_keys(doc, {"sdk_version", "kelmo_version", "generate", "trackers"}, "the world");
    World defaults = default_world();
    World w;
    w.sdk_version = doc.contains("sdk_version") ? read_version(doc["sdk_version"], "sdk_version")
                                                : defaults.sdk_version;
    w.kelmo_version = doc.contains("kelmo_version")
                          ? read_version(doc["kelmo_version"], "kelmo_version")
                          : defaults.kelmo_version;
    w.generate = true;
    if (doc.contains("generate")) {
      if (!doc["generate"].is_boolean()) refuse("generate must be true or false");
      w.generate = doc["generate"].get<bool>();
    }
    if (doc.contains("trackers")) {
      const json& list = doc["trackers"];
      if (!list.is_array()) refuse("trackers must be an array");
      std::set<std::string> addresses;
      for (size_t i = 0; i < list.size(); ++i) {
        Tracker t = read_tracker(list[i], i);
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
  } catch (const std::exception& e) {
    *error = e.what();
    return false;
  }
}

}  // namespace velto_sim
