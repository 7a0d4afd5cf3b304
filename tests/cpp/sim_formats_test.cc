// The simulator's own formats: the JSON reader and writer (world description,
// call log) and the GIF encoder of the eye images, checked against giflib's
// decoder (test_support).
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim_gif.h"
#include "sim_json.h"
#include "test_support.h"

namespace {

using velto_sim::JsonType;
using velto_sim::JsonValue;

JsonValue parse_ok(const std::string& text) {
  JsonValue v;
  std::string error;
  EXPECT_TRUE(velto_sim::json_parse(text.c_str(), &v, &error)) << text << ": " << error;
  return v;
}

TEST(SimJsonTest, ReadsEscapesNumbersAndNesting) {
  const JsonValue v = parse_ok(
      " {\"s\": \"q\\\" b\\\\ s\\/ \\b\\f\\n\\r\\t \\u00e9 \\ud83d\\ude00 \\u0000 \xc3\xa9\",\n"
      "  \"n\": [0, -0, -12, 1.5e3, 2E-2, 1.0, 9223372036854775807, -9223372036854775808,\n"
      "         9223372036854775808, 18446744073709551616],\n"
      "  \"deep\": [[[{\"a\": [{}, [], true, false, null]}]]], \"z\": 1}\r\n");
  ASSERT_EQ(v.type, JsonType::kObject);
  ASSERT_EQ(v.members.size(), 4u);
  EXPECT_EQ(v.members[3].first, "z");  // text order kept
  EXPECT_EQ(velto_sim::json_member(v, "s")->text,
            std::string("q\" b\\ s/ \b\f\n\r\t \xc3\xa9 \xf0\x9f\x98\x80 ") + std::string(1, '\0') +
                " \xc3\xa9");

  const auto& n = velto_sim::json_member(v, "n")->items;
  ASSERT_EQ(n.size(), 10u);
  EXPECT_TRUE(n[2].integral && n[2].fits_int64);
  EXPECT_EQ(n[2].integer, -12);
  EXPECT_EQ(n[3].number, 1500.0);
  EXPECT_FALSE(n[3].integral);
  EXPECT_EQ(n[4].number, 0.02);
  EXPECT_FALSE(n[5].integral);  // 1.0 is written as a fraction
  EXPECT_EQ(n[6].integer, INT64_MAX);
  EXPECT_EQ(n[7].integer, INT64_MIN);
  EXPECT_TRUE(n[8].integral);
  EXPECT_FALSE(n[8].fits_int64);
  EXPECT_FALSE(n[9].fits_int64);
  EXPECT_EQ(n[9].number, 18446744073709551616.0);

  const JsonValue* deep = velto_sim::json_member(v, "deep");
  const JsonValue& inner = deep->items[0].items[0].items[0];
  ASSERT_EQ(inner.type, JsonType::kObject);
  const auto& list = velto_sim::json_member(inner, "a")->items;
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[0].type, JsonType::kObject);
  EXPECT_EQ(list[1].type, JsonType::kArray);
  EXPECT_TRUE(list[2].boolean);
  EXPECT_EQ(list[3].type, JsonType::kBool);
  EXPECT_EQ(list[4].type, JsonType::kNull);
  EXPECT_EQ(velto_sim::json_member(inner, "missing"), nullptr);
}

TEST(SimJsonTest, RefusesMalformedTextSayingWhereAndWhy) {
  const struct {
    std::string text;
    const char* reason;
  } cases[] = {
      {"", "line 1, column 1: unexpected end of text"},
      {"{\"a\": 1,}", "line 1, column 9: expected a key"},
      {"[1,\n  2 3]", "line 2, column 5: expected ',' or ']'"},
      {"{\"a\" 1}", "expected ':'"},
      {"{\"a\": 1", "unexpected end of text"},
      {"01", "leading zero"},
      {"1.", "decimal point"},
      {"1e", "exponent"},
      {"-", "invalid number"},
      {"+1", "unexpected character"},
      {"1e999", "out of range"},
      {"tru", "unexpected character"},
      {"NaN", "unexpected character"},
      {"\"\\x\"", "invalid escape"},
      {"\"\\u12G4\"", "four hex digits"},
      {"\"a\tb\"", "control character"},
      {"\"\\ud800\"", "lone high surrogate"},
      {"\"\\ud800\\u0041\"", "lone high surrogate"},
      {"\"\\udc00\"", "lone low surrogate"},
      {"\"\xff\"", "not UTF-8"},
      {"\"\xc0\xaf\"", "not UTF-8"},      // overlong '/'
      {"\"\xed\xa0\x80\"", "not UTF-8"},  // an encoded surrogate
      {"\"abc", "unterminated string"},
      {"{\"a\": 1, \"a\": 2}", "line 1, column 10: duplicate key \"a\""},
      {"{} {}", "text after the value"},
      {std::string(201, '['), "nested deeper than 200 levels"},
  };
  for (const auto& c : cases) {
    JsonValue v;
    std::string error;
    EXPECT_FALSE(velto_sim::json_parse(c.text.c_str(), &v, &error)) << c.text;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.text << " gave: " << error;
  }
  // 200 levels are fine.
  parse_ok(std::string(200, '[') + std::string(200, ']'));
}

TEST(SimJsonTest, WrittenStringsAndNumbersReadBackExactly) {
  const std::string text = std::string("q\" b\\ \x01\x1f\x7f \n\t \xc3\xa9 \xf0\x9f\x98\x80 ") +
                           std::string(1, '\0') + "end";
  const std::string quoted = velto_sim::json_quote(text);
  EXPECT_EQ(quoted.find('\n'), std::string::npos);
  EXPECT_NE(quoted.find("\\u0001"), std::string::npos);
  EXPECT_EQ(parse_ok(quoted).text, text);
  // Bytes that are not UTF-8 become U+FFFD, so the log stays valid JSON.
  EXPECT_EQ(parse_ok(velto_sim::json_quote("a\xff\xc3")).text, "a\xef\xbf\xbd\xef\xbf\xbd");

  EXPECT_EQ(velto_sim::json_number(30.0), "30.0");
  EXPECT_EQ(velto_sim::json_number(0.25), "0.25");
  EXPECT_EQ(velto_sim::json_number(NAN), "null");
  EXPECT_EQ(velto_sim::json_number(INFINITY), "null");
  for (double d : {static_cast<double>(23.976f), 0.1, -1e-300, 1e20, 123456789.125}) {
    const JsonValue v = parse_ok(velto_sim::json_number(d));
    EXPECT_EQ(v.number, d) << velto_sim::json_number(d);
    EXPECT_FALSE(v.integral) << velto_sim::json_number(d);  // stays a float for readers
  }
}

TEST(SimGifTest, EncodedPicturesDecodeToTheSamePixels) {
  std::mt19937 random(7);
  struct Picture {
    int width, height;
    int kind;  // 0 noise (fills the code table: clears), 1 flat, 2 smooth gradient
  } pictures[] = {{64, 48, 2}, {64, 48, 0}, {1, 1, 0}, {300, 1, 1}, {200, 150, 0}, {512, 400, 2}, {17, 3, 0}};
  for (const Picture& p : pictures) {
    std::vector<uint8_t> pixels(static_cast<size_t>(p.width) * p.height);
    for (size_t i = 0; i < pixels.size(); ++i) {
      pixels[i] = p.kind == 0   ? static_cast<uint8_t>(random())
                  : p.kind == 1 ? 77
                                : static_cast<uint8_t>((i % p.width + i / p.width) / 4);
    }
    const std::vector<uint8_t> gif = velto_sim::encode_gray_gif(p.width, p.height, pixels.data());
    ASSERT_GE(gif.size(), 6u);
    EXPECT_EQ(std::string(gif.begin(), gif.begin() + 6), "GIF87a");
    int width = 0, height = 0;
    std::vector<uint8_t> decoded;
    ASSERT_TRUE(decode_gray_gif(std::string(gif.begin(), gif.end()), &width, &height, &decoded))
        << p.width << "x" << p.height;
    EXPECT_EQ(width, p.width);
    EXPECT_EQ(height, p.height);
    EXPECT_TRUE(decoded == pixels) << p.width << "x" << p.height << " kind " << p.kind;
  }
  EXPECT_TRUE(velto_sim::encode_gray_gif(0, 10, nullptr).empty());
}

}  // namespace
