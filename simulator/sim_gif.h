// A small GIF encoder for grayscale pictures (the simulator's eye images).
// A free function without state: any thread may call it.
#ifndef VELTO_SIMULATOR_SIM_GIF_H_
#define VELTO_SIMULATOR_SIM_GIF_H_

#include <cstdint>
#include <vector>

namespace velto_sim {

// A GIF87a file of one width x height image whose palette maps index i to
// gray level i, so `pixels` (row by row, borrowed) are the gray levels.
// Empty for a size of 0 or above 65535.
std::vector<uint8_t> encode_gray_gif(int width, int height, const uint8_t* pixels);

}  // namespace velto_sim

#endif  // VELTO_SIMULATOR_SIM_GIF_H_
