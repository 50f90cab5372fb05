#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "export/csv.h"
#include "test_files.h"
#include "view/view_data.h"

using namespace kinovar;

namespace {

SampleStream stream(uint64_t channels, const std::vector<double>& times, const std::vector<double>& values) {
  SampleStream s(channels, times.size());
  s.times = times;
  s.values = values;
  return s;
}

struct ReadBack {
  bool ok;
  StreamMap streams;
  std::string created, error;
};

ReadBack readBack(const std::string& text) {
  ReadBack r;
  r.ok = decodeClassicCsv(text, r.streams, r.created, r.error);
  return r;
}

// The numbers of the list member `name` (or the one number) that follows `from` in a header.
std::vector<double> numbers(const std::string& header, const std::string& name, size_t from) {
  const char* at = header.c_str() + header.find("\"" + name + "\":", from) + name.size() + 3;
  std::vector<double> out;
  if (*at == '[') ++at;
  for (char* end;; at = end + 1) {
    out.push_back(std::strtod(at, &end));
    if (*end != ',') break;
  }
  return out;
}

constexpr double kPi = 3.14159265358979323846;

const std::string kHead = "Quandrel - Kinovar data export\nCreated on: 2017-03-21 14:05:09\nTotal data points: 1\n\n";

}  // namespace

// Every group on its own rows, and a gyroscope its settings declare but that
// never sampled: the header names its columns, the rows have none.
TEST(ClassicCsv, ReadsBackWhatTheExportWrote) {
  DeviceSettings s;
  s.frequency = 100;
  s.createdAt = {9, 5, 14, 21, 3, 2017};
  s.gyro.present = s.accel.present = s.baro.present = s.event.present = true;
  s.gyro.frequency = s.accel.frequency = 100;
  s.baro.frequency = 25;
  const StreamMap written = {
      {kGyroKey, SampleStream(3, 0)},
      {kAccelKey, stream(3, {0, 0.01, 0.02}, {0.5, -0.25, 1, 0.001, 0.002, 0.003, -1, 0, 0.99999})},
      {kBaroKey, stream(2, {0}, {1013.25, 21.5})},
      {kEventKey, stream(1, {0, 0.025}, {7, 8})},
      {kQuaternionKey, stream(4, {0, 0.01, 0.02}, {1, 0.5, 0, 0, 0.5, 0, 0, 0, 0.125, 0, 0, -0.75})}};
  TempDir dir;
  ASSERT_TRUE(exportCsv(dir.path("x.csv").c_str(), s, written));
  const ReadBack r = readBack(readText(dir.path("x.csv")));
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.created, "2017-03-21 14:05:09");
  EXPECT_EQ(r.streams.count(kGyroKey), 0u);
  const std::vector<double> rows = {0.01, 0.02, 0.03};
  EXPECT_EQ(r.streams.at(kAccelKey).times, rows);
  EXPECT_EQ(r.streams.at(kAccelKey).values, written.at(kAccelKey).values);
  EXPECT_EQ(r.streams.at(kQuaternionKey).values, written.at(kQuaternionKey).values);
  EXPECT_EQ(r.streams.at(kBaroKey).values, written.at(kBaroKey).values);
  // Events read back on the rows they were written on.
  EXPECT_EQ(r.streams.at(kEventKey).times, (std::vector<double>{0.01, 0.03}));
  EXPECT_EQ(r.streams.at(kEventKey).values, written.at(kEventKey).values);
}

TEST(ClassicCsv, RefusalsSayWhy) {
  const std::string names = "Time [100 hz],Accel [100 hz],,,\nTime,Accel X,Accel Y,Accel Z,\n[s],[g],[g],[g],\n";
  const std::pair<std::string, std::string> cases[] = {
      {"time,x\n0.1,2\n", "is not a kinovar CSV export (its first line is not the export banner)"},
      {kHead, "ends inside its header"},
      {kHead + "T,Accel [100 hz],,,\nT,Accel X,Accel Y,Accel Z,\n[s],[g],[g],[g],\n", "has no Time column"},
      {kHead + names + "0.01000,1.0,2.0,3.0,\n0.02000,1.0,2.0,\n", "has a malformed row at line 9"},
      {kHead + names + "0.01000,1.0,2.0,3.0,\n0.02000,1.0,2e3,3.0,\n", "has a malformed row at line 9"},
  };
  for (const auto& [text, error] : cases) {
    const ReadBack r = readBack(text);
    EXPECT_FALSE(r.ok) << text;
    EXPECT_EQ(r.error, error) << text;
  }
}

// A sensor lying upside down (roll about ±180° with noise) and turning
// steadily (yaw wraps every 4 s): every bin of every level must keep the few
// degrees its samples cover, not the whole circle, and hold each sample. The
// last row, all zeros, is "no estimate" and must not stand as 0°.
TEST(ViewData, AnglesThatWrapKeepTheirArc) {
  const uint64_t n = 3000;
  const double rate = 100, turn = 90;  // Hz, deg/s
  SampleStream q(4, n);
  std::vector<double> roll(n), yaw(n);
  for (uint64_t i = 0; i < n; ++i) {
    q.times[i] = static_cast<double>(i) / rate;
    roll[i] = 180 + (i % 2 ? 0.5 : -0.5);
    yaw[i] = std::remainder(turn * q.times[i] + 30, 360);
    const double r = roll[i] * kPi / 360, y = yaw[i] * kPi / 360;  // half angles
    q.value(0, i) = std::cos(y) * std::cos(r), q.value(1, i) = std::cos(y) * std::sin(r);
    q.value(2, i) = std::sin(y) * std::sin(r), q.value(3, i) = std::sin(y) * std::cos(r);
  }
  for (uint64_t c = 0; c < 4; ++c) q.value(c, n - 1) = 0;
  const StreamMap streams = {{kQuaternionKey, q}};
  const std::vector<uint8_t> data = buildViewData(streams, "");
  const uint32_t length = data[4] | data[5] << 8 | data[6] << 16 | uint32_t(data[7]) << 24;
  const std::string header(data.begin() + 8, data.begin() + 8 + length);
  const size_t base = 8 + length + (8 + length) % 2;
  const size_t plot = header.find("\"id\":\"orientation\"");
  ASSERT_NE(plot, std::string::npos) << header;
  const std::vector<double> levels = numbers(header, "levels", plot);
  const double binSeconds = numbers(header, "binSeconds", plot)[0];
  ASSERT_GT(levels.size(), 1u);
  for (const auto& [name, angles, step] : {std::tuple{"Roll", &roll, 1.0}, std::tuple{"Yaw", &yaw, 0.0}}) {
    const size_t channel = header.find(std::string("\"name\":\"") + name + "\"", plot);
    const double low = numbers(header, "low", channel)[0], high = numbers(header, "high", channel)[0];
    const std::vector<double> offsets = numbers(header, "offsets", channel);
    auto at = [&](size_t l, uint64_t b, bool max) {
      const size_t byte = base + static_cast<size_t>(offsets[l]) + 2 * (b + (max ? static_cast<uint64_t>(levels[l]) : 0));
      return low + (data[byte] | data[byte + 1] << 8) * (high - low) / 65535;
    };
    const double quantum = (high - low) / 65535;
    for (size_t l = 0; l < levels.size(); ++l) {
      const double width = binSeconds * std::ldexp(1.0, static_cast<int>(l));
      const double most = step + turn * (width + 1 / rate) + 2 * quantum;
      for (uint64_t b = 0; b < levels[l]; ++b) {
        const double lo = at(l, b, false), hi = at(l, b, true);
        ASSERT_LE(hi - lo, most) << name << " level " << l << " bin " << b << ": " << lo << " to " << hi;
        ASSERT_GE(lo, -180 - quantum) << name << " level " << l << " bin " << b;
      }
    }
    for (uint64_t i = 0; i + 1 < n; ++i) {
      const uint64_t b = std::min(static_cast<uint64_t>(q.times[i] / binSeconds), uint64_t(levels[0]) - 1);
      const double lo = at(0, b, false), hi = at(0, b, true);
      const double above = (*angles)[i] - lo - 360 * std::floor(((*angles)[i] - lo + quantum) / 360);
      EXPECT_LE(above, hi - lo + quantum) << name << " sample " << i << " (" << (*angles)[i] << ") outside " << lo << " to " << hi;
    }
  }
}
