#include "gen/sync_set.h"

#include <cmath>

namespace kinovar::gen {

namespace {

// A sensor's own ticks at true time t.
int64_t ownTicks(const SyncSensor& sensor, double t, uint16_t clock) {
  return std::llround((t - sensor.clockZero) * clock * (1.0 + sensor.ppm * 1e-6));
}

// The first reading of the shared reference clock; the second is markSpan later.
constexpr double kMarkStart = 100.0;
constexpr uint16_t kMarkMillis[2] = {250, 500};

}  // namespace

RecordingRecipe syncSensorRecipe(const SyncSetRecipe& set, size_t i) {
  const SyncSensor& sensor = set.sensors.at(i);
  const SyncSensor& master = set.sensors.at(0);
  RecordingRecipe recipe = set.base;
  const uint16_t clock = recipe.clock;
  recipe.seed = set.base.seed + static_cast<uint32_t>(i);
  recipe.deviceId = set.base.deviceId + static_cast<int32_t>(i);
  recipe.startTick = static_cast<uint32_t>(ownTicks(sensor, sensor.firstSample, clock));
  recipe.motion.stillSeconds = set.motionStart - sensor.firstSample;
  if (sensor.cutBlocks > 0) recipe.tricky.cutBlocks = sensor.cutBlocks;
  const bool isMaster = i == 0;

  switch (set.method) {
    case SyncMethod::TimeMarks: {
      const double seconds[2] = {kMarkStart, kMarkStart + std::round(set.markSpan)};
      TimeMarksRecipe marks;
      marks.value4 = static_cast<uint8_t>(static_cast<int64_t>(seconds[0]) % 256);
      marks.value5 = kMarkMillis[0];
      marks.value6 = static_cast<uint32_t>(ownTicks(sensor, seconds[0] + kMarkMillis[0] / 1000.0, clock));
      marks.value9 = static_cast<uint8_t>(static_cast<int64_t>(seconds[1]) % 256);
      marks.value10 = kMarkMillis[1];
      marks.value11 = static_cast<uint32_t>(ownTicks(sensor, seconds[1] + kMarkMillis[1] / 1000.0, clock));
      recipe.timeMarks = marks;
      break;
    }
    case SyncMethod::RadioSettings: {
      // Both counters read at the slave's first sample.
      RadioSettings radio;
      radio.mode = isMaster ? 0 : 1;
      radio.channel = set.radioChannel;
      radio.wordA = recipe.startTick;
      radio.wordB = static_cast<uint32_t>(ownTicks(master, sensor.firstSample, clock));
      recipe.radio = radio;
      break;
    }
    case SyncMethod::RadioStream: {
      RadioTimeRecipe radio;
      radio.role = isMaster ? 0 : 1;
      radio.channel = set.radioChannel;
      // The master's ticks at the true instant of each own tick.
      const double masterRate = 1.0 + master.ppm * 1e-6;
      const double offsetTicks = (sensor.clockZero - master.clockZero) * masterRate * clock;
      radio.valueOffsetTicks = std::llround(offsetTicks);
      radio.valueRate = masterRate / (1.0 + sensor.ppm * 1e-6);
      // Each pair rounds the master's time once, as the master's counter would.
      radio.valueOffsetFraction = offsetTicks - static_cast<double>(radio.valueOffsetTicks);
      radio.frequency = set.radioHz;
      radio.corrupt = isMaster ? 0.0 : set.radioCorrupt;
      recipe.radioTime = radio;
      break;
    }
  }
  return recipe;
}

bool writeSyncSet(const std::string& folder, const SyncSetRecipe& set, SyncSet* written) {
  SyncSet local;
  SyncSet& out = written ? *written : local;
  out = SyncSet{};
  for (size_t i = 0; i < set.sensors.size(); ++i) {
    const std::string& name = set.sensors[i].name;
    out.paths.push_back(folder + "/" + (name.empty() ? "sensor" + std::to_string(i) : name) + ".bin");
    out.recipes.push_back(syncSensorRecipe(set, i));
    out.samples.emplace_back();
    if (!writeRecording(out.paths.back(), out.recipes.back(), &out.samples.back())) return false;
  }
  return true;
}

}  // namespace kinovar::gen
