// Stream selection and clock alignment of a synchronised set.
#include <bitset>
#include <cmath>
#include <cstdio>
#include <type_traits>

#include "sync/sync.h"
#include "sync/window.h"

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

void shift(std::vector<WorkingStream>& streams, double offset) {
  for (WorkingStream& w : streams)
    for (double& t : w.stream->times) t += offset;
}

void shiftByTimeMarks(std::vector<std::vector<WorkingStream>>& working,
                      const std::vector<DeviceSettings>& settings) {
  std::vector<float> start(settings.size());
  size_t earliest = 0;
  for (size_t i = 0; i < settings.size(); ++i) {
    const TimeMarksSettings& m = settings[i].timeMarks;
    const auto f = [](int32_t v) { return static_cast<float>(v); };
    const float clock = f(settings[i].frequency);
    const float mark1 = (f(m.value4) * 1000.0f + f(m.value5)) / 1000.0f - f(m.value6) / clock;
    const float mark2 = (f(m.value9) * 1000.0f + f(m.value10)) / 1000.0f - f(m.value11) / clock;
    start[i] = (mark1 + mark2) * 0.5f;
    if (start[i] < start[earliest]) earliest = i;
  }
  const float origin = start[earliest];
  for (size_t i = 0; i < settings.size(); ++i) shift(working[i], static_cast<double>(start[i] - origin));
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

}  // namespace

namespace {

// Everything but the cut. Given inputs it may change, the aligned streams are
// moved out of them instead of copied; the inputs keep every other stream
// (events, radio time).
template <typename Inputs>
bool align(std::vector<StreamMap>& output, const std::vector<DeviceSettings>& settings, Inputs& streams,
           std::vector<std::vector<WorkingStream>>& working) {
  const size_t n = settings.size();
  if (n < 2 || n != streams.size()) return fail("Wrong number of sensors.\n");
  // Entries of value lists cannot be missing, so there is no null check.

  // A key is common when every recording has a stream for it with samples
  // and a usable rate; an empty one has no first sample to align on.
  std::bitset<4> common;
  common.set();
  std::vector<std::vector<int32_t>> frequencies(n);
  for (size_t i = 0; i < n; ++i) {
    frequencies[i].reserve(4);
    for (size_t k = 0; k < 4; ++k) {
      const SampleStream* stream = findStream(streams[i], kCandidateKeys[k]);
      const int32_t frequency = samplingFrequency(settings[i], kCandidateKeys[k]);
      frequencies[i].push_back(frequency);
      if (stream == nullptr || stream->count == 0 || frequency <= 0) common.reset(k);
    }
  }
  if (common.none()) return fail("No common streams with samples.\n");

  output.assign(n, StreamMap{});
  working.assign(n, {});
  for (size_t i = 0; i < n; ++i) {
    working[i].reserve(common.count());
    for (size_t k = 0; k < 4; ++k) {
      if (!common.test(k)) continue;
      const uint32_t key = kCandidateKeys[k];
      SampleStream* copy;
      if constexpr (std::is_const_v<Inputs>)
        copy = &output[i].emplace(key, streams[i].at(key)).first->second;
      else
        copy = &output[i].emplace(key, std::move(streams[i].at(key))).first->second;
      working[i].push_back({key, copy, frequencies[i][k]});
    }
  }

  if (settings[0].timeMarks.present) {
    for (const DeviceSettings& s : settings)
      if (refuseClock(s)) return fail(kNoClock);
    shiftByTimeMarks(working, settings);
  } else {
    const bool rolesFromRadioTime = settings[0].radioTime.role != 2;
    const auto role = [&](size_t i) {
      return rolesFromRadioTime ? settings[i].radioTime.role : settings[i].radioMode;
    };
    const auto channel = [&](size_t i) {
      return rolesFromRadioTime ? settings[i].radioTime.channel : settings[i].radioChannel;
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
    if (!rolesFromRadioTime) {
      for (size_t i = 0; i < n; ++i)
        if (i != master && refuseClock(settings[i])) return fail(kNoClock);
      for (size_t i = 0; i < n; ++i)
        if (i != master) shift(working[i], radioWordOffset(settings[i]));
    } else {
      for (size_t i = 0; i < n; ++i) {
        if (i == master) continue;
        const SampleStream* radio = findStream(streams[i], kRadioTimeKey);
        if (radio == nullptr || radio->count == 0 || radio->values.empty() || radio->times.empty())
          return fail("No radio data.\n");
        // Radio times are ticks over the clock rate too: NaN or infinite at 0.
        if (refuseClock(settings[i])) return fail(kNoClock);
        shift(working[i], radio->values[0] - radio->times[0]);
      }
    }
  }

  return true;
}

}  // namespace

bool syncRecordings(std::vector<StreamMap>& output, const std::vector<DeviceSettings>& settings,
                    const std::vector<StreamMap>& streams) {
  std::vector<std::vector<WorkingStream>> working;
  if (!align(output, settings, streams, working)) return false;
  cutToCommonWindow(working, streams, output);
  return true;
}

bool alignRecordings(std::vector<StreamMap>& output, const std::vector<DeviceSettings>& settings,
                     std::vector<StreamMap>& streams, AlignedSet& set) {
  if (!align(output, settings, streams, set.working)) return false;
  set.window = planCommonWindow(set.working);
  return true;
}

void cutAligned(AlignedSet& set, size_t i, const StreamMap& input, StreamMap& output) {
  applyCommonWindow(set.window, i, set.working[i], &input, &output);
}

}  // namespace kinovar
