// The frame layout of recording files and how a frame becomes a sample, for
// the readers of reader/ only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "model/recording.h"

namespace kinovar::frames {

constexpr size_t kBlockSize = 512;
constexpr size_t kFramesPerBlock = 63;

inline int16_t bigInt16(const uint8_t* p) { return static_cast<int16_t>(static_cast<uint16_t>(p[0] << 8 | p[1])); }

inline int32_t bigInt32(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
                              static_cast<uint32_t>(p[2]) << 8 | p[3]);
}

// The tick of frame k of a block.
inline int32_t frameTick(const uint8_t* block, size_t k) {
  return static_cast<int32_t>(static_cast<uint32_t>(bigInt32(block + 4)) + block[8 + 8 * k + 1]);
}

inline void fillSensor(const SensorSettings& sensor, const uint8_t* p, double* out) {
  for (int axis = 0; axis < 3; ++axis) {
    const double raw = bigInt16(p + 2 * axis);
    out[axis] = ((raw * sensor.range) * 0x1p-15 - sensor.offset[axis]) / sensor.gain[axis];
  }
}

// Converts one frame's payload (bytes b2..b7) into the stream's values.
inline void convert(uint32_t key, const DeviceSettings& settings, const uint8_t* p, double* out) {
  switch (key) {
    case kAccelKey: fillSensor(settings.accel, p, out); break;
    case kGyroKey: fillSensor(settings.gyro, p, out); break;
    case kBaroKey: {
      const uint32_t pressure = p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16;
      out[0] = pressure * 0x1p-12;
      out[1] = static_cast<int16_t>(static_cast<uint16_t>(p[3] | p[4] << 8)) / 100.0;
      break;
    }
    case kChannel10Key:
      for (int axis = 0; axis < 3; ++axis) out[axis] = bigInt16(p + 2 * axis);
      break;
    case kEventKey: out[0] = p[0]; break;
    case kRadioTimeKey: out[0] = static_cast<double>(bigInt32(p)) / static_cast<double>(settings.frequency); break;
    case kSecondEventKey: out[0] = p[5]; break;
    default: break;
  }
}

// The streams a recording declares, and which of them a frame kind feeds:
// the first declared group with that identifier wins.
struct Routing {
  static constexpr size_t kStreams = 7;
  static constexpr uint32_t keys[kStreams] = {kAccelKey,  kGyroKey,      kBaroKey,       kChannel10Key,
                                              kEventKey, kRadioTimeKey, kSecondEventKey};
  static constexpr uint64_t channels[kStreams] = {3, 3, 2, 3, 1, 1, 1};
  bool built[kStreams] = {};
  std::array<int8_t, 256> byKind;  // stream index, or -1: no stream

  Routing() { byKind.fill(-1); }
  Routing(const DeviceSettings& settings, const StreamMap& existing) {
    const bool present[kStreams] = {settings.accel.present, settings.gyro.present, settings.baro.present,
                                    settings.channel10.present, settings.event.present,
                                    settings.radioTime.present, settings.secondEvent.present};
    for (size_t c = 0; c < kStreams; ++c) built[c] = present[c] && !existing.count(keys[c]);
    const struct {
      bool present;
      int32_t frameId;
      int stream;  // -1: recognised but makes no stream
    } groups[] = {
        {settings.accel.present, settings.accel.frameId, 0},
        {settings.gyro.present, settings.gyro.frameId, 1},
        {settings.baro.present, settings.baro.frameId, 2},
        {settings.gps.present, settings.gps.frameId, -1},
        {settings.channel10.present, settings.channel10.frameId, 3},
        {settings.event.present, settings.event.frameId, 4},
        {settings.radioTime.present, settings.radioTime.frameId, 5},
        {settings.channel19.present, settings.channel19.frameId, -1},
        {settings.channel20.present, settings.channel20.frameId, -1},
        {settings.secondEvent.present, settings.secondEvent.frameId, 6},
    };
    byKind.fill(-1);
    std::array<bool, 256> matched{};
    for (const auto& group : groups) {
      if (!group.present || group.frameId < 0 || group.frameId > 255) continue;
      const auto kind = static_cast<size_t>(group.frameId);
      if (matched[kind]) continue;
      matched[kind] = true;
      byKind[kind] = static_cast<int8_t>(group.stream >= 0 && built[group.stream] ? group.stream : -1);
    }
  }
  // The stream index of a key, or kStreams.
  static size_t indexOf(uint32_t key) {
    for (size_t c = 0; c < kStreams; ++c)
      if (keys[c] == key) return c;
    return kStreams;
  }
};

}  // namespace kinovar::frames
