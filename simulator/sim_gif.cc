// GIF encoding of the synthetic eye images (giflib, into memory).
#include <cmath>

#include <gif_lib.h>

#include "sim_internal.h"

namespace velto_sim {
namespace {

int write_to_vector(GifFileType* gif, const GifByteType* bytes, int length) {
  auto* out = static_cast<std::vector<uint8_t>*>(gif->UserData);
  out->insert(out->end(), bytes, bytes + length);
  return length;
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

std::vector<uint8_t> encode_eye_gif(int width, int height, double cx, double cy, double r,
                                    bool blink) {
  std::vector<uint8_t> out;
  int error = 0;
  GifFileType* gif = EGifOpen(&out, write_to_vector, &error);
  if (gif == nullptr) return {};
  // A 256-entry gray palette: pixel value = gray level.
  GifColorType colors[256];
  for (int i = 0; i < 256; ++i) {
    colors[i].Red = colors[i].Green = colors[i].Blue = static_cast<GifByteType>(i);
  }
  ColorMapObject* map = GifMakeMapObject(256, colors);
  bool ok = map != nullptr &&
            EGifPutScreenDesc(gif, width, height, 8, 0, map) == GIF_OK &&
            EGifPutImageDesc(gif, 0, 0, width, height, false, nullptr) == GIF_OK;
  std::vector<GifPixelType> row(static_cast<size_t>(width));
  for (int y = 0; ok && y < height; ++y) {
    for (int x = 0; x < width; ++x) row[x] = eye_pixel(x, y, width, height, cx, cy, r, blink);
    ok = EGifPutLine(gif, row.data(), width) == GIF_OK;
  }
  if (map != nullptr) GifFreeMapObject(map);
  if (EGifCloseFile(gif, &error) != GIF_OK) ok = false;
  if (!ok) return {};
  return out;
}

}  // namespace velto_sim
