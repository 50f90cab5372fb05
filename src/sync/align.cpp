// Stream selection and clock alignment of a synchronised set.
#include <algorithm>
#include <cstdio>

#include "sync/sync.h"

namespace kinovar {

namespace {

constexpr uint32_t kCandidateKeys[4] = {kAccelKey, kGyroKey, kBaroKey, kQuaternionKey};

int32_t samplingFrequency(const DeviceSettings& settings, uint32_t key) {
  switch (key) {
    case kAccelKey: return settings.accel.frequency;
    case kGyroKey: return settings.gyro.frequency;
    case kBaroKey: return settings.baro.frequency;
    default: return settings.gyro.frequency;  // the quaternion runs at the gyroscope's rate
  }
}

bool fail(const char* message) {
  std::fputs(message, stderr);
  return false;
}

// Every offset method but the radio stream's divides by the clock rate; a
// rate of 0 would shift every sample by NaN or infinity.
bool refuseClock(const DeviceSettings& settings) { return settings.frequency <= 0; }
constexpr const char* kNoClock = "Clock frequency of 0 in the set.\n";

// A key is common when every recording has a stream for it with samples and
// a usable rate; an empty one has no first sample to align on.
std::vector<uint32_t> commonKeys(const std::vector<Recording>& set) {
  std::vector<uint32_t> keys;
  for (const uint32_t key : kCandidateKeys) {
    bool common = true;
    for (const Recording& r : set) {
      const SampleStream* stream = findStream(r.streams, key);
      if (stream == nullptr || stream->count == 0 || samplingFrequency(r.settings, key) <= 0) common = false;
    }
    if (common) keys.push_back(key);
  }
  return keys;
}

// How far each recording's times move; a recording without one stays as it is.
struct Offsets {
  std::vector<double> seconds;
  std::vector<char> shifted;
};

Offsets byTimeMarks(const std::vector<Recording>& set) {
  std::vector<float> start(set.size());
  size_t earliest = 0;
  for (size_t i = 0; i < set.size(); ++i) {
    const TimeMarksSettings& m = set[i].settings.timeMarks;
    const auto f = [](int32_t v) { return static_cast<float>(v); };
    const float clock = f(set[i].settings.frequency);
    const float mark1 = (f(m.value4) * 1000.0f + f(m.value5)) / 1000.0f - f(m.value6) / clock;
    const float mark2 = (f(m.value9) * 1000.0f + f(m.value10)) / 1000.0f - f(m.value11) / clock;
    start[i] = (mark1 + mark2) * 0.5f;
    if (start[i] < start[earliest]) earliest = i;
  }
  Offsets offsets{std::vector<double>(set.size()), std::vector<char>(set.size(), 1)};
  for (size_t i = 0; i < set.size(); ++i) offsets.seconds[i] = static_cast<double>(start[i] - start[earliest]);
  return offsets;
}

// The slave's radio words are two readings of the same radio instant: its
// own tick counter (A) and the master's (B). B - A, as a signed 32-bit tick
// count of the slave's clock, over that clock's rate is the offset in seconds
// that maps slave time onto master time; it is the same for every stream, so
// the stream's own sampling rate does not enter.
double radioWordOffset(const DeviceSettings& slave) {
  const auto ticks = static_cast<int32_t>(static_cast<uint32_t>(slave.radioWordB) -
                                          static_cast<uint32_t>(slave.radioWordA));
  return static_cast<double>(ticks) / static_cast<double>(slave.frequency);
}

// The master stays; every slave moves onto its clock.
bool byRadio(const std::vector<Recording>& set, Offsets& offsets) {
  const size_t n = set.size();
  const bool rolesFromRadioTime = set[0].settings.radioTime.role != 2;
  const auto role = [&](size_t i) {
    return rolesFromRadioTime ? set[i].settings.radioTime.role : set[i].settings.radioMode;
  };
  const auto channel = [&](size_t i) {
    return rolesFromRadioTime ? set[i].settings.radioTime.channel : set[i].settings.radioChannel;
  };
  int masters = 0;
  size_t master = 0;
  bool sameChannel = true;
  for (size_t i = 0; i < n; ++i) {
    if (role(i) == 0 && masters++ == 0) master = i;
    if (channel(i) != -1 && channel(i) != channel(0)) sameChannel = false;
  }
  if (masters != 1 || !sameChannel) {
    std::fprintf(stderr, "Possibly no master or more than one used (%i). Different radio channels are used.\n",
                 masters);
    return false;
  }
  offsets = {std::vector<double>(n), std::vector<char>(n, 1)};
  offsets.shifted[master] = 0;
  if (!rolesFromRadioTime) {
    for (size_t i = 0; i < n; ++i)
      if (i != master && refuseClock(set[i].settings)) return fail(kNoClock);
    for (size_t i = 0; i < n; ++i)
      if (i != master) offsets.seconds[i] = radioWordOffset(set[i].settings);
    return true;
  }
  for (size_t i = 0; i < n; ++i) {
    if (i == master) continue;
    const SampleStream* radio = findStream(set[i].streams, kRadioTimeKey);
    if (radio == nullptr || radio->count == 0 || radio->values.empty() || radio->times.empty())
      return fail("No radio data.\n");
    // Radio times are ticks over the clock rate too: NaN or infinite at 0.
    if (refuseClock(set[i].settings)) return fail(kNoClock);
    offsets.seconds[i] = radio->values[0] - radio->times[0];
  }
  return true;
}

bool clockOffsets(const std::vector<Recording>& set, Offsets& offsets) {
  if (!set[0].settings.timeMarks.present) return byRadio(set, offsets);
  for (const Recording& r : set)
    if (refuseClock(r.settings)) return fail(kNoClock);
  offsets = byTimeMarks(set);
  return true;
}

// Keeps the aligned streams, shifted, and the events; drops the rest.
void moveOntoCommonClock(StreamMap& streams, const std::vector<uint32_t>& keys, bool shifted, double offset) {
  for (auto it = streams.begin(); it != streams.end();) {
    const bool aligned = std::find(keys.begin(), keys.end(), it->first) != keys.end();
    if (!aligned && it->first != kEventKey) {
      it = streams.erase(it);
      continue;
    }
    if (aligned && shifted)
      for (double& t : it->second.times) t += offset;
    ++it;
  }
}

}  // namespace

bool alignRecordings(std::vector<Recording>& set, WindowPlan& plan) {
  if (set.size() < 2) return fail("Wrong number of sensors.\n");
  const std::vector<uint32_t> keys = commonKeys(set);
  if (keys.empty()) return fail("No common streams with samples.\n");
  Offsets offsets;
  if (!clockOffsets(set, offsets)) return false;

  std::vector<std::vector<WorkingStream>> working(set.size());
  for (size_t i = 0; i < set.size(); ++i) {
    moveOntoCommonClock(set[i].streams, keys, offsets.shifted[i], offsets.seconds[i]);
    for (const uint32_t key : keys)
      working[i].push_back({key, &set[i].streams.at(key), samplingFrequency(set[i].settings, key)});
  }
  plan = planCommonWindow(working);
  return true;
}

void cutToWindow(const WindowPlan& plan, size_t i, Recording& recording) {
  applyCommonWindow(plan, i, recording.streams);
}

bool syncRecordings(std::vector<Recording>& set) {
  WindowPlan plan;
  if (!alignRecordings(set, plan)) return false;
  for (size_t i = 0; i < set.size(); ++i) cutToWindow(plan, i, set[i]);
  return true;
}

}  // namespace kinovar
