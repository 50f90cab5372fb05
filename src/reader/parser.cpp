#include "reader/parser.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "settings/settings_record.h"

namespace kinovar {

namespace {

constexpr size_t kBlockSize = 512;
constexpr size_t kFramesPerBlock = 63;
constexpr size_t kChunkBlocks = 256;  // read 128 KiB at a time

// Frames of one stream as they were found: tick plus the six payload bytes.
struct RawFrame {
  int32_t tick;
  uint8_t payload[6];
};

struct Collection {
  uint32_t key;
  uint64_t channels;
  std::vector<RawFrame> frames;
};

int64_t fileSize(std::FILE* file) {
#ifdef _WIN32
  if (_fseeki64(file, 0, SEEK_END) != 0) return -1;
  const int64_t size = _ftelli64(file);
  _fseeki64(file, 0, SEEK_SET);
#else
  if (fseeko(file, 0, SEEK_END) != 0) return -1;
  const int64_t size = ftello(file);
  fseeko(file, 0, SEEK_SET);
#endif
  return size;
}

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
// first frame of every tick. Recordings are nearly always in order already.
void sortAndDeduplicate(std::vector<RawFrame>& frames) {
  auto byTick = [](const RawFrame& a, const RawFrame& b) { return a.tick < b.tick; };
  if (!std::is_sorted(frames.begin(), frames.end(), byTick)) std::stable_sort(frames.begin(), frames.end(), byTick);
  auto last = std::unique(frames.begin(), frames.end(), [](const RawFrame& a, const RawFrame& b) { return a.tick == b.tick; });
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

// Keeps the first n samples of a channel-major stream.
void shrinkStream(SampleStream& stream, uint64_t n) {
  for (uint64_t j = 1; j < stream.channels; ++j)
    std::memmove(stream.values.data() + j * n, stream.values.data() + j * stream.count, n * sizeof(double));
  stream.values.resize(stream.channels * n);
  stream.times.resize(n);
  stream.count = n;
}

}  // namespace

bool parseRecording(DeviceSettings& settings, StreamMap& streams, FilePtr& file) {
  if (!file) return false;
  std::array<uint8_t, kBlockSize> head{};
  if (std::fread(head.data(), 1, kBlockSize, file.get()) != kBlockSize || std::ferror(file.get())) return false;
  const int64_t size = fileSize(file.get());
  if (!decodeSettingsBlock(settings, head.data())) {
    file.reset();
    return false;
  }

  // Which group (and so which stream) a frame kind belongs to: the first
  // declared group with that identifier wins.
  const struct {
    bool present;
    int32_t frameId;
    uint32_t key;  // 0: recognised but makes no stream
  } groups[] = {
      {settings.accel.present, settings.accel.frameId, kAccelKey},
      {settings.gyro.present, settings.gyro.frameId, kGyroKey},
      {settings.baro.present, settings.baro.frameId, kBaroKey},
      {settings.gps.present, settings.gps.frameId, 0},
      {settings.channel10.present, settings.channel10.frameId, kChannel10Key},
      {settings.event.present, settings.event.frameId, kEventKey},
      {settings.radioTime.present, settings.radioTime.frameId, kRadioTimeKey},
      {settings.channel19.present, settings.channel19.frameId, 0},
      {settings.channel20.present, settings.channel20.frameId, 0},
      {settings.secondEvent.present, settings.secondEvent.frameId, kSecondEventKey},
  };
  Collection collections[] = {{kAccelKey, 3, {}}, {kGyroKey, 3, {}}, {kBaroKey, 2, {}}, {kChannel10Key, 3, {}},
                              {kEventKey, 1, {}}, {kRadioTimeKey, 1, {}}, {kSecondEventKey, 1, {}}};
  auto collectionOf = [&](uint32_t key) -> Collection* {
    for (auto& c : collections)
      if (c.key == key) return &c;
    return nullptr;
  };
  std::array<Collection*, 256> byKind{};
  std::array<bool, 256> matched{};
  for (const auto& group : groups) {
    if (!group.present || group.frameId < 0 || group.frameId > 255 || matched[group.frameId]) continue;
    matched[group.frameId] = true;
    byKind[group.frameId] = group.key ? collectionOf(group.key) : nullptr;
  }

  // Blocks are read in chunks; a chunk that comes back short ends the scan
  // after its whole blocks, as a failed single-block read would.
  const uint64_t blocks = size > 0 ? static_cast<uint64_t>(size) / kBlockSize : 0;
  std::vector<uint8_t> chunk(kChunkBlocks * kBlockSize);
  auto scan = [&](auto&& onFrame) {
    if (std::fseek(file.get(), 0, SEEK_SET) != 0) return false;
    for (uint64_t done = 0; done < blocks;) {
      const uint64_t want = std::min<uint64_t>(kChunkBlocks, blocks - done);
      const uint64_t whole = std::fread(chunk.data(), 1, want * kBlockSize, file.get()) / kBlockSize;
      for (uint64_t b = 0; b < whole; ++b) {
        const uint8_t* block = chunk.data() + b * kBlockSize;
        const uint32_t base = static_cast<uint32_t>(bigInt32(block + 4));
        for (size_t k = 0; k < kFramesPerBlock; ++k) {
          const uint8_t* frame = block + 8 + 8 * k;
          if (Collection* target = byKind[frame[0]]) onFrame(*target, base, frame);
        }
      }
      if (whole < want) return false;
      done += whole;
    }
    return true;
  };
  // A counting pass first, so that samples land in arrays of their final size
  // (the file is in the page cache by then; growing arrays cost far more).
  std::array<uint64_t, std::size(collections)> counts{};
  scan([&](Collection& target, uint32_t, const uint8_t*) { ++counts[&target - collections]; });

  const bool presentByKey[] = {settings.accel.present, settings.gyro.present, settings.baro.present,
                               settings.channel10.present, settings.event.present, settings.radioTime.present,
                               settings.secondEvent.present};

  // A recorder writes every stream with strictly rising ticks: frames then
  // convert straight into their stream. A stream found in any other order
  // (or with more frames than counted) is collected, sorted and
  // de-duplicated instead, which gives the same samples.
  struct Direct {
    SampleStream stream;
    uint64_t written = 0;
    int64_t lastTick = INT64_MIN;
    bool inOrder = true;
  };
  std::array<Direct, std::size(collections)> direct;
  for (size_t c = 0; c < std::size(collections); ++c) {
    if (presentByKey[c] && !streams.count(collections[c].key))
      direct[c].stream = SampleStream(collections[c].channels, counts[c]);
    else
      direct[c].inOrder = false;  // nothing to build
  }
  bool ok = scan([&](Collection& target, uint32_t base, const uint8_t* frame) {
    const size_t c = static_cast<size_t>(&target - collections);
    Direct& d = direct[c];
    if (!d.inOrder) return;
    const int32_t tick = static_cast<int32_t>(base + frame[1]);
    if (tick <= d.lastTick || d.written == d.stream.count) {
      d.inOrder = false;
      return;
    }
    d.lastTick = tick;
    storeSample(d.stream, d.written++, target.key, settings, tick, frame + 2);
  });

  bool collect[std::size(collections)] = {};
  bool anyCollected = false;
  for (size_t c = 0; c < std::size(collections); ++c) {
    collect[c] = presentByKey[c] && !streams.count(collections[c].key) && !direct[c].inOrder;
    anyCollected = anyCollected || collect[c];
    if (collect[c]) {
      direct[c].stream = SampleStream();
      collections[c].frames.reserve(counts[c]);
      adviseHugePages(collections[c].frames.data(), counts[c] * sizeof(RawFrame));
    }
  }
  if (anyCollected)
    ok = scan([&](Collection& target, uint32_t base, const uint8_t* frame) {
      if (!collect[&target - collections]) return;
      RawFrame raw;
      raw.tick = static_cast<int32_t>(base + frame[1]);
      std::memcpy(raw.payload, frame + 2, 6);
      target.frames.push_back(raw);
    });

  // Streams go in in the same order whichever way they were built.
  for (size_t c = 0; c < std::size(collections); ++c) {
    Collection& collection = collections[c];
    if (!presentByKey[c] || streams.count(collection.key)) continue;
    if (!collect[c]) {
      Direct& d = direct[c];
      if (d.written < d.stream.count) shrinkStream(d.stream, d.written);  // the file came up short
      streams.emplace(collection.key, std::move(d.stream));
      continue;
    }
    sortAndDeduplicate(collection.frames);
    const uint64_t count = collection.frames.size();
    SampleStream& stream = streams.try_emplace(collection.key, collection.channels, count).first->second;
    for (uint64_t i = 0; i < count; ++i)
      storeSample(stream, i, collection.key, settings, collection.frames[i].tick, collection.frames[i].payload);
    std::vector<RawFrame>().swap(collection.frames);
  }
  closeFile(file);
  return ok;
}

bool parseRecordingFile(DeviceSettings& settings, StreamMap& streams, const char* utf8Path) {
  FilePtr file = openFile(utf8Path, OpenMode::ReadBinary);
  return parseRecording(settings, streams, file);
}

}  // namespace kinovar
