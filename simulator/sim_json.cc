// The simulator's JSON reader (recursive descent over the text) and writer.
//
// Numbers go through std::from_chars / std::to_chars: exact, shortest on
// output, and independent of the process locale (a host program that sets
// LC_NUMERIC to a locale with a decimal comma must not change the world the
// simulator reads or the log it writes).
#include "sim_json.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace velto_sim {
namespace {

constexpr int kMaxDepth = 200;

// Length of the well-formed UTF-8 sequence at `p` (at most `available`
// bytes), or 0 when the bytes there are not UTF-8 (overlong forms,
// surrogates and code points above U+10FFFF included).
size_t utf8_length(const unsigned char* p, size_t available) {
  const unsigned char b = p[0];
  if (b < 0x80) return 1;
  size_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (available < n || p[1] < lo || p[1] > hi) return 0;
  for (size_t i = 2; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
  }
  return n;
}

void append_utf8(std::string* out, uint32_t code) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The parser's position and the first error met. Every step returns false
// on refusal after recording where and why.
struct Parser {
  const char* begin;
  const char* p;
  const char* end;
  std::string error;

  bool fail(const std::string& what) {
    int line = 1, column = 1;
    for (const char* q = begin; q < p; ++q) {
      if (*q == '\n') {
        ++line;
        column = 1;
      } else {
        ++column;
      }
    }
    error = "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + what;
    return false;
  }

  void skip_space() {
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) ++p;
  }

  bool expect_word(const char* word) {
    const size_t n = std::strlen(word);
    if (static_cast<size_t>(end - p) < n || std::memcmp(p, word, n) != 0) {
      return fail("unexpected character");
    }
    p += n;
    return true;
  }

  bool hex4(uint32_t* out) {
    *out = 0;
    for (int i = 0; i < 4; ++i, ++p) {
      if (p >= end) return fail("unexpected end of text in a \\u escape");
      const char c = *p;
      int digit = c >= '0' && c <= '9'   ? c - '0'
                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                         : -1;
      if (digit < 0) return fail("a \\u escape needs four hex digits");
      *out = *out * 16 + static_cast<uint32_t>(digit);
    }
    return true;
  }

  bool string(std::string* out) {
    ++p;  // the opening quote
    out->clear();
    for (;;) {
      if (p >= end) return fail("unterminated string");
      const unsigned char c = static_cast<unsigned char>(*p);
      if (c == '"') {
        ++p;
        return true;
      }
      if (c < 0x20) return fail("control character in a string (escape it)");
      if (c != '\\') {
        const size_t n = utf8_length(reinterpret_cast<const unsigned char*>(p), end - p);
        if (n == 0) return fail("a string is not UTF-8");
        out->append(p, n);
        p += n;
        continue;
      }
      ++p;
      if (p >= end) return fail("unterminated string");
      const char e = *p++;
      switch (e) {
        case '"': out->push_back('"'); break;
        case '\\': out->push_back('\\'); break;
        case '/': out->push_back('/'); break;
        case 'b': out->push_back('\b'); break;
        case 'f': out->push_back('\f'); break;
        case 'n': out->push_back('\n'); break;
        case 'r': out->push_back('\r'); break;
        case 't': out->push_back('\t'); break;
        case 'u': {
          uint32_t code;
          if (!hex4(&code)) return false;
          if (code >= 0xDC00 && code <= 0xDFFF) return fail("lone low surrogate in a \\u escape");
          if (code >= 0xD800 && code <= 0xDBFF) {
            // A high surrogate must be followed by an escaped low one.
            if (end - p < 2 || p[0] != '\\' || p[1] != 'u') {
              return fail("lone high surrogate in a \\u escape");
            }
            p += 2;
            uint32_t low;
            if (!hex4(&low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) return fail("lone high surrogate in a \\u escape");
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          }
          append_utf8(out, code);
          break;
        }
        default:
          --p;
          return fail("invalid escape in a string");
      }
    }
  }

  bool number(JsonValue* out) {
    const char* start = p;
    if (p < end && *p == '-') ++p;
    if (p >= end || !is_digit(*p)) return fail("invalid number");
    if (*p == '0') {
      ++p;
      if (p < end && is_digit(*p)) return fail("leading zero in a number");
    } else {
      while (p < end && is_digit(*p)) ++p;
    }
    const char* digits_end = p;
    bool integral = true;
    if (p < end && *p == '.') {
      integral = false;
      ++p;
      if (p >= end || !is_digit(*p)) return fail("a digit must follow the decimal point");
      while (p < end && is_digit(*p)) ++p;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
      integral = false;
      ++p;
      if (p < end && (*p == '+' || *p == '-')) ++p;
      if (p >= end || !is_digit(*p)) return fail("a digit must follow the exponent");
      while (p < end && is_digit(*p)) ++p;
    }
    out->type = JsonType::kNumber;
    const auto parsed = std::from_chars(start, p, out->number);
    if (parsed.ec != std::errc() || !std::isfinite(out->number)) {
      p = start;
      return fail("number out of range");
    }
    out->integral = integral;
    if (integral) {
      // The exact value when it fits int64 (the double may have rounded it).
      const bool negative = *start == '-';
      uint64_t magnitude = 0;
      bool overflow = false;
      for (const char* d = start + (negative ? 1 : 0); d < digits_end; ++d) {
        const uint64_t digit = static_cast<uint64_t>(*d - '0');
        if (magnitude > (UINT64_MAX - digit) / 10) overflow = true;
        magnitude = magnitude * 10 + digit;
      }
      const uint64_t limit = negative ? uint64_t{1} << 63 : static_cast<uint64_t>(INT64_MAX);
      out->fits_int64 = !overflow && magnitude <= limit;
      if (out->fits_int64) {
        out->integer = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
      }
    }
    return true;
  }

  bool value(JsonValue* out, int depth) {
    skip_space();
    if (p >= end) return fail("unexpected end of text");
    switch (*p) {
      case '{':
      case '[':
        if (depth >= kMaxDepth) return fail("nested deeper than " + std::to_string(kMaxDepth) + " levels");
        return *p == '{' ? object(out, depth + 1) : array(out, depth + 1);
      case '"':
        out->type = JsonType::kString;
        return string(&out->text);
      case 't':
        out->type = JsonType::kBool;
        out->boolean = true;
        return expect_word("true");
      case 'f':
        out->type = JsonType::kBool;
        out->boolean = false;
        return expect_word("false");
      case 'n':
        out->type = JsonType::kNull;
        return expect_word("null");
      default:
        if (*p == '-' || is_digit(*p)) return number(out);
        return fail("unexpected character");
    }
  }

  // Consumes `c` (after white space) when it comes next.
  bool take(char c) {
    skip_space();
    if (p < end && *p == c) {
      ++p;
      return true;
    }
    return false;
  }

  // After an item of an array or object: a comma (more items follow, true)
  // or the closing bracket (`*closed`, true); anything else is refused.
  bool after_item(char close, bool* closed) {
    *closed = take(close);
    if (*closed || take(',')) return true;
    return fail(p < end ? std::string("expected ',' or '") + close + "'" : "unexpected end of text");
  }

  bool array(JsonValue* out, int depth) {
    out->type = JsonType::kArray;
    ++p;
    bool closed = take(']');
    while (!closed) {
      out->items.emplace_back();
      if (!value(&out->items.back(), depth) || !after_item(']', &closed)) return false;
    }
    return true;
  }

  bool object(JsonValue* out, int depth) {
    out->type = JsonType::kObject;
    ++p;
    bool closed = take('}');
    while (!closed) {
      skip_space();
      if (p >= end || *p != '"') return fail(p < end ? "expected a key in quotes" : "unexpected end of text");
      const char* key_start = p;
      std::string key;
      if (!string(&key)) return false;
      if (json_member(*out, key) != nullptr) {
        p = key_start;
        return fail("duplicate key \"" + key + "\"");
      }
      if (!take(':')) return fail(p < end ? "expected ':'" : "unexpected end of text");
      out->members.emplace_back(std::move(key), JsonValue());
      if (!value(&out->members.back().second, depth) || !after_item('}', &closed)) return false;
    }
    return true;
  }
};

}  // namespace

bool json_parse(const char* text, JsonValue* out, std::string* error) {
  Parser parser{text, text, text + std::strlen(text), std::string()};
  *out = JsonValue();
  bool ok = parser.value(out, 0);
  if (ok) {
    parser.skip_space();
    if (parser.p != parser.end) ok = parser.fail("text after the value");
  }
  if (!ok) *error = parser.error;
  return ok;
}

const JsonValue* json_member(const JsonValue& object, const std::string& key) {
  if (object.type != JsonType::kObject) return nullptr;
  for (const auto& member : object.members) {
    if (member.first == key) return &member.second;
  }
  return nullptr;
}

std::string json_quote(const std::string& text) {
  std::string out = "\"";
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = bytes[i];
    if (c >= 0x80) {
      const size_t n = utf8_length(bytes + i, text.size() - i);
      if (n == 0) {
        out += "\xEF\xBF\xBD";  // U+FFFD REPLACEMENT CHARACTER
        ++i;
      } else {
        out.append(text, i, n);
        i += n;
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          static const char kHex[] = "0123456789abcdef";
          out += "\\u00";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 0xF]);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
    ++i;
  }
  out.push_back('"');
  return out;
}

std::string json_number(double value) {
  if (!std::isfinite(value)) return "null";
  char buffer[32];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string out(buffer, written.ptr);
  if (out.find_first_of(".e") == std::string::npos) out += ".0";
  return out;
}

}  // namespace velto_sim
