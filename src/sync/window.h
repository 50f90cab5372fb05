// The common time window of a set of aligned recordings.
#pragma once

#include <cstdint>
#include <vector>

#include "reader/recording.h"

namespace kinovar {

// One aligned copy, living in a recording's output map.
struct WorkingStream {
  uint32_t key = 0;
  SampleStream* stream = nullptr;
  int32_t frequency = 0;  // samples per second of this stream
};

// working[i] lists recording i's copies, the same keys in the same order for
// every recording. Cuts each copy in place to the window that all of them
// cover, starting at its sample nearest to the latest first sample of its key,
// and adds each recording's event stream (key 6 of inputs[i]), cut to the same
// window on its unshifted times, to outputs[i]. Empty streams and rates of 0
// are the caller's to keep out; given them anyway, nothing is read out of bounds.
void cutToCommonWindow(std::vector<std::vector<WorkingStream>>& working,
                       const std::vector<StreamMap>& inputs, std::vector<StreamMap>& outputs);

// The same in two steps, so that samples can still be written between them
// (counts and times must stay as they are): where every copy's window starts
// and how many samples it keeps, then recording i's cut.
struct WindowPlan {
  size_t keys = 0;  // 0: nothing to cut
  std::vector<std::vector<uint64_t>> start, count;
  double eventStart = 0, eventEnd = 0;
};
WindowPlan planCommonWindow(const std::vector<std::vector<WorkingStream>>& working);
// Cuts working (recording i's copies) and, given both maps, adds the events.
void applyCommonWindow(const WindowPlan& plan, size_t i, std::vector<WorkingStream>& working, const StreamMap* input,
                       StreamMap* output);

// Samples a stream of `frequency` keeps in a window of `window` seconds,
// never more than the `left` it has from its start index on.
uint64_t windowSampleCount(int32_t frequency, float window, uint64_t left);

}  // namespace kinovar
