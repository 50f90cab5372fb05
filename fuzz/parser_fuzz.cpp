// Recording files as they come off a half-written or corrupted sensor memory:
// parse, orientation, CSV export and the JSON answer must stay in bounds.
#include <cmath>

#include "common.h"
#include "export/csv.h"
#include "export/json.h"
#include "orientation/orientation.h"

using namespace kinovar;

namespace {

// Rows of the CSV grow with clock rate / sensor rate per sample; past this
// ratio one execution writes millions of rows and fuzzing stalls.
bool cheapToExport(const DeviceSettings& s) {
  auto cheap = [&](bool present, int32_t rate) {
    return !present || rate == 0 || static_cast<int64_t>(s.frequency) / rate <= 64;
  };
  return cheap(s.accel.present, s.accel.frequency) && cheap(s.gyro.present, s.gyro.frequency) &&
         cheap(s.baro.present, s.baro.frequency);
}

void checkStreams(const StreamMap& streams) {
  for (const auto& [key, stream] : streams) {
    if (stream.values.size() != stream.channels * stream.count || stream.times.size() != stream.count)
      fuzz::fail("stream arrays do not match channels x count");
    for (uint64_t i = 1; i < stream.count; ++i)
      if (key != kQuaternionKey && stream.times[i] < stream.times[i - 1]) fuzz::fail("samples not sorted by time");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Recording recording;
  ParseStats stats;
  const bool parsed = fuzz::parseBytes(data, size, recording.settings, recording.streams, &stats);
  for (const auto& [key, seen] : stats.streams) {
    const SampleStream* stream = findStream(recording.streams, key);
    if (!stream || stream->count != seen.frames - seen.duplicates || seen.duplicates > seen.frames)
      fuzz::fail("stream count is not frames found less duplicates");
  }
  if (parsed && stats.blocks * 512 + stats.tailBytes != size) fuzz::fail("blocks and tail do not make up the file");
  if (size < 512 && parsed) fuzz::fail("a file shorter than one block parsed");
  if (recording.settings.unknownRecords.size() > 512) fuzz::fail("unknown records longer than the block");
  if (recording.settings.frequency > 0) checkStreams(recording.streams);
  if (parsed) {
    // Whatever the file holds, the accurate estimate is a unit quaternion on every sample.
    StreamMap accurate = recording.streams;
    if (estimateOrientation(recording.settings, accurate, Estimator::Accurate)) {
      const SampleStream& q = accurate.at(kQuaternionKey);
      for (uint64_t i = 0; i < q.count; ++i) {
        const double norm = q.value(0, i) * q.value(0, i) + q.value(1, i) * q.value(1, i) +
                            q.value(2, i) * q.value(2, i) + q.value(3, i) * q.value(3, i);
        if (!(std::fabs(norm - 1) < 1e-9)) fuzz::fail("an accurate quaternion that is not of unit length");
      }
    }
    estimateOrientation(recording.settings, recording.streams);
  }
  if (cheapToExport(recording.settings) && !exportCsv("/dev/null", recording.settings, recording.streams))
    fuzz::fail("export to /dev/null failed");
  readResultJson(recording.settings);
  return 0;
}
