#include "reader/parser.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "io/memory.h"
#include "settings/settings_record.h"

namespace kinovar {

namespace {

constexpr size_t kBlockSize = 512;
constexpr size_t kFramesPerBlock = 63;

// Frames of one stream as they were found: tick plus the six payload bytes.
struct RawFrame {
  int32_t tick;
  uint8_t payload[6];
};


int16_t bigInt16(const uint8_t* p) { return static_cast<int16_t>(static_cast<uint16_t>(p[0] << 8 | p[1])); }

int32_t bigInt32(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
                              static_cast<uint32_t>(p[2]) << 8 | p[3]);
}

void fillSensor(const SensorSettings& sensor, const uint8_t* p, double* out) {
  for (int axis = 0; axis < 3; ++axis) {
    const double raw = bigInt16(p + 2 * axis);
    out[axis] = ((raw * sensor.range) * 0x1p-15 - sensor.offset[axis]) / sensor.gain[axis];
  }
}

// Converts one frame's payload (bytes b2..b7) into the stream's values.
void convert(uint32_t key, const DeviceSettings& settings, const uint8_t* p, double* out) {
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

// Sorts by tick keeping file order among equal ticks, then keeps only the
// first frame of every tick, counting what it finds.
void sortAndDeduplicate(std::vector<RawFrame>& frames, StreamParseStats& stats) {
  for (size_t i = 1; i < frames.size(); ++i)
    if (frames[i].tick < frames[i - 1].tick) ++stats.backwards;
  auto byTick = [](const RawFrame& a, const RawFrame& b) { return a.tick < b.tick; };
  if (stats.backwards) std::stable_sort(frames.begin(), frames.end(), byTick);
  auto last = std::unique(frames.begin(), frames.end(), [](const RawFrame& a, const RawFrame& b) { return a.tick == b.tick; });
  stats.duplicates = static_cast<uint64_t>(frames.end() - last);
  frames.erase(last, frames.end());
}

// Sample i of a stream from its frame's tick and payload.
void storeSample(SampleStream& stream, uint64_t i, uint32_t key, const DeviceSettings& settings, int32_t tick,
                 const uint8_t* payload) {
  double values[3];
  stream.times[i] = tick / static_cast<double>(settings.frequency);
  convert(key, settings, payload, values);
  for (uint64_t j = 0; j < stream.channels; ++j) stream.values[j * stream.count + i] = values[j];
}

// The streams a recording declares, and which of them a frame kind feeds:
// the first declared group with that identifier wins.
struct Routing {
  static constexpr size_t kStreams = 7;
  const uint32_t keys[kStreams] = {kAccelKey, kGyroKey, kBaroKey, kChannel10Key, kEventKey, kRadioTimeKey, kSecondEventKey};
  const uint64_t channels[kStreams] = {3, 3, 2, 3, 1, 1, 1};
  bool built[kStreams] = {};
  std::array<int8_t, 256> byKind;  // stream index, or -1: no stream

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
};

// Calls onFrame(stream, tick, frame) for every frame that feeds a stream, in file order.
template <typename OnFrame>
void forEachFrame(std::span<const uint8_t> blocks, const Routing& routing, OnFrame&& onFrame) {
  for (size_t offset = 0; offset + kBlockSize <= blocks.size(); offset += kBlockSize) {
    const uint8_t* block = blocks.data() + offset;
    const uint32_t base = static_cast<uint32_t>(bigInt32(block + 4));
    for (size_t k = 0; k < kFramesPerBlock; ++k) {
      const uint8_t* frame = block + 8 + 8 * k;
      const int stream = routing.byKind[frame[0]];
      if (stream >= 0) onFrame(static_cast<size_t>(stream), static_cast<int32_t>(base + frame[1]), frame);
    }
  }
}

// A recorder writes every stream with strictly rising ticks: frames then
// convert straight into their stream, in the one decoding pass.
struct Direct {
  SampleStream stream;
  uint64_t written = 0;
  int64_t lastTick = INT64_MIN;
  bool inOrder = true;
};

// A stream found in any other order is gathered again from the bytes,
// sorted and de-duplicated, which gives the samples in tick order.
SampleStream sortedStream(std::span<const uint8_t> blocks, const Routing& routing, size_t c,
                          const DeviceSettings& settings, StreamParseStats& stats) {
  std::vector<RawFrame> frames;
  frames.reserve(stats.frames);
  adviseHugePages(frames.data(), stats.frames * sizeof(RawFrame));
  forEachFrame(blocks, routing, [&](size_t stream, int32_t tick, const uint8_t* frame) {
    if (stream != c) return;
    RawFrame raw;
    raw.tick = tick;
    std::memcpy(raw.payload, frame + 2, 6);
    frames.push_back(raw);
  });
  sortAndDeduplicate(frames, stats);
  SampleStream out(routing.channels[c], frames.size());
  for (uint64_t i = 0; i < frames.size(); ++i)
    storeSample(out, i, routing.keys[c], settings, frames[i].tick, frames[i].payload);
  return out;
}

}  // namespace

bool parseRecording(DeviceSettings& settings, StreamMap& streams, std::span<const uint8_t> bytes, ParseStats* stats) {
  if (bytes.size() < kBlockSize) return false;
  if (!decodeSettingsBlock(settings, bytes.data())) return false;
  const Routing routing(settings, streams);
  const std::span<const uint8_t> blocks = bytes.first(bytes.size() - bytes.size() % kBlockSize);

  // Frames are counted first, so that samples land in arrays of their final
  // size (growing arrays of hundreds of megabytes costs far more).
  std::array<StreamParseStats, Routing::kStreams> seen{};
  std::array<uint64_t, Routing::kStreams> counts{};
  for (size_t offset = 0; offset < blocks.size(); offset += kBlockSize)
    for (size_t k = 0; k < kFramesPerBlock; ++k) {
      const int stream = routing.byKind[blocks[offset + 8 + 8 * k]];
      if (stream >= 0) ++counts[static_cast<size_t>(stream)];
    }
  std::array<Direct, Routing::kStreams> direct;
  for (size_t c = 0; c < Routing::kStreams; ++c) {
    seen[c].frames = counts[c];
    if (routing.built[c]) direct[c].stream = SampleStream(routing.channels[c], counts[c]);
  }
  forEachFrame(blocks, routing, [&](size_t c, int32_t tick, const uint8_t* frame) {
    Direct& d = direct[c];
    if (!d.inOrder) return;
    if (tick <= d.lastTick) {
      d.inOrder = false;
      return;
    }
    d.lastTick = tick;
    storeSample(d.stream, d.written++, routing.keys[c], settings, tick, frame + 2);
  });

  // Streams go in in the same order whichever way they were built.
  for (size_t c = 0; c < Routing::kStreams; ++c) {
    if (!routing.built[c]) continue;
    if (!direct[c].inOrder) {
      direct[c].stream = SampleStream();
      direct[c].stream = sortedStream(blocks, routing, c, settings, seen[c]);
    }
    streams.emplace(routing.keys[c], std::move(direct[c].stream));
    if (stats) stats->streams[routing.keys[c]] = seen[c];
  }
  if (stats) {
    std::copy_n(bytes.begin(), kBlockSize, stats->settingsBlock.begin());
    stats->blocks = blocks.size() / kBlockSize;
    stats->tailBytes = bytes.size() - blocks.size();
    for (size_t offset = 2 * kBlockSize; offset < blocks.size(); offset += kBlockSize)
      if (bigInt32(blocks.data() + offset + 4) < bigInt32(blocks.data() + offset - kBlockSize + 4))
        ++stats->blocksBackwards;
  }
  return true;
}

}  // namespace kinovar
