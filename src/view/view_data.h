// What the viewer page draws: per plot and channel, the minimum and maximum
// of the samples in each time bin, at the finest bin the page budget allows
// and at every coarser power of two, so that a page can give each pixel
// column the extremes of the samples it covers at any zoom. Roll and yaw,
// which wrap at ±180°, keep the shortest arc holding their samples instead.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <string>
#include <string_view>
#include <vector>

#include "model/recording.h"
#include "reader/stream_reader.h"

namespace kinovar {

struct ViewOptions {
  uint64_t budgetBytes = 16'000'000;  // the pyramids' bytes, before the page's Base64
  std::string qualityJson;            // when not empty, the header's "quality"
  std::string activityJson;           // when not empty, the header's "activity"
  std::string calibrationJson;        // when not empty, the header's "calibration": what the samples went through
};

// The page's data: "KVW1", the header's length (u32, little-endian), the
// header (JSON: plots, their bins, levels and value ranges, "wraps": 360 on
// the channels that keep arcs, the events),
// zeros to an even offset, then the levels' codes as little-endian u16.
std::vector<uint8_t> buildViewData(const StreamMap& streams, const std::string& created, const ViewOptions& options = {});

// The same from streams read in pieces: `shapes` gives each stream's
// channels and count, `span` its first and last sample's time, `cursor`
// its samples in order, `piece` of them at a time.
struct ViewSource {
  const StreamMap* shapes = nullptr;
  std::function<std::unique_ptr<StreamCursor>(uint32_t key)> cursor;
  std::function<std::pair<double, double>(uint32_t key)> span;
  uint64_t piece = kDefaultChunkSamples;
};
std::vector<uint8_t> buildViewData(const ViewSource& source, const std::string& created, const ViewOptions& options = {});

// Decodes a classic CSV export's text back into streams (keys 1, 2, 3, 6, 10)
// and its creation date; false, with a reason, when it is not one.
bool decodeClassicCsv(std::string_view text, StreamMap& streams, std::string& created, std::string& error);

}  // namespace kinovar
