// Synchronisation of two small fuzzed recordings. Input: a big-endian 16-bit
// length, the first recording, then the second one.
#include <cstring>
#include <vector>

#include "common.h"
#include "orientation/orientation.h"
#include "sync/sync.h"

using namespace kinovar;

namespace {

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// Bit for bit, so that NaN times (clock rate 0) compare equal to themselves.
bool sameMaps(const StreamMap& a, const StreamMap& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [key, stream] : a) {
    const SampleStream* other = findStream(b, key);
    if (!other || other->channels != stream.channels || other->count != stream.count ||
        !sameBits(other->values, stream.values) || !sameBits(other->times, stream.times))
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t first = std::min<size_t>(static_cast<size_t>(data[0]) << 8 | data[1], size - 2);
  std::vector<DeviceSettings> settings(2);
  std::vector<StreamMap> streams(2);
  if (!fuzz::parseBytes(data + 2, first, settings[0], streams[0])) return 0;
  if (!fuzz::parseBytes(data + 2 + first, size - 2 - first, settings[1], streams[1])) return 0;
  for (size_t i = 0; i < 2; ++i) estimateOrientation(settings[i], streams[i]);

  const std::vector<StreamMap> before = streams;
  std::vector<StreamMap> synced;
  const bool ok = syncRecordings(synced, settings, streams);
  for (size_t i = 0; i < 2; ++i)
    if (!sameMaps(before[i], streams[i])) fuzz::fail("synchronisation changed an input map");
  if (!ok) return 0;
  if (synced.size() != 2) fuzz::fail("not one output map per recording");
  for (const StreamMap& map : synced)
    for (const auto& [key, stream] : map)
      if (stream.values.size() != stream.channels * stream.count || stream.times.size() != stream.count)
        fuzz::fail("cut stream arrays do not match channels x count");
  return 0;
}
