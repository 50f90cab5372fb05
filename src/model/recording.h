// In-memory form of one parsed recording: the decoded settings block and the
// sample streams. Plain data; stages pass these by reference.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "io/memory.h"

namespace kinovar {

struct DateTimeFields {
  int32_t second = 0;
  int32_t minute = 0;
  int32_t hour = 0;
  int32_t day = 0;
  int32_t month = 0;
  int32_t year = 0;
};

struct SensorSettings {
  int32_t frameId = 0;
  int32_t frequency = 0;
  int32_t range = 0;
  double offset[3] = {0.0, 0.0, 0.0};
  double gain[3] = {0.0, 0.0, 0.0};
  int32_t tailWord = 0;
  int32_t word32 = 0;
  bool present = false;
};

struct ChannelSettings {
  int32_t frameId = 0;
  int32_t frequency = 0;
  int32_t tailWord = 0;
  int32_t word32 = 0;
  bool present = false;
};

struct GpsSettings {
  int32_t frameId = 0;
  int32_t frequency = 0;
  int32_t extraByte = 0;
  int32_t tailWord = 0;
  int32_t word32 = 0;
  bool present = false;
};

struct FrameSource {
  int32_t frameId = 0;
  int32_t frequency = 0;
  bool present = false;
};

struct RadioTimeSettings {
  int32_t frameId = 0;
  int32_t frequency = 0;
  int32_t role = 2;  // 2: no role of its own, the device's radio fields apply
  int32_t channel = 0;
  bool present = false;
};

struct TimeMarksSettings {
  int32_t frameId = 0;
  int32_t value1 = -1;
  int32_t value2 = 0;
  int32_t value3 = 0;
  int32_t value4 = 0;
  int32_t value5 = 0;
  int32_t value6 = 0;
  int32_t value7 = 0;
  int32_t value8 = 0;
  int32_t value9 = 0;
  int32_t value10 = 0;
  int32_t value11 = 0;
  bool present = false;
};

struct WordChannelSettings {
  int32_t frameId = 0;
  int32_t word1 = 0;
  int32_t word2 = 0;
  bool present = false;
};

struct DeviceSettings {
  bool malformed = false;
  std::vector<uint8_t> unknownRecords;
  int32_t frequency = 0;
  int32_t deviceId = -1;
  int32_t deviceType = -1;
  int32_t bodyLocation = -1;
  bool hasDeviceInfo = false;
  int32_t version = 0;
  int32_t majorVersion = 0;
  int32_t minorVersion = 0;
  int32_t radioMode = 0;
  int32_t radioChannel = 0;
  int32_t radioWordA = 0;
  int32_t radioWordB = 0;
  int32_t auxWord = 0;
  int32_t auxByteA = 0;
  int32_t auxByteB = 0;
  DateTimeFields createdAt;
  DateTimeFields endDate;
  SensorSettings accel;
  SensorSettings gyro;
  ChannelSettings baro;
  GpsSettings gps;
  ChannelSettings channel10;
  FrameSource event;
  RadioTimeSettings radioTime;
  int32_t measureId = -1;
  TimeMarksSettings timeMarks;
  WordChannelSettings channel19;
  WordChannelSettings channel20;
  FrameSource secondEvent;
};

// Channel-major: channel j of sample i is values[j * count + i].
struct SampleStream {
  uint64_t channels = 0;
  uint64_t count = 0;
  std::vector<double> values;
  std::vector<double> times;

  SampleStream() = default;
  SampleStream(uint64_t channelCount, uint64_t sampleCount) : channels(channelCount), count(sampleCount) {
    resizeLarge(values, channelCount * sampleCount, 0.0);
    resizeLarge(times, sampleCount, 0.0);
  }

  double value(uint64_t channel, uint64_t sample) const { return values[channel * count + sample]; }
  double& value(uint64_t channel, uint64_t sample) { return values[channel * count + sample]; }
};

enum StreamKey : uint32_t {
  kAccelKey = 1,
  kGyroKey = 2,
  kBaroKey = 3,
  kChannel10Key = 5,
  kEventKey = 6,
  kRadioTimeKey = 7,
  kQuaternionKey = 10,
  kSecondEventKey = 11,
};

using StreamMap = std::unordered_map<uint32_t, SampleStream>;

struct Recording {
  DeviceSettings settings;
  StreamMap streams;
  // The samples' times follow the counter past 2^31 (a reader's unwrapped
  // ticks), where the settings' ticks stay signed 32-bit.
  bool unwrappedTicks = false;
};

// The stream under key, or nullptr when the recording has none.
inline const SampleStream* findStream(const StreamMap& streams, uint32_t key) {
  auto it = streams.find(key);
  return it == streams.end() ? nullptr : &it->second;
}

}  // namespace kinovar
