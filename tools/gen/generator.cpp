#include "gen/generator.h"

#include <algorithm>
#include <functional>
#include <cmath>
#include <cstdio>
#include <random>

#include "io/paths.h"
#include "reader/calendar.h"

namespace kinovar::gen {

namespace {

constexpr size_t kBlock = 512;
constexpr double kPi = 3.14159265358979323846;

struct Frame {
  uint64_t time;  // unwrapped tick, for ordering
  uint8_t kind;
  uint8_t payload[6];
};

void put16(std::vector<uint8_t>& v, uint32_t x) {
  v.push_back(static_cast<uint8_t>(x >> 8));
  v.push_back(static_cast<uint8_t>(x));
}
void put32(std::vector<uint8_t>& v, uint32_t x) {
  put16(v, x >> 16);
  put16(v, x & 0xFFFF);
}
void putBig16(uint8_t* p, int32_t x) {
  p[0] = static_cast<uint8_t>(static_cast<uint32_t>(x) >> 8);
  p[1] = static_cast<uint8_t>(x);
}

int16_t toRaw(double value, double countsPerUnit) {
  const double raw = std::nearbyint(value * countsPerUnit);
  return static_cast<int16_t>(std::clamp(raw, -32768.0, 32767.0));
}

double accelRange(uint8_t code) {
  switch (code) {
    case 0: return 2;
    case 1: return 16;
    case 3: return 8;
    default: return 4;
  }
}
double gyroRange(uint8_t code) {
  switch (code) {
    case 0: return 245;
    case 1: return 500;
    case 3: return 2000;
    case 4: return 125;
    default: return 1000;
  }
}

std::vector<uint8_t> dateRecord(uint8_t subtype, const DateTimeFields& d) {
  std::vector<uint8_t> p = {static_cast<uint8_t>(d.second), static_cast<uint8_t>(d.minute), static_cast<uint8_t>(d.hour),
                            static_cast<uint8_t>(d.day), static_cast<uint8_t>(d.month)};
  put16(p, static_cast<uint32_t>(d.year));
  return settingsRecord(3, subtype, p);
}

std::vector<uint8_t> sensorRecord(uint8_t subtype, uint8_t frameId, uint16_t hz, uint8_t rangeCode) {
  std::vector<uint8_t> p = {frameId};
  put16(p, hz);
  p.push_back(rangeCode);
  for (int i = 0; i < 3; ++i) put32(p, 0);      // offsets
  for (int i = 0; i < 3; ++i) put32(p, 10000);  // gains of 1.0
  put16(p, 0);
  return settingsRecord(3, subtype, p);
}

std::vector<uint8_t> settingsRecords(const RecordingRecipe& recipe) {
  std::vector<std::vector<uint8_t>> records;
  std::vector<uint8_t> p;
  p.clear();
  put32(p, static_cast<uint32_t>(recipe.deviceId));
  p.push_back(2);
  p.push_back(recipe.bodyLocation);
  records.push_back(settingsRecord(1, 1, p));
  p.clear();
  put16(p, 1), put16(p, 2), put16(p, 3);
  records.push_back(settingsRecord(1, 2, p));
  if (recipe.radioMode) records.push_back(settingsRecord(1, 5, {*recipe.radioMode, recipe.radioChannel}));
  p.clear();
  put16(p, recipe.clock);
  records.push_back(settingsRecord(3, 8, p));
  records.push_back(dateRecord(0, recipe.createdAt));
  records.push_back(dateRecord(6, recipe.endDate.value_or(addSeconds(recipe.createdAt, recipe.seconds))));
  p.clear();
  put16(p, recipe.measureId);
  records.push_back(settingsRecord(3, 21, p));
  if (recipe.accelHz) records.push_back(sensorRecord(2, recipe.accelFrameId, recipe.accelHz, recipe.accelRangeCode));
  if (recipe.gyroHz) records.push_back(sensorRecord(3, recipe.gyroFrameId, recipe.gyroHz, recipe.gyroRangeCode));
  if (recipe.baroHz) {
    p = {recipe.baroFrameId};
    put16(p, recipe.baroHz);
    put16(p, 0);
    records.push_back(settingsRecord(3, 4, p));
  }
  if (recipe.eventHz) {
    p = {recipe.eventFrameId};
    put16(p, recipe.eventHz);
    records.push_back(settingsRecord(3, 16, p));
  }
  if (recipe.radio) {
    p = {recipe.radio->mode};
    put32(p, recipe.radio->wordA);
    put32(p, recipe.radio->wordB);
    p.push_back(recipe.radio->channel);
    records.push_back(settingsRecord(3, 9, p));
  }
  if (recipe.radioTime) {
    p = {recipe.radioTime->frameId};
    put16(p, recipe.radioTime->frequency);
    p.push_back(recipe.radioTime->role);
    p.push_back(recipe.radioTime->channel);
    records.push_back(settingsRecord(3, 17, p));
  }
  if (recipe.timeMarks) {
    const TimeMarksRecipe& m = *recipe.timeMarks;
    p = {0x18};
    put16(p, 1);
    p.push_back(0), p.push_back(0), p.push_back(m.value4);
    put16(p, m.value5);
    put32(p, m.value6);
    p.push_back(0), p.push_back(0), p.push_back(m.value9);
    put16(p, m.value10);
    put32(p, m.value11);
    records.push_back(settingsRecord(3, 18, p));
  }
  for (const auto& extra : recipe.extraRecords) records.push_back(extra);
  std::vector<uint8_t> all;
  for (const auto& r : records) all.insert(all.end(), r.begin(), r.end());
  return all;
}

// Block 0 is also scanned for frames: place the records where no frame slot
// holds a declared kind byte, so the settings never read as samples.
std::vector<uint8_t> settingsBlock(const RecordingRecipe& recipe, const std::vector<uint8_t>& kinds) {
  const std::vector<uint8_t> records = settingsRecords(recipe);
  for (size_t start = 0; start + records.size() <= kBlock; ++start) {
    std::vector<uint8_t> block(kBlock, 0);
    std::copy(records.begin(), records.end(), block.begin() + start);
    bool clean = true;
    for (size_t k = 0; k < 63 && clean; ++k)
      clean = std::find(kinds.begin(), kinds.end(), block[8 + 8 * k]) == kinds.end();
    if (clean) return block;
  }
  std::vector<uint8_t> block(kBlock, 0);  // cannot be kept clean: write it as is
  std::copy_n(records.begin(), std::min(records.size(), kBlock), block.begin());
  return block;
}

// Quaternion product a b, and v turned by q (q v q*), for a tilted start.
void multiply(const double a[4], const double b[4], double out[4]) {
  out[0] = a[0] * b[0] - a[1] * b[1] - a[2] * b[2] - a[3] * b[3];
  out[1] = a[0] * b[1] + a[1] * b[0] + a[2] * b[3] - a[3] * b[2];
  out[2] = a[0] * b[2] - a[1] * b[3] + a[2] * b[0] + a[3] * b[1];
  out[3] = a[0] * b[3] + a[1] * b[2] - a[2] * b[1] + a[3] * b[0];
}
void rotate(const double q[4], const double v[3], double out[3]) {
  const double p[4] = {0, v[0], v[1], v[2]}, conj[4] = {q[0], -q[1], -q[2], -q[3]};
  double t[4], r[4];
  multiply(q, p, t);
  multiply(t, conj, r);
  std::copy_n(r + 1, 3, out);
}

// Unwrapped tick of sample i of a source at `hz` on a clock of `clock` ticks per second.
uint64_t sampleTick(uint64_t i, uint32_t hz, uint32_t clock) { return (i * clock + hz / 2) / hz; }

// The posture schedule of Postures: gravity seen in the sensor frame, and
// the sensor's turning rate, at any time.
class PostureSchedule {
 public:
  PostureSchedule(const Postures& postures, double seconds, uint32_t seed) : turn_(postures.turnSeconds) {
    if (postures.holdSeconds <= 0) return;
    std::mt19937 random(seed ^ 0x9057u);  // apart from the samples' draws
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double lowest = std::cos(std::clamp(postures.spreadDegrees, 0.0, 180.0) * kPi / 180);
    for (double t = 0; t <= seconds; ) {
      const double z = lowest + (1.0 - lowest) * unit(random), azimuth = 2 * kPi * unit(random);
      const double r = std::sqrt(std::max(0.0, 1 - z * z));
      holds_.push_back({t, postures.holdSeconds * (0.5 + unit(random)), {r * std::cos(azimuth), r * std::sin(azimuth), z}});
      t += holds_.back().seconds + turn_;
    }
  }
  bool active() const { return !holds_.empty(); }
  void at(double t, double gravity[3], double rateDps[3]) const {
    size_t i = 0;
    while (i + 1 < holds_.size() && holds_[i + 1].start <= t) ++i;
    const Hold& h = holds_[i];
    std::copy_n(h.direction, 3, gravity);
    std::fill_n(rateDps, 3, 0.0);
    const double into = t - h.start - h.seconds;
    if (into <= 0 || i + 1 >= holds_.size() || turn_ <= 0) return;
    // Turning from this posture's gravity to the next one's about their common normal.
    const double* a = h.direction;
    const double* b = holds_[i + 1].direction;
    double n[3] = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
    const double sine = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    if (sine < 1e-9) return;
    for (double& x : n) x /= sine;
    const double angle = std::atan2(sine, a[0] * b[0] + a[1] * b[1] + a[2] * b[2]), th = angle * into / turn_;
    const double c = std::cos(th), s = std::sin(th);
    const double cross[3] = {n[1] * a[2] - n[2] * a[1], n[2] * a[0] - n[0] * a[2], n[0] * a[1] - n[1] * a[0]};
    for (int k = 0; k < 3; ++k) gravity[k] = a[k] * c + cross[k] * s;  // n is normal to a
    // Gravity turning by +angle about n in the sensor frame is the sensor turning by -angle.
    for (int k = 0; k < 3; ++k) rateDps[k] = -n[k] * angle / turn_ * 180 / kPi;
  }

 private:
  struct Hold {
    double start, seconds;
    double direction[3];
  };
  double turn_;
  std::vector<Hold> holds_;
};

bool within(const std::vector<std::pair<double, double>>& stretches, double t, size_t* which = nullptr) {
  for (size_t i = 0; i < stretches.size(); ++i)
    if (t >= stretches[i].first && t < stretches[i].first + stretches[i].second) {
      if (which) *which = i;
      return true;
    }
  return false;
}

}  // namespace

DateTimeFields addSeconds(const DateTimeFields& start, double seconds) {
  const int64_t at = daysFromCivil(start.year, start.month, start.day) * 86400 + start.hour * 3600 + start.minute * 60 +
                     start.second + std::llround(seconds);
  const int64_t days = (at >= 0 ? at : at - 86399) / 86400, second = at - days * 86400;
  const CivilDate date = civilFromDays(days);
  DateTimeFields end;
  end.year = static_cast<int32_t>(date.year);
  end.month = date.month;
  end.day = date.day;
  end.hour = static_cast<int32_t>(second / 3600);
  end.minute = static_cast<int32_t>(second / 60 % 60);
  end.second = static_cast<int32_t>(second % 60);
  return end;
}

std::vector<uint8_t> settingsRecord(uint8_t type, uint8_t subtype, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> record(payload.size() + 7);
  record[0] = 'Q', record[1] = '7', record[2] = type, record[3] = subtype;
  record[4] = static_cast<uint8_t>(payload.size());
  std::copy(payload.begin(), payload.end(), record.begin() + 5);
  record[5 + payload.size()] = 0xFF;
  record[6 + payload.size()] = 0xFE;
  return record;
}

namespace {

// The scenario's sensors over time: stretch by stretch, with its own draws so
// that recipes without one keep theirs.
class Scenario {
 public:
  Scenario(const RecordingRecipe& recipe) : stretches_(recipe.scenario), random_(recipe.seed ^ 0x5ce7u) {
    double at = 0.0;
    for (const Stretch& s : stretches_) {
      starts_.push_back(at);
      std::vector<double> changes;
      if (s.kind == Stretch::Kind::Sleep) {
        std::uniform_real_distribution<double> every(20 * 60.0, 40 * 60.0);
        for (double t = at + every(random_); t < at + s.seconds; t += every(random_)) changes.push_back(t);
      }
      changes_.push_back(changes);
      at += s.seconds;
    }
    starts_.push_back(at);
  }
  bool active() const { return !stretches_.empty(); }
  bool gap(double t) const {
    const size_t i = at(t);
    return i < stretches_.size() && stretches_[i].kind == Stretch::Kind::Gap;
  }
  // Acceleration in g at time t.
  void accel(double t, double (&a)[3]) {
    static constexpr double kPostures[4][3] = {{0.6, 0.0, 0.8}, {0.0, -0.8, 0.6}, {-0.5, 0.5, 0.7071}, {0.0, 0.0, 1.0}};
    const size_t i = at(t);
    const Stretch& s = stretches_[std::min(i, stretches_.size() - 1)];
    std::normal_distribution<double> noise(0.0, s.noiseMg / 1000.0);
    const double swing = std::sin(2 * kPi * 2.0 * t);
    switch (s.kind) {
      case Stretch::Kind::Active:
        a[0] = 0.3 * 0.4 * swing, a[1] = 0.2 * 0.4 * std::cos(2 * kPi * 2.0 * t), a[2] = 1.0 + 0.4 * swing;
        break;
      case Stretch::Kind::Clipped:
        a[0] = a[1] = a[2] = 40.0 * swing;
        break;
      case Stretch::Kind::Sleep: {
        const std::vector<double>& changes = changes_[i];
        const size_t posture = static_cast<size_t>(std::upper_bound(changes.begin(), changes.end(), t) - changes.begin());
        for (int k = 0; k < 3; ++k) a[k] = kPostures[posture % 4][k];
        break;
      }
      default:
        a[0] = 0.02, a[1] = -0.03, a[2] = std::sqrt(1.0 - 0.02 * 0.02 - 0.03 * 0.03);
    }
    for (double& v : a) v += noise(random_);
  }
  // Angular rate in deg/s about each axis at time t.
  double gyro(double t, int axis) const {
    const size_t i = at(t);
    if (i >= stretches_.size() || stretches_[i].kind != Stretch::Kind::Active) return 0.0;
    return 30.0 * std::sin(2 * kPi * 2.0 * t + axis);
  }

 private:
  size_t at(double t) const {
    return static_cast<size_t>(std::upper_bound(starts_.begin(), starts_.end(), t) - starts_.begin()) - 1;
  }
  std::vector<Stretch> stretches_;
  std::vector<double> starts_;
  std::vector<std::vector<double>> changes_;  // posture changes of each sleep
  std::mt19937 random_;
};

}  // namespace

bool parseScenario(const std::string& text, std::vector<Stretch>& scenario) {
  scenario.clear();
  size_t from = 0;
  while (from <= text.size()) {
    const size_t end = std::min(text.find(',', from), text.size());
    const std::string item = text.substr(from, end - from);
    char kind[16] = "";
    Stretch s;
    if (std::sscanf(item.c_str(), "%15[a-z]:%lf:%lf", kind, &s.seconds, &s.noiseMg) < 2 || !(s.seconds > 0)) return false;
    const std::string k = kind;
    if (k == "active") s.kind = Stretch::Kind::Active;
    else if (k == "nonwear") s.kind = Stretch::Kind::Nonwear;
    else if (k == "sleep") s.kind = Stretch::Kind::Sleep;
    else if (k == "gap") s.kind = Stretch::Kind::Gap;
    else if (k == "clipped") s.kind = Stretch::Kind::Clipped;
    else return false;
    scenario.push_back(s);
    from = end + 1;
  }
  return !scenario.empty();
}

namespace {

// The sensor's pose and motion at one instant of a recipe's motion.
struct Pose {
  double q[4];        // orientation, sensor to world (w, x, y, z)
  double gyroDps[3];  // angular rate in the sensor frame
};


// A window of frames at a time, packed into blocks; a block the window's
// end leaves open waits for the next window.
class Packer {
 public:
  using Emit = std::function<void(std::vector<uint8_t>& block, const Frame* frames, size_t count)>;
  Packer(uint32_t startTick, uint32_t firstNumber, Emit emit) : startTick_(startTick), number_(firstNumber), emit_(std::move(emit)) {}

  std::vector<Frame>& pending() { return frames_; }

  // Packs the frames pending; with `last`, the open block too.
  void pack(bool last) {
    size_t i = 0;
    while (i < frames_.size()) {
      const size_t first = i;
      const uint64_t base = frames_[i].time;
      while (i < frames_.size() && i - first < 63 && frames_[i].time - base <= 255) ++i;
      if (i == frames_.size() && i - first < 63 && !last) {
        frames_.erase(frames_.begin(), frames_.begin() + static_cast<std::ptrdiff_t>(first));
        return;
      }
      std::vector<uint8_t> block(kBlock, 0);
      const uint32_t wrapped = static_cast<uint32_t>(startTick_ + base);
      block[0] = static_cast<uint8_t>(number_ >> 24), block[1] = static_cast<uint8_t>(number_ >> 16);
      block[2] = static_cast<uint8_t>(number_ >> 8), block[3] = static_cast<uint8_t>(number_);
      block[4] = static_cast<uint8_t>(wrapped >> 24), block[5] = static_cast<uint8_t>(wrapped >> 16);
      block[6] = static_cast<uint8_t>(wrapped >> 8), block[7] = static_cast<uint8_t>(wrapped);
      for (size_t k = first; k < i; ++k) {
        uint8_t* slot = block.data() + 8 + 8 * (k - first);
        slot[0] = frames_[k].kind;
        slot[1] = static_cast<uint8_t>(frames_[k].time - base);
        std::copy_n(frames_[k].payload, 6, slot + 2);
      }
      ++number_;
      emit_(block, frames_.data() + first, i - first);
    }
    frames_.clear();
  }

  uint32_t nextNumber() const { return number_; }

 private:
  uint32_t startTick_;
  uint32_t number_;
  Emit emit_;
  std::vector<Frame> frames_;
};

// Ticks of frames made at once: memory stays that of a window, however long the recording.
constexpr uint64_t kWindowTicks = 1 << 16;

using BlockVisitor = std::function<void(std::vector<uint8_t>& block, const Frame* frames, size_t count)>;

// Makes the data blocks of a recipe in file order (before any fault), a
// window at a time; fills `s` when `keep`. Returns the block number after the last.
uint32_t makeBlocks(const RecordingRecipe& recipe, GeneratedSamples& s, bool keep, const BlockVisitor& visit) {
  const uint32_t clock = recipe.clock ? recipe.clock : 1;
  const uint64_t totalTicks = static_cast<uint64_t>(recipe.seconds * clock);
  double axis[3] = {recipe.motion.axis[0], recipe.motion.axis[1], recipe.motion.axis[2]};
  const double norm = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
  for (double& a : axis) a = norm > 0 ? a / norm : 0;
  const Motion& motion = recipe.motion;
  // A level start keeps the plain formulas below, and so its bytes.
  double start[4] = {motion.start[0], motion.start[1], motion.start[2], motion.start[3]};
  const double startNorm = std::sqrt(start[0] * start[0] + start[1] * start[1] + start[2] * start[2] + start[3] * start[3]);
  for (double& c : start) c /= startNorm;
  const bool tilted = !(start[0] == 1 && start[1] == 0 && start[2] == 0 && start[3] == 0);
  const double startConj[4] = {start[0], -start[1], -start[2], -start[3]};
  // A turn about a fixed world axis shows in sensor axes as that axis seen from the start.
  double spin[3] = {axis[0], axis[1], axis[2]};
  if (tilted) rotate(startConj, axis, spin);
  Scenario scenario(recipe);
  const auto moving = [&](double t) {
    return t > motion.stillSeconds && (motion.moveSeconds <= 0 || t <= motion.stillSeconds + motion.moveSeconds);
  };
  auto angleAt = [&](double t) {
    if (motion.moveSeconds > 0) t = std::min(t, motion.stillSeconds + motion.moveSeconds);
    return t <= motion.stillSeconds ? 0.0 : motion.rateDps * (t - motion.stillSeconds) * kPi / 180;
  };
  // The still-then-turn motion as a pose, the same numbers it always gave.
  const auto poseAt = [&](double t) {
    Pose pose;
    const double angle = angleAt(t), rate = moving(t) ? motion.rateDps : 0.0;
    if (tilted) {
      // The turn about the world axis after the start, sensor to world.
      const double turn[4] = {std::cos(angle / 2), axis[0] * std::sin(angle / 2), axis[1] * std::sin(angle / 2),
                              axis[2] * std::sin(angle / 2)};
      multiply(turn, start, pose.q);
    } else {
      pose.q[0] = std::cos(angle / 2);
      for (int a = 0; a < 3; ++a) pose.q[1 + a] = axis[a] * std::sin(angle / 2);
    }
    for (int a = 0; a < 3; ++a) pose.gyroDps[a] = rate * spin[a];
    return pose;
  };

  // Each noisy stream draws from its own engine, placed where one engine
  // shared by all the accelerometer's samples and then the gyroscope's was.
  uint64_t accelCount = 0;
  if (recipe.accelHz)
    while (sampleTick(accelCount, recipe.accelHz, clock) < totalTicks) ++accelCount;
  const auto lost = [&](uint64_t tick) { return scenario.gap(static_cast<double>(tick) / clock); };
  std::mt19937 accelRandom(recipe.seed), gyroRandom(recipe.seed);
  if (motion.noise > 0) gyroRandom.discard(accelCount * 3 * 4);  // 3 axes, 2 uniform doubles of 2 draws each
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  auto noise = [&](std::mt19937& random) {
    if (motion.noise <= 0) return 0.0;
    const double u1 = 1.0 - unit(random), u2 = unit(random);
    return motion.noise * std::sqrt(-2.0 * std::log(u1)) * std::cos(2 * kPi * u2);
  };
  // The accelerometer sample written nearest the spike's time, the first of two as near.
  uint64_t spike = UINT64_MAX;
  if (recipe.tricky.spikeAt >= 0) {
    const double at = recipe.tricky.spikeAt * clock;
    for (uint64_t i = 0; i < accelCount; ++i) {
      const uint64_t tick = sampleTick(i, recipe.accelHz, clock);
      if (!lost(tick) && (spike == UINT64_MAX || std::abs(static_cast<double>(tick) - at) <
                                                     std::abs(static_cast<double>(sampleTick(spike, recipe.accelHz, clock)) - at)))
        spike = i;
    }
  }
  const PostureSchedule postures(recipe.postures, recipe.seconds, recipe.seed);
  const TemperatureSwing& swing = recipe.temperatureSwing;
  const auto temperatureAt = [&](double t) {
    return 21.5 + (swing.amplitude > 0 ? swing.amplitude * std::sin(2 * kPi * t / swing.periodSeconds) : 0.0);
  };
  // What the calibration would have to undo.
  const Miscalibration& off = recipe.miscalibration;
  const auto miscalibrated = [&](double g, double t, int a) {
    return (g - (temperatureAt(t) - off.referenceTemperature) * off.temperature[a]) / off.scale[a] - off.offset[a];
  };
  int16_t held[3] = {0, 0, 0};  // the value an idle stretch repeats
  size_t heldStretch = recipe.idle.size();
  std::mt19937 radioRandom(recipe.seed ^ 0x5eedu);  // apart from the samples' draws, which stay as they were

  Packer packer(recipe.startTick, 1, visit);
  std::vector<Frame>& frames = packer.pending();
  auto addFrame = [&](uint64_t time, uint8_t kind) -> uint8_t* {
    frames.push_back(Frame{time, kind, {0, 0, 0, 0, 0, 0}});
    return frames.back().payload;
  };
  uint64_t accelI = 0, gyroI = 0, baroI = 0, eventI = 0, radioI = 0, unknownTick = 5;
  for (uint64_t from = 0; from < totalTicks; from += kWindowTicks) {
    const uint64_t to = std::min(totalTicks, from + kWindowTicks);
    const size_t fresh = frames.size();  // frames before it are earlier: an open block's
    if (recipe.accelHz) {
      const double counts = 32768.0 / accelRange(recipe.accelRangeCode);
      for (uint64_t tick; (tick = sampleTick(accelI, recipe.accelHz, clock)) < to; ++accelI) {
        if (lost(tick)) continue;
        const double seconds = static_cast<double>(tick) / clock;
        double g[3];
        double turning[3];
        if (scenario.active()) {
          scenario.accel(seconds, g);  // its own noise
        } else if (postures.active()) {
          postures.at(seconds, g, turning);
        } else if (tilted) {
          // Gravity (world up) seen in the sensor frame: rotate by the inverse orientation.
          const double up[3] = {0, 0, 1};
          double q[4];
          std::copy_n(poseAt(seconds).q, 4, q);
          const double conj[4] = {q[0], -q[1], -q[2], -q[3]};
          rotate(conj, up, g);
        } else {
          const double th = angleAt(seconds), c = std::cos(th), sn = std::sin(th);
          const double up[3] = {0, 0, 1};
          const double dot = axis[2];
          const double cross[3] = {axis[1], -axis[0], 0.0};
          for (int a = 0; a < 3; ++a) g[a] = up[a] * c - cross[a] * sn + axis[a] * dot * (1 - c);
        }
        uint8_t* p = addFrame(tick, recipe.accelFrameId);
        if (keep) s.accelTicks.push_back(static_cast<int32_t>(recipe.startTick + tick));
        const bool shaking = within(recipe.clippedBursts, seconds);
        size_t stretch = 0;
        const bool idle = within(recipe.idle, seconds, &stretch);
        for (int a = 0; a < 3; ++a) {
          if (shaking) g[a] += 3 * accelRange(recipe.accelRangeCode) * std::sin(2 * kPi * (5 * seconds + a / 3.0));
          int16_t raw = toRaw(miscalibrated(g[a], seconds, a) + (scenario.active() ? 0.0 : noise(accelRandom) / counts), counts);
          if (idle && heldStretch != stretch) held[a] = raw;
          if (idle) raw = held[a];
          if (a == 0 && accelI == spike) raw = 32767;
          putBig16(p + 2 * a, raw);
          if (keep) s.accel.push_back(raw);
        }
        heldStretch = idle ? stretch : recipe.idle.size();
      }
    }
    if (recipe.gyroHz) {
      const double counts = 32768.0 / gyroRange(recipe.gyroRangeCode);
      for (uint64_t tick; (tick = sampleTick(gyroI, recipe.gyroHz, clock)) < to; ++gyroI) {
        if (lost(tick)) continue;
        const double t = static_cast<double>(tick) / clock;
        uint8_t* p = addFrame(tick, recipe.gyroFrameId);
        if (keep) s.gyroTicks.push_back(static_cast<int32_t>(recipe.startTick + tick));
        if (scenario.active()) {
          for (int a = 0; a < 3; ++a) {
            const int16_t raw = toRaw(scenario.gyro(t, a) + motion.gyroBiasDps[a], counts);
            putBig16(p + 2 * a, raw);
            if (keep) s.gyro.push_back(raw);
          }
          continue;
        }
        const Pose pose = poseAt(t);
        double posture[3], turning[3] = {pose.gyroDps[0], pose.gyroDps[1], pose.gyroDps[2]};
        if (postures.active()) postures.at(t, posture, turning);
        for (int a = 0; a < 3; ++a) {
          const int16_t raw = toRaw(turning[a] + motion.gyroBiasDps[a] + noise(gyroRandom) / counts, counts);
          putBig16(p + 2 * a, raw);
          if (keep) s.gyro.push_back(raw);
        }
        if (keep) s.trueQuaternion.insert(s.trueQuaternion.end(), pose.q, pose.q + 4);
      }
    }
    if (recipe.baroHz) {
      for (uint64_t tick; (tick = sampleTick(baroI, recipe.baroHz, clock)) < to; ++baroI) {
        if (lost(tick)) continue;
        const uint32_t pressure = static_cast<uint32_t>(std::nearbyint((1013.25 - 0.01 * static_cast<double>(baroI % 100)) * 4096));
        const int16_t temperature =
            swing.amplitude > 0 ? static_cast<int16_t>(std::nearbyint(100 * temperatureAt(static_cast<double>(tick) / clock)))
                                : static_cast<int16_t>(2150 + static_cast<int>(baroI % 7));
        uint8_t* p = addFrame(tick, recipe.baroFrameId);
        p[0] = static_cast<uint8_t>(pressure), p[1] = static_cast<uint8_t>(pressure >> 8), p[2] = static_cast<uint8_t>(pressure >> 16);
        p[3] = static_cast<uint8_t>(temperature), p[4] = static_cast<uint8_t>(static_cast<uint16_t>(temperature) >> 8);
        if (keep) {
          s.baroTicks.push_back(static_cast<int32_t>(recipe.startTick + tick));
          s.pressure.push_back(pressure);
          s.temperature.push_back(temperature);
        }
      }
    }
    if (recipe.eventHz) {
      for (;; ++eventI) {
        const uint64_t at = recipe.eventPeriod > 0
                                ? static_cast<uint64_t>(std::llround(static_cast<double>(eventI) * recipe.eventPeriod * clock))
                                : sampleTick(eventI, recipe.eventHz, clock);
        const uint64_t tick = at + 3;  // off the sensor ticks
        if (tick >= to) break;
        uint8_t* p = addFrame(tick, recipe.eventFrameId);
        p[0] = static_cast<uint8_t>(1 + eventI % 250);
        if (keep) {
          s.eventTicks.push_back(static_cast<int32_t>(recipe.startTick + tick));
          s.events.push_back(p[0]);
        }
      }
    }
    if (recipe.radioTime && recipe.radioTime->frequency) {
      const RadioTimeRecipe& radio = *recipe.radioTime;
      for (uint64_t tick; (tick = sampleTick(radioI, radio.frequency, clock)) < to; ++radioI) {
        const int64_t own = static_cast<int64_t>(recipe.startTick) + static_cast<int64_t>(tick);
        uint32_t value = radio.valueRate == 1.0
                             ? static_cast<uint32_t>(own + radio.valueOffsetTicks)
                             : static_cast<uint32_t>(std::llround(static_cast<double>(own) * radio.valueRate +
                                                                 radio.valueOffsetFraction) +
                                                     radio.valueOffsetTicks);
        if (radio.corrupt > 0 && std::uniform_real_distribution<double>(0, 1)(radioRandom) < radio.corrupt)
          value = static_cast<uint32_t>(radioRandom());
        uint8_t* p = addFrame(tick, recipe.radioTime->frameId);
        p[0] = static_cast<uint8_t>(value >> 24), p[1] = static_cast<uint8_t>(value >> 16);
        p[2] = static_cast<uint8_t>(value >> 8), p[3] = static_cast<uint8_t>(value);
        if (keep) s.radioTicks.push_back(static_cast<int32_t>(recipe.startTick + tick));
      }
    }
    if (recipe.tricky.unknownKinds) {
      for (; unknownTick < to; unknownTick += 97) addFrame(unknownTick, 0x7E)[0] = 0x55;
    }
    std::stable_sort(frames.begin() + static_cast<std::ptrdiff_t>(fresh), frames.end(),
                     [](const Frame& a, const Frame& b) { return a.time < b.time; });
    packer.pack(false);
  }
  packer.pack(true);
  return packer.nextNumber();
}

}  // namespace

bool streamRecording(const RecordingRecipe& recipe, GeneratedSamples* samples, const ByteSink& sink) {
  GeneratedSamples local;
  GeneratedSamples& s = samples ? *samples : local;
  s = GeneratedSamples{};
  const uint32_t clock = recipe.clock ? recipe.clock : 1;
  const uint64_t totalTicks = static_cast<uint64_t>(recipe.seconds * clock);
  bool written = true;
  const auto write = [&](const uint8_t* bytes, size_t size) { written = written && sink(bytes, size); };

  std::vector<uint8_t> kinds = {recipe.accelFrameId, recipe.gyroFrameId, recipe.baroFrameId, recipe.eventFrameId};
  if (recipe.radioTime) kinds.push_back(recipe.radioTime->frameId);
  if (recipe.tricky.unknownKinds && totalTicks > 5) kinds.push_back(0x7E);
  const std::vector<uint8_t> settings = settingsBlock(recipe, kinds);
  write(settings.data(), settings.size());

  // Blocks cut out of the middle, as if the memory lost them, and a block a
  // third of the way in whose base tick has a bit flipped: where those are
  // needs the count, from a first pass that keeps nothing.
  size_t cutFrom = SIZE_MAX, cutTo = SIZE_MAX, flipped = SIZE_MAX;
  const int bit = recipe.tricky.flipBit;
  if (recipe.tricky.cutBlocks > 0 || (bit >= 0 && bit < 32)) {
    GeneratedSamples none;
    size_t blocks = 0;
    makeBlocks(recipe, none, false, [&](std::vector<uint8_t>&, const Frame*, size_t) { ++blocks; });
    if (recipe.tricky.cutBlocks > 0 && blocks > static_cast<size_t>(recipe.tricky.cutBlocks) + 2)
      cutFrom = blocks / 2, cutTo = cutFrom + static_cast<size_t>(recipe.tricky.cutBlocks);
    // Clear of the blocks cut from the middle.
    if (bit >= 0 && bit < 32 && blocks >= 3) flipped = blocks / 3;
  }

  // The faults each stream suffers, counted on the frames as they are placed.
  StreamFaults* faultsOf[256] = {};
  faultsOf[recipe.accelFrameId] = recipe.accelHz ? &s.accelFaults : nullptr;
  faultsOf[recipe.gyroFrameId] = recipe.gyroHz ? &s.gyroFaults : nullptr;
  faultsOf[recipe.baroFrameId] = recipe.baroHz ? &s.baroFaults : nullptr;
  int64_t before[256], after[256];
  std::fill_n(before, 256, -1), std::fill_n(after, 256, -1);
  uint64_t cutAccelFirst = UINT64_MAX, cutAccelLast = 0;
  std::vector<uint8_t> held;  // the first data block, while its swap waits for the second
  size_t index = 0, kept = 0;
  const uint32_t endNumber = makeBlocks(recipe, s, samples != nullptr, [&](std::vector<uint8_t>& block, const Frame* frames, size_t count) {
    const size_t b = index++;
    const bool cut = b >= cutFrom && b < cutTo;
    if (b == flipped) {
      block[4 + 3 - bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
      s.flippedBlock = static_cast<int64_t>(1 + b);
    }
    for (size_t k = 0; k < count; ++k) {
      const Frame& f = frames[k];
      StreamFaults* faults = faultsOf[f.kind];
      if (cut && f.kind == recipe.accelFrameId) cutAccelFirst = std::min(cutAccelFirst, f.time), cutAccelLast = std::max(cutAccelLast, f.time);
      if (!faults) continue;
      if (cut) {
        ++faults->missing;
        continue;
      }
      faults->inFlippedBlock += b == flipped;
      if (b < cutFrom) before[f.kind] = static_cast<int64_t>(f.time);
      else if (after[f.kind] < 0) after[f.kind] = static_cast<int64_t>(f.time);
      if (faults == &s.baroFaults) continue;
      bool full = false;
      for (int a = 0; a < 3; ++a) {
        const int16_t raw = static_cast<int16_t>(f.payload[2 * a] << 8 | f.payload[2 * a + 1]);
        full |= raw == 32767 || raw == -32768;
      }
      faults->saturated += full;
    }
    if (cut) return;
    ++kept;
    if (recipe.tricky.swapBlocks && kept == 1) {
      held = block;
      return;
    }
    write(block.data(), block.size());
    if (!held.empty()) {
      write(held.data(), held.size());
      held.clear();
      s.blocksBackwards += 1;  // the first block now follows the second
    }
  });
  if (!held.empty()) write(held.data(), held.size());  // one block: nothing to swap it with
  for (int kind = 0; kind < 256; ++kind) {
    StreamFaults* f = faultsOf[kind];
    if (f && f->missing && before[kind] >= 0 && after[kind] >= 0) f->gaps = 1, f->longestGapTicks = static_cast<uint64_t>(after[kind] - before[kind]);
  }
  if (recipe.tricky.duplicateTicks && recipe.accelHz) {
    // Same ticks again, other values: these must lose against the originals.
    const Scenario scenario(recipe);
    std::vector<Frame> duplicates;
    for (uint64_t i = 0;; ++i) {
      const uint64_t tick = sampleTick(i, recipe.accelHz, clock);
      if (tick >= totalTicks) break;
      const bool written = !scenario.gap(static_cast<double>(tick) / clock) && !(tick >= cutAccelFirst && tick <= cutAccelLast);
      if (tick % 10 == 0 && written)
        duplicates.push_back(Frame{tick, recipe.accelFrameId, {0x7F, 0xFF, 0x7F, 0xFF, 0x7F, 0xFF}});
    }
    s.accelFaults.duplicates = duplicates.size();
    if (!duplicates.empty()) s.blocksBackwards += 1;  // they start again from the first tick
    Packer packer(recipe.startTick, endNumber, [&](std::vector<uint8_t>& block, const Frame*, size_t) { write(block.data(), block.size()); });
    packer.pending() = std::move(duplicates);
    packer.pack(true);
  }
  const std::vector<uint8_t> tail(static_cast<size_t>(std::max(0, recipe.tricky.shortFinalBlock)), 0xAB);
  if (!tail.empty()) write(tail.data(), tail.size());
  return written;
}

std::vector<uint8_t> buildRecording(const RecordingRecipe& recipe, GeneratedSamples* samples) {
  std::vector<uint8_t> out;
  streamRecording(recipe, samples, [&](const uint8_t* bytes, size_t size) {
    out.insert(out.end(), bytes, bytes + size);
    return true;
  });
  return out;
}

bool writeRecording(const std::string& path, const RecordingRecipe& recipe, GeneratedSamples* samples) {
  // By UTF-8 path, so that names outside the Windows code page work too.
  FilePtr file = openFile(path.c_str(), OpenMode::WriteBinary);
  if (!file) return false;
  // Written a block at a time: a week of samples never stands in memory whole.
  const bool written = streamRecording(recipe, samples, [&](const uint8_t* bytes, size_t size) {
    return std::fwrite(bytes, 1, size, file.get()) == size;
  });
  return closeFile(file) && written;
}

}  // namespace kinovar::gen
