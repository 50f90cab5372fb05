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
  std::vector<Recording> set(2);
  if (!fuzz::parseBytes(data + 2, first, set[0].settings, set[0].streams)) return 0;
  if (!fuzz::parseBytes(data + 2 + first, size - 2 - first, set[1].settings, set[1].streams)) return 0;
  for (Recording& r : set) estimateOrientation(r.settings, r.streams);

  const std::vector<Recording> before = set;
  if (!syncRecordings(set)) {
    for (size_t i = 0; i < 2; ++i)
      if (!sameMaps(before[i].streams, set[i].streams)) fuzz::fail("a refused set was changed");
    return 0;
  }
  for (const Recording& r : set)
    for (const auto& [key, stream] : r.streams)
      if (stream.values.size() != stream.channels * stream.count || stream.times.size() != stream.count)
        fuzz::fail("cut stream arrays do not match channels x count");
  return 0;
}
