// A small strict JSON reader and writer, for exactly what the simulator
// needs: reading the world description of velto_sim_configure and writing
// the call log of velto_sim_calls. Free functions over a plain value record;
// no state, so every function may be called from any thread.
#ifndef VELTO_SIMULATOR_SIM_JSON_H_
#define VELTO_SIMULATOR_SIM_JSON_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace velto_sim {

enum class JsonType { kNull, kBool, kNumber, kString, kArray, kObject };

// One parsed JSON value. It owns its children; members keep the text's order.
struct JsonValue {
  JsonType type = JsonType::kNull;
  bool boolean = false;     // kBool
  double number = 0;        // kNumber: the nearest double
  bool integral = false;    // kNumber written without fraction or exponent
  bool fits_int64 = false;  // integral and within int64 range
  int64_t integer = 0;      // the exact value when fits_int64
  std::string text;         // kString: UTF-8, may hold NUL bytes (\u0000)
  std::vector<JsonValue> items;                           // kArray
  std::vector<std::pair<std::string, JsonValue>> members;  // kObject, keys unique
};

// Parses one whole JSON text (RFC 8259: UTF-8, no trailing commas, no
// comments, nothing after the value, nesting at most 200 deep, duplicate
// keys refused). Returns false with `error` set to "line L, column C: what"
// when the text is refused; `out` is then unspecified.
bool json_parse(const char* text, JsonValue* out, std::string* error);

// The member `key` of an object (null when absent or not an object); the
// pointer stays valid while `object` lives unchanged.
const JsonValue* json_member(const JsonValue& object, const std::string& key);

// `text` as a JSON string literal with quotes. Control characters, quote and
// backslash are escaped; bytes that are not UTF-8 become U+FFFD, so any input
// gives valid JSON.
std::string json_quote(const std::string& text);

// `value` as a JSON number: the shortest text that reads back as the same
// double, with ".0" on integral values ("30.0", "0.25", "1e+20"); "null" when
// not finite.
std::string json_number(double value);

}  // namespace velto_sim

#endif  // VELTO_SIMULATOR_SIM_JSON_H_
