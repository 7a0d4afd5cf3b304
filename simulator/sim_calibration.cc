// Screen-based calibration: the calibration-mode state machine, the collected
// points and the binary calibration block.
//
// Calibration block layout (little-endian):
//   0   4  magic "VCAL"
//   4   2  format version (1)
//   6   2  reserved, 0
//   8   4  payload length N
//   12  N  payload: uint32 point count, then one 32-byte calibration point
//          record (device/velto.h layout) per collected sample
//   12+N 4 CRC-32 of bytes 0 .. 12+N-1
#include <cmath>
#include <cstring>
#include <random>

#include "sim_internal.h"

namespace velto_sim {
namespace {

constexpr uint8_t kMagic[4] = {'V', 'C', 'A', 'L'};
constexpr uint16_t kFormatVersion = 1;
constexpr size_t kHeaderSize = 12;
constexpr size_t kChecksumSize = 4;

uint32_t crc32(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void put_u32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t get_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

velto_calibration_point to_record(const CalibrationSample& c) {
  return velto_calibration_point{c.position, c.left, c.left_validity, c.right, c.right_validity};
}

// One sample per eye near the point: a small per-eye bias plus noise; an eye
// is now and then not found (validity 0, sample at the point itself).
CalibrationSample sample_at(Tracker& t, float x, float y) {
  std::mt19937 rng(t.noise_seed + static_cast<uint32_t>(t.collected.size()) * 7919u);
  t.noise_seed = rng();
  // The unit normal is scaled rather than given the deviation, so that a
  // noise of 0 is allowed (std::normal_distribution needs a positive sigma).
  std::normal_distribution<float> unit(0.0f, 1.0f);
  auto noise = [&] { return t.calibration_noise * unit(rng); };
  std::uniform_real_distribution<float> chance(0.0f, 1.0f);
  const velto_point2 l = t.calibration_bias_left;
  const velto_point2 r = t.calibration_bias_right;
  CalibrationSample c;
  c.position = velto_point2{x, y};
  c.left = velto_point2{x + l.x + noise(), y + l.y + noise()};
  c.right = velto_point2{x + r.x + noise(), y + r.y + noise()};
  c.left_validity = chance(rng) < 0.05f ? 0 : 1;
  c.right_validity = chance(rng) < 0.05f ? 0 : 1;
  if (c.left_validity != 1) c.left = c.position;
  if (c.right_validity != 1) c.right = c.position;
  return c;
}

void notify_locked(SimState& s, const Tracker& t, int32_t type) {
  QueuedEvent e;
  e.kind = kStreamNotifications;
  e.handle = t.handle;
  e.notification.system_time_stamp = system_now_us();
  e.notification.notification_type = type;
  queue_event_locked(s, std::move(e));
}

// Calibration coordinates are display-area normalised; a little outside the
// screen is accepted, far outside or not finite is an invalid argument.
bool valid_point(float x, float y) {
  return std::isfinite(x) && std::isfinite(y) && x >= -0.5f && x <= 1.5f && y >= -0.5f && y <= 1.5f;
}

}  // namespace

std::vector<uint8_t> make_calibration_block(const Tracker& tracker) {
  std::vector<uint8_t> payload;
  put_u32(payload, static_cast<uint32_t>(tracker.collected.size()));
  for (const CalibrationSample& c : tracker.collected) {
    velto_calibration_point record = to_record(c);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&record);
    payload.insert(payload.end(), bytes, bytes + sizeof(record));
  }
  std::vector<uint8_t> block(kMagic, kMagic + 4);
  block.push_back(static_cast<uint8_t>(kFormatVersion & 0xFF));
  block.push_back(static_cast<uint8_t>(kFormatVersion >> 8));
  block.push_back(0);
  block.push_back(0);
  put_u32(block, static_cast<uint32_t>(payload.size()));
  block.insert(block.end(), payload.begin(), payload.end());
  put_u32(block, crc32(block.data(), block.size()));
  return block;
}

int32_t check_calibration_block(const uint8_t* data, size_t size) {
  if (data == nullptr || size < kHeaderSize + 4 + kChecksumSize) return VELTO_SIM_STATUS_OPERATION_FAILED;
  if (std::memcmp(data, kMagic, 4) != 0) return VELTO_SIM_STATUS_OPERATION_FAILED;
  if (data[4] != (kFormatVersion & 0xFF) || data[5] != (kFormatVersion >> 8)) {
    return VELTO_SIM_STATUS_OPERATION_FAILED;
  }
  const uint32_t length = get_u32(data + 8);
  if (static_cast<uint64_t>(length) + kHeaderSize + kChecksumSize != size) {
    return VELTO_SIM_STATUS_OPERATION_FAILED;
  }
  const uint32_t points = get_u32(data + kHeaderSize);
  if (static_cast<uint64_t>(points) * sizeof(velto_calibration_point) + 4 != length) {
    return VELTO_SIM_STATUS_OPERATION_FAILED;
  }
  if (crc32(data, size - kChecksumSize) != get_u32(data + size - kChecksumSize)) {
    return VELTO_SIM_STATUS_OPERATION_FAILED;
  }
  return VELTO_STATUS_OK;
}

}  // namespace velto_sim

using namespace velto_sim;

extern "C" {

int32_t velto_screen_based_calibration_enter_calibration_mode(velto_eyetracker* handle) {
  SIM_CALL("velto_screen_based_calibration_enter_calibration_mode", arg_handle(handle));
  SIM_LOCK_INITIALIZED(s, lock);
  SIM_TRACKER(t, s, handle);
  if (t->in_calibration) return VELTO_SIM_STATUS_ALREADY_IN_CALIBRATION_MODE;
  t->in_calibration = true;
  t->collected.clear();  // a new session starts without data
  notify_locked(s, *t, 2);
  log_locked(s, 2, "calibration mode entered on " + t->address);
  return VELTO_STATUS_OK;
}

int32_t velto_screen_based_calibration_leave_calibration_mode(velto_eyetracker* handle) {
  SIM_CALL("velto_screen_based_calibration_leave_calibration_mode", arg_handle(handle));
  SIM_LOCK_INITIALIZED(s, lock);
  SIM_TRACKER(t, s, handle);
  if (!t->in_calibration) return VELTO_SIM_STATUS_NOT_IN_CALIBRATION_MODE;
  // The collected points stay readable until the next session begins.
  t->in_calibration = false;
  notify_locked(s, *t, 3);
  log_locked(s, 2, "calibration mode left on " + t->address);
  return VELTO_STATUS_OK;
}

int32_t velto_screen_based_calibration_collect_data(velto_eyetracker* handle, float x, float y) {
  SIM_CALL("velto_screen_based_calibration_collect_data",
           arg_handle(handle) + arg_float("x", x) + arg_float("y", y));
  SIM_LOCK_INITIALIZED(s, lock);
  SIM_TRACKER(t, s, handle);
  if (!t->in_calibration) return VELTO_SIM_STATUS_NOT_IN_CALIBRATION_MODE;
  if (!valid_point(x, y)) return VELTO_SIM_STATUS_INVALID_ARGUMENT;
  t->collected.push_back(sample_at(*t, x, y));
  log_locked(s, 3, "calibration data collected");
  return VELTO_STATUS_OK;
}

int32_t velto_screen_based_calibration_discard_data(velto_eyetracker* handle, float x, float y) {
  SIM_CALL("velto_screen_based_calibration_discard_data",
           arg_handle(handle) + arg_float("x", x) + arg_float("y", y));
  SIM_LOCK_INITIALIZED(s, lock);
  SIM_TRACKER(t, s, handle);
  if (!t->in_calibration) return VELTO_SIM_STATUS_NOT_IN_CALIBRATION_MODE;
  if (!valid_point(x, y)) return VELTO_SIM_STATUS_INVALID_ARGUMENT;
  // Every sample collected at exactly this point goes; none there is fine.
  auto& c = t->collected;
  for (size_t i = 0; i < c.size();) {
    if (c[i].position.x == x && c[i].position.y == y) {
      c.erase(c.begin() + i);
    } else {
      ++i;
    }
  }
  log_locked(s, 3, "calibration data discarded");
  return VELTO_STATUS_OK;
}

int32_t velto_screen_based_calibration_compute_and_apply(velto_eyetracker* handle) {
  SIM_CALL("velto_screen_based_calibration_compute_and_apply", arg_handle(handle));
  SIM_LOCK_INITIALIZED(s, lock);
  SIM_TRACKER(t, s, handle);
  if (!t->in_calibration) return VELTO_SIM_STATUS_NOT_IN_CALIBRATION_MODE;
  if (t->collected.empty()) return VELTO_SIM_STATUS_NO_DATA;
  t->calibration_data = make_calibration_block(*t);
  log_locked(s, 2, "calibration computed and applied on " + t->address);
  return VELTO_STATUS_OK;
}

int32_t velto_screen_based_calibration_get_calibration_points(velto_eyetracker* handle,
                                                              velto_calibration_point* points,
                                                              size_t capacity, size_t* count) {
  SIM_CALL("velto_screen_based_calibration_get_calibration_points",
           arg_handle(handle) + arg_int("capacity", static_cast<int64_t>(capacity)));
  SIM_LOCK_INITIALIZED(s, lock);
  if (count == nullptr || (points == nullptr && capacity != 0)) return VELTO_SIM_STATUS_INVALID_ARGUMENT;
  SIM_TRACKER(t, s, handle);
  const size_t total = t->collected.size();
  if (points == nullptr) {
    *count = total;
    return VELTO_STATUS_OK;
  }
  const size_t n = total < capacity ? total : capacity;
  for (size_t i = 0; i < n; ++i) points[i] = to_record(t->collected[i]);
  *count = n;
  return n < total ? VELTO_STATUS_BUFFER_TOO_SMALL : VELTO_STATUS_OK;
}

int32_t velto_retrieve_calibration_data(velto_eyetracker* handle, uint8_t* data, size_t capacity,
                                        size_t* size) {
  SIM_CALL("velto_retrieve_calibration_data",
           arg_handle(handle) + arg_int("capacity", static_cast<int64_t>(capacity)));
  SIM_LOCK_INITIALIZED(s, lock);
  if (size == nullptr || (data == nullptr && capacity != 0)) return VELTO_SIM_STATUS_INVALID_ARGUMENT;
  SIM_TRACKER(t, s, handle);
  const size_t total = t->calibration_data.size();
  if (data == nullptr) {
    *size = total;
    return VELTO_STATUS_OK;
  }
  const size_t n = total < capacity ? total : capacity;
  if (n > 0) std::memcpy(data, t->calibration_data.data(), n);
  *size = n;
  return n < total ? VELTO_STATUS_BUFFER_TOO_SMALL : VELTO_STATUS_OK;
}

int32_t velto_apply_calibration_data(velto_eyetracker* handle, const uint8_t* data, size_t size) {
  SIM_CALL("velto_apply_calibration_data",
           arg_handle(handle) + arg_int("length", static_cast<int64_t>(size)));
  SIM_LOCK_INITIALIZED(s, lock);
  if (data == nullptr && size != 0) return VELTO_SIM_STATUS_INVALID_ARGUMENT;
  SIM_TRACKER(t, s, handle);
  const int32_t status = check_calibration_block(data, size);
  if (status != VELTO_STATUS_OK) return status;
  t->calibration_data.assign(data, data + size);
  log_locked(s, 2, "calibration data applied on " + t->address);
  return VELTO_STATUS_OK;
}

}  // extern "C"
