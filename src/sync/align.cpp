// Stream selection and clock alignment of a synchronised set.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "model/streams.h"
#include "sync/clock_model.h"
#include "sync/sync.h"

namespace kinovar {

namespace {

constexpr uint32_t kCandidateKeys[4] = {kAccelKey, kGyroKey, kBaroKey, kQuaternionKey};

// Every offset method but the radio stream's divides by the clock rate; a
// rate of 0 would shift every sample by NaN or infinity.
bool refuseClock(const DeviceSettings& settings) { return settings.frequency <= 0; }

bool refuse(SyncReport& report, SyncRefusal why, std::vector<size_t> recordings = {}) {
  report.refusal = why;
  report.recordings = std::move(recordings);
  return false;
}

// A key is common when every recording has a stream for it with samples and
// a usable rate; an empty one has no first sample to align on.
std::vector<uint32_t> commonKeys(const std::vector<Recording>& set) {
  std::vector<uint32_t> keys;
  for (const uint32_t key : kCandidateKeys) {
    bool common = true;
    for (const Recording& r : set) {
      const SampleStream* stream = findStream(r.streams, key);
      if (stream == nullptr || stream->count == 0 || rateOf(r.settings, key) <= 0) common = false;
    }
    if (common) keys.push_back(key);
  }
  return keys;
}

// The earliest first sample of the streams a set may align on (0 for none).
double firstTime(const std::vector<Recording>& set, size_t i, const OwnTime& streamed) {
  double first = std::numeric_limits<double>::infinity();
  for (const uint32_t key : kCandidateKeys) {
    const SampleStream* stream = findStream(set[i].streams, key);
    if (stream && stream->count > 0 && !stream->times.empty()) first = std::min(first, stream->times[0]);
    else if (stream && stream->count > 0 && streamed) first = std::min(first, streamed(i, key, 0));
  }
  return std::isinf(first) ? 0.0 : first;
}

// The whole turns of the 32-bit counter (in seconds of its clock) that put
// a signed tick nearest `own`, the samples' unwrapped time; 0 without one.
double turnsNear(int32_t tick, const DeviceSettings& settings, double own) {
  const double wrap = 4294967296.0 / settings.frequency;
  return wrap * std::round((own - tick / static_cast<double>(settings.frequency)) / wrap);
}

// In double precision: a mark is the reference time of the sensor's tick 0,
// and with ticks near 2^30 single precision is off by a tenth of a second.
// `own`: where the samples' times follow the counter past 2^31, their first
// time, which each mark's tick is placed near.
double timeMarkStart(const DeviceSettings& settings, double own = NAN) {
  const TimeMarksSettings& m = settings.timeMarks;
  const double clock = settings.frequency;
  double mark1 = (m.value4 * 1000.0 + m.value5) / 1000.0 - m.value6 / clock;
  double mark2 = (m.value9 * 1000.0 + m.value10) / 1000.0 - m.value11 / clock;
  if (std::isfinite(own)) mark1 -= turnsNear(m.value6, settings, own), mark2 -= turnsNear(m.value11, settings, own);
  return (mark1 + mark2) * 0.5;
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

// The master of a set on one radio channel, or the refusal.
bool radioMaster(const std::vector<Recording>& set, size_t& master, SyncReport& report) {
  const size_t n = set.size();
  const bool rolesFromRadioTime = set[0].settings.radioTime.role != 2;
  const auto role = [&](size_t i) {
    return rolesFromRadioTime ? set[i].settings.radioTime.role : set[i].settings.radioMode;
  };
  const auto channel = [&](size_t i) {
    return rolesFromRadioTime ? set[i].settings.radioTime.channel : set[i].settings.radioChannel;
  };
  std::vector<size_t> masters, offChannel;
  for (size_t i = 0; i < n; ++i) {
    if (role(i) == 0) masters.push_back(i);
    if (channel(i) != -1 && channel(i) != channel(0)) offChannel.push_back(i);
  }
  report.masters = static_cast<int>(masters.size());
  if (masters.size() == 1 && offChannel.empty()) {
    master = masters[0];
    return true;
  }
  if (masters.empty()) return refuse(report, SyncRefusal::NoMaster);
  if (masters.size() > 1) return refuse(report, SyncRefusal::SeveralMasters, masters);
  report.channel = channel(0);
  for (const size_t i : offChannel) report.channels.push_back(channel(i));
  return refuse(report, SyncRefusal::OtherChannel, offChannel);
}

// The master stays; every slave moves onto its clock.
bool byRadio(const std::vector<Recording>& set, SyncReport& report, const OwnTime& streamed) {
  const size_t n = set.size();
  std::vector<double>& offsets = report.offsets;
  size_t master = 0;
  if (!radioMaster(set, master, report)) return false;
  report.clocks[master].master = report.clocks[master].rateMeasured = true;
  std::vector<size_t> noClock;
  if (report.method == SyncMethod::RadioSettings) {
    for (size_t i = 0; i < n; ++i)
      if (i != master && refuseClock(set[i].settings)) noClock.push_back(i);
    if (!noClock.empty()) return refuse(report, SyncRefusal::NoClock, noClock);
    for (size_t i = 0; i < n; ++i)
      if (i != master) {
        offsets[i] = radioWordOffset(set[i].settings);
        report.clocks[i] = radioSettingsClock(set[i].settings);
      }
    return true;
  }
  // The first slave at fault names the cause; every slave with that fault is listed.
  std::vector<size_t> noRadio;
  SyncRefusal first = SyncRefusal::None;
  for (size_t i = 0; i < n; ++i) {
    if (i == master) continue;
    const SampleStream* radio = findStream(set[i].streams, kRadioTimeKey);
    if (radio == nullptr || radio->count == 0 || radio->values.empty() || radio->times.empty()) {
      noRadio.push_back(i);
      if (first == SyncRefusal::None) first = SyncRefusal::NoRadioData;
    } else if (refuseClock(set[i].settings)) {  // radio times are ticks over the clock rate too
      noClock.push_back(i);
      if (first == SyncRefusal::None) first = SyncRefusal::NoClock;
    } else {
      offsets[i] = radio->values[0] - radio->times[0];
      report.clocks[i] = radioStreamClock(*radio, set[i].settings.frequency);
      // The master's signed counter may pass 2^31 between the slave's first
      // pair and its own samples: the turn that puts both on one stretch of time.
      const double wrap = 4294967296.0 / set[i].settings.frequency;
      const double turns = std::round((firstTime(set, master, streamed) - firstTime(set, i, streamed) - offsets[i]) / wrap);
      if (turns != 0.0 && std::isfinite(turns)) {
        offsets[i] += turns * wrap;
        report.clocks[i].offset += turns * wrap;
        for (ClockFit& piece : report.clocks[i].pieces) piece.offset += turns * wrap;
      }
    }
  }
  if (first != SyncRefusal::None) return refuse(report, first, first == SyncRefusal::NoClock ? noClock : noRadio);
  return true;
}

// Each recording's offset in seconds, by the method the first recording names.
bool clockOffsets(const std::vector<Recording>& set, SyncReport& report, const OwnTime& streamed) {
  report.offsets.assign(set.size(), 0.0);
  report.clocks.assign(set.size(), ClockModel{});
  if (!set[0].settings.timeMarks.present) {
    report.method = set[0].settings.radioTime.role != 2 ? SyncMethod::RadioStream : SyncMethod::RadioSettings;
    return byRadio(set, report, streamed);
  }
  report.method = SyncMethod::TimeMarks;
  std::vector<size_t> noClock;
  for (size_t i = 0; i < set.size(); ++i)
    if (refuseClock(set[i].settings)) noClock.push_back(i);
  if (!noClock.empty()) return refuse(report, SyncRefusal::NoClock, noClock);
  std::vector<double> own(set.size(), NAN);
  for (size_t i = 0; i < set.size(); ++i)
    if (set[i].unwrappedTicks) own[i] = firstTime(set, i, streamed);
  for (size_t i = 0; i < set.size(); ++i) report.offsets[i] = timeMarkStart(set[i].settings, own[i]);
  const double earliest = *std::min_element(report.offsets.begin(), report.offsets.end());
  for (double& offset : report.offsets) offset -= earliest;
  for (size_t i = 0; i < set.size(); ++i) {
    report.clocks[i] = timeMarksClock(set[i].settings);
    report.clocks[i].offset -= earliest;
    // The model stands on the first mark: its tick on the samples' turn.
    if (std::isfinite(own[i]))
      report.clocks[i].offset -= report.clocks[i].rate * turnsNear(set[i].settings.timeMarks.value6, set[i].settings, own[i]);
  }
  return true;
}

// Keeps the aligned streams and the events, moved alike so that an event
// on a sample's tick keeps that sample's time to the bit; drops the rest.
// A rate of exactly 1 is the classic shift by the offset alone.
void moveOntoCommonClock(StreamMap& streams, const std::vector<uint32_t>& keys, double offset, double rate) {
  for (auto it = streams.begin(); it != streams.end();) {
    const bool aligned = std::find(keys.begin(), keys.end(), it->first) != keys.end();
    if (!aligned && it->first != kEventKey) {
      it = streams.erase(it);
      continue;
    }
    if (rate != 1.0 || offset != 0.0)
      for (double& t : it->second.times) t = onCommonClock(t, offset, rate);
    ++it;
  }
}

// Aligned by drift, the models place the recordings: their offsets become
// the set's, time marks counted from the earliest model's tick 0 (the
// classic offsets moved alike, to say how far they would be off).
void adoptModels(SyncReport& report, std::vector<double>& classic) {
  if (report.method == SyncMethod::TimeMarks) {
    double earliest = std::numeric_limits<double>::infinity();
    for (const ClockModel& clock : report.clocks) earliest = std::min(earliest, clock.offset);
    for (size_t i = 0; i < report.clocks.size(); ++i) {
      report.clocks[i].offset -= earliest;
      classic[i] -= earliest;
    }
  }
  for (size_t i = 0; i < report.clocks.size(); ++i) report.offsets[i] = report.clocks[i].offset;
  report.drift = true;
}

bool align(std::vector<Recording>& set, WindowPlan& plan, SyncReport& report, ClockAlignment how, const OwnTime& streamed) {
  report = SyncReport{};
  if (set.size() < 2) return refuse(report, SyncRefusal::TooFewRecordings);
  const std::vector<uint32_t> keys = commonKeys(set);
  if (keys.empty()) return refuse(report, SyncRefusal::NoCommonStreams);
  if (!clockOffsets(set, report, streamed)) return false;

  // Drift where the data give a rate; a set whose every rate is unmeasured keeps its offsets.
  std::vector<double> classic = report.offsets;
  const bool drift = how != ClockAlignment::Offset &&
                     std::any_of(report.clocks.begin(), report.clocks.end(),
                                 [](const ClockModel& c) { return c.rateMeasured && !c.master; });
  if (drift) adoptModels(report, classic);

  std::vector<std::vector<WorkingStream>> working(set.size());
  for (size_t i = 0; i < set.size(); ++i) {
    const double offset = report.offsets[i], rate = drift ? report.clocks[i].rate : 1.0;
    moveOntoCommonClock(set[i].streams, keys, offset, rate);
    for (const uint32_t key : keys) {
      const SampleStream& stream = set[i].streams.at(key);
      const int32_t frequency = rateOf(set[i].settings, key);
      if (!streamed || stream.times.size() >= stream.count) {
        working[i].push_back({key, &stream, frequency});
        continue;
      }
      working[i].push_back({key, frequency, stream.count,
                            [&streamed, i, key, offset, rate](uint64_t j) { return onCommonClock(streamed(i, key, j), offset, rate); }});
    }
  }
  plan = drift && how == ClockAlignment::Drift ? planGridWindow(working, set[0].settings.frequency) : planCommonWindow(working);
  // A row holds a sample within half a period of its instant, and what the
  // clock may slip against the grid's over it (its rate, and that rate's
  // uncertainty); a stream whose rate does not divide its clock's stands on
  // the nearest ticks, up to half a tick off.
  for (size_t i = 0; i < set.size() && plan.grid(); ++i) {
    const ClockModel& clock = report.clocks[i];
    const int32_t ticks = set[i].settings.frequency;
    const double slip = std::fabs(clock.rate - 1.0) + clock.ppmUncertainty * 1e-6 + 1e-6;
    plan.gridReach.emplace_back();
    for (size_t k = 0; k < keys.size(); ++k) {
      const int32_t own = working[i][k].frequency;
      const double rounded = own > 0 && ticks % own != 0 ? 0.5 / ticks : 0.0;
      plan.gridReach[i].push_back(0.5 * plan.gridPeriod(k) * (1.0 + slip) + rounded);
    }
  }
  report.windowStart = plan.eventStart;
  report.windowEnd = plan.reportEnd;
  // Own time at the window's end, where offset-only alignment is furthest off for a clock that drifts.
  for (size_t i = 0; i < set.size(); ++i) {
    ClockModel& clock = report.clocks[i];
    const double own = drift ? (report.windowEnd - clock.offset) / clock.rate : report.windowEnd - report.offsets[i];
    clock.endErrorMs = std::fabs(clock.offset - classic[i] + (clock.rate - 1.0) * own) * 1000.0;
  }
  report.samples.assign(set.size(), {});
  report.events.assign(set.size(), 0);
  return true;
}

}  // namespace

std::string refusalLine(const SyncReport& report) {
  switch (report.refusal) {
    case SyncRefusal::None: return "";
    case SyncRefusal::TooFewRecordings: return "Wrong number of sensors.\n";
    case SyncRefusal::NoMaster:
    case SyncRefusal::SeveralMasters:
    case SyncRefusal::OtherChannel:
      return "Possibly no master or more than one used (" + std::to_string(report.masters) +
             "). Different radio channels are used.\n";
    case SyncRefusal::NoRadioData: return "No radio data.\n";
    case SyncRefusal::NoClock: return "Clock frequency of 0 in the set.\n";
    case SyncRefusal::NoCommonStreams: return "No common streams with samples.\n";
  }
  return "";
}

bool alignRecordings(std::vector<Recording>& set, WindowPlan& plan, SyncReport* report, ClockAlignment how,
                     const OwnTime& streamed) {
  SyncReport local;
  SyncReport& r = report ? *report : local;
  return align(set, plan, r, how, streamed);
}

void cutToWindow(const WindowPlan& plan, size_t i, Recording& recording, SyncReport* report) {
  const bool reported = report != nullptr && i < report->samples.size();
  applyCommonWindow(plan, i, recording.streams, reported ? &report->samples[i] : nullptr);
  if (!reported) return;
  const SampleStream* events = findStream(recording.streams, kEventKey);
  report->events[i] = events ? events->count : 0;
}

bool syncRecordings(std::vector<Recording>& set, SyncReport* report, ClockAlignment how) {
  WindowPlan plan;
  if (!alignRecordings(set, plan, report, how)) return false;
  for (size_t i = 0; i < set.size(); ++i) cutToWindow(plan, i, set[i], report);
  return true;
}

}  // namespace kinovar
