// Hand-built streams for the synchronisation tests.
#pragma once

#include "reader/recording.h"

namespace kinovar::test {

// Sample i of channel c holds c * 100000 + i, so a cut shows where it started.
inline SampleStream rampStream(uint64_t channels, uint64_t count, double t0, double period) {
  SampleStream s(channels, count);
  for (uint64_t i = 0; i < count; ++i) {
    s.times[i] = t0 + static_cast<double>(i) * period;
    for (uint64_t c = 0; c < channels; ++c) s.value(c, i) = static_cast<double>(c * 100000 + i);
  }
  return s;
}

inline SampleStream stampStream(const std::vector<double>& times) {
  SampleStream s(1, times.size());
  for (size_t i = 0; i < times.size(); ++i) {
    s.times[i] = times[i];
    s.values[i] = static_cast<double>(i);
  }
  return s;
}

// Index of the original sample now at position 0 of channel 0.
inline uint64_t firstOriginal(const SampleStream& s) { return static_cast<uint64_t>(s.values.at(0)); }

}  // namespace kinovar::test
