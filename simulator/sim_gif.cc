// GIF encoding of the synthetic eye images: the picture and a small GIF87a
// encoder (256-level gray palette, LZW) writing into memory.
//
// LZW as GIF uses it: codes start at 9 bits (minimum code size 8: 256
// literals, then the clear code 256 and the end code 257), packed least
// significant bit first into sub-blocks of at most 255 bytes. The decoder
// adds a table entry for every code it reads except the first after a
// clear, one code behind the encoder; so the encoder widens its codes when
// the entry it has just added no longer fits the current width, and before
// the end code when the decoder's pending entry would not. As giflib does,
// the table is cleared when code 4095 would be assigned.
#include "sim_gif.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "sim_internal.h"

namespace velto_sim {
namespace {

constexpr int kClearCode = 256;
constexpr int kEndCode = 257;
constexpr int kFirstFreeCode = 258;
constexpr int kMaxCode = 4095;
constexpr int kMaxWidth = 12;

// Codes packed into bits, bits into bytes, bytes into sub-blocks.
struct CodeWriter {
  std::vector<uint8_t>* out;
  uint8_t block[255] = {};
  int block_size = 0;
  uint32_t bits = 0;
  int bit_count = 0;

  void put(int code, int width) {
    bits |= static_cast<uint32_t>(code) << bit_count;
    bit_count += width;
    while (bit_count >= 8) {
      put_byte(static_cast<uint8_t>(bits & 0xFF));
      bits >>= 8;
      bit_count -= 8;
    }
  }
  void put_byte(uint8_t b) {
    block[block_size++] = b;
    if (block_size == 255) flush_block();
  }
  void flush_block() {
    if (block_size == 0) return;
    out->push_back(static_cast<uint8_t>(block_size));
    out->insert(out->end(), block, block + block_size);
    block_size = 0;
  }
  void finish() {
    if (bit_count > 0) put_byte(static_cast<uint8_t>(bits & 0xFF));
    bits = 0;
    bit_count = 0;
    flush_block();
    out->push_back(0);  // block terminator
  }
};

// The string table: (prefix code, next byte) -> code, open addressing.
struct CodeTable {
  static constexpr size_t kSlots = 8192;  // a power of two, twice the codes
  uint32_t keys[kSlots];                  // (prefix << 8 | byte) + 1; 0 = empty
  uint16_t codes[kSlots];

  void clear() { std::fill(keys, keys + kSlots, 0u); }
  size_t slot(uint32_t key) const {
    size_t i = (key * 2654435761u) & (kSlots - 1);
    while (keys[i] != 0 && keys[i] != key) i = (i + 1) & (kSlots - 1);
    return i;
  }
  // The code of `prefix` + `byte`, or -1.
  int find(int prefix, uint8_t byte) const {
    const size_t i = slot(key_of(prefix, byte));
    return keys[i] == 0 ? -1 : codes[i];
  }
  void add(int prefix, uint8_t byte, int code) {
    const uint32_t key = key_of(prefix, byte);
    const size_t i = slot(key);
    keys[i] = key;
    codes[i] = static_cast<uint16_t>(code);
  }
  static uint32_t key_of(int prefix, uint8_t byte) {
    return ((static_cast<uint32_t>(prefix) << 8) | byte) + 1;
  }
};

void put_u16(std::vector<uint8_t>* out, int value) {
  out->push_back(static_cast<uint8_t>(value & 0xFF));
  out->push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
}

void put_lzw(std::vector<uint8_t>* out, const uint8_t* pixels, size_t count) {
  out->push_back(8);  // minimum code size
  CodeWriter writer{out};
  auto table = std::make_unique<CodeTable>();
  table->clear();
  int width = 9;
  int next = kFirstFreeCode;
  writer.put(kClearCode, width);
  if (count > 0) {
    int prefix = pixels[0];
    for (size_t i = 1; i < count; ++i) {
      const uint8_t byte = pixels[i];
      const int code = table->find(prefix, byte);
      if (code >= 0) {
        prefix = code;
        continue;
      }
      writer.put(prefix, width);
      if (next < kMaxCode) {
        table->add(prefix, byte, next++);
        if (next > (1 << width) && width < kMaxWidth) ++width;
      } else {
        writer.put(kClearCode, width);
        table->clear();
        width = 9;
        next = kFirstFreeCode;
      }
      prefix = byte;
    }
    writer.put(prefix, width);
    // The decoder adds its pending entry on reading that code and may widen.
    if (next >= (1 << width) && width < kMaxWidth) ++width;
  }
  writer.put(kEndCode, width);
  writer.finish();
}

// Gray level of one pixel of the eye picture.
uint8_t eye_pixel(int x, int y, int width, int height, double cx, double cy, double r, bool blink) {
  const double ex = width / 2.0, ey = height / 2.0;  // eye opening centre
  const double ax = width * 0.45, ay = height * (blink ? 0.04 : 0.36);
  const double dx = (x + 0.5 - ex) / ax, dy = (y + 0.5 - ey) / ay;
  const bool in_opening = dx * dx + dy * dy <= 1.0;
  if (!in_opening) {
    // Skin with a soft vertical shading; a dark lash line when closed.
    if (blink && std::fabs(y + 0.5 - ey) < 1.5 && std::fabs(dx) < 1.0) return 40;
    return static_cast<uint8_t>(150 + 20 * (y / static_cast<double>(height)));
  }
  const double px = x + 0.5 - cx, py = y + 0.5 - cy;
  const double d = std::sqrt(px * px + py * py);
  // Corneal reflection: a small bright glint up and right of the pupil centre.
  const double gx = px - r * 0.45, gy = py + r * 0.45;
  if (gx * gx + gy * gy <= 1.2) return 255;
  if (d <= r) return 12;          // pupil
  if (d <= r * 2.3) return 85;    // iris
  return 215;                     // sclera
}

}  // namespace

std::vector<uint8_t> encode_gray_gif(int width, int height, const uint8_t* pixels) {
  if (width <= 0 || height <= 0 || width > 65535 || height > 65535) return {};
  std::vector<uint8_t> out = {'G', 'I', 'F', '8', '7', 'a'};
  put_u16(&out, width);
  put_u16(&out, height);
  out.push_back(0xF7);  // global color table of 256 entries, 8 bits of color resolution
  out.push_back(0);     // background color index
  out.push_back(0);     // no pixel aspect ratio
  for (int i = 0; i < 256; ++i) out.insert(out.end(), 3, static_cast<uint8_t>(i));
  out.push_back(0x2C);  // image descriptor: the whole screen, no local table
  put_u16(&out, 0);
  put_u16(&out, 0);
  put_u16(&out, width);
  put_u16(&out, height);
  out.push_back(0);
  put_lzw(&out, pixels, static_cast<size_t>(width) * static_cast<size_t>(height));
  out.push_back(0x3B);  // trailer
  return out;
}

std::vector<uint8_t> encode_eye_gif(int width, int height, double cx, double cy, double r,
                                    bool blink) {
  std::vector<uint8_t> pixels(static_cast<size_t>(width) * static_cast<size_t>(height));
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      pixels[static_cast<size_t>(y) * width + x] = eye_pixel(x, y, width, height, cx, cy, r, blink);
    }
  }
  return encode_gray_gif(width, height, pixels.data());
}

}  // namespace velto_sim
