#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>

#include "export/csv.h"
#include "export/fixed.h"
#include "test_files.h"

#ifndef _WIN32
#include <cerrno>
#endif

using namespace kinovar;

namespace {

SampleStream makeStream(uint64_t channels, const std::vector<std::vector<double>>& samples) {
  SampleStream stream(channels, samples.size());
  for (uint64_t i = 0; i < samples.size(); ++i)
    for (uint64_t c = 0; c < channels; ++c) stream.value(c, i) = samples[i][c];
  return stream;
}

std::string exportToText(const DeviceSettings& settings, const StreamMap& streams) {
  TempDir dir;
  const std::string path = dir.path("out.csv");
  EXPECT_TRUE(exportCsv(path.c_str(), settings, streams));
  return textLines(readText(path));
}

}  // namespace

TEST(Csv, FixedNotationMatchesPrintf) {
  std::mt19937_64 random(42);
  const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> values = {0.0, -0.0, -0.000001, 0.000005, 0.000015, 0.125, 2.5, -2.5, 1013.25, 21.46, 21.45,
                                1e22, -1e300, 5e-324, std::numeric_limits<double>::max(), inf, -inf, nan, -nan};
  // Where the digit count changes, on both sides of rounding up into it.
  for (int d = 0; d <= 16; ++d) {
    const double power = std::pow(10.0, d);
    for (int precision = 0; precision <= 9; ++precision) {
      const double below = power - 0.5 * std::pow(10.0, -precision);
      for (double v : {power, below, std::nextafter(below, 0.0), std::nextafter(below, 1e300), std::nextafter(power, 0.0)})
        values.push_back(v), values.push_back(-v);
    }
  }
  for (int i = 0; i < 100000; ++i) {
    uint64_t bits = random();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    if (i % 2) v = std::ldexp(static_cast<double>(static_cast<int64_t>(random() >> 11)) - 4e15, -static_cast<int>(random() % 60));
    if (i % 5 == 0) v = std::round(v * 1e5) / 1e5 + 0.000005;  // near halfway cases
    values.push_back(v);
  }
  char ours[kMaxFixedLength], theirs[kMaxFixedLength];
  for (double v : values) {
    for (int precision = 0; precision <= 9; ++precision) {
      *writeFixed(ours, v, precision) = '\0';
      std::snprintf(theirs, sizeof theirs, "%.*f", precision, v);
      // Windows' printf drops the sign of NaN; the CSV spells it as glibc does.
      if (std::isnan(v)) std::strcpy(theirs, std::signbit(v) ? "-nan" : "nan");
      ASSERT_STREQ(ours, theirs) << "precision " << precision;
    }
  }
}

TEST(Csv, ExampleFileByteForByte) {
  DeviceSettings s;
  s.frequency = 100;
  s.createdAt = {9, 5, 14, 21, 3, 2017};
  s.gyro.present = s.accel.present = s.baro.present = true;
  s.gyro.frequency = s.accel.frequency = 100;
  s.baro.frequency = 25;
  StreamMap streams;
  streams[kGyroKey] = makeStream(3, {{0.5, -1.25, 3.0}, {0.6, -1.2, 2.9}, {0.7, -1.15, 2.8}, {0.8, -1.1, 2.7}, {0.9, -1.05, 2.6}});
  streams[kAccelKey] = makeStream(3, {{0.001, -0.002, 1.0}, {0.0011, -0.0021, 0.999}, {0.0012, -0.0022, 0.998},
                                      {0.0013, -0.0023, 0.997}, {0.0014, -0.0024, 0.996}});
  streams[kBaroKey] = makeStream(2, {{1013.25, 21.5}, {1013.2, 21.4}});
  EXPECT_EQ(exportToText(s, streams),
            "Quandrel - Kinovar data export\n"
            "Created on: 2017-03-21 14:05:09\n"
            "Total data points: 5\n"
            "\n"
            "Time [100 hz],Gyro [100 hz],,,Accel [100 hz],,,Baro [25 hz],,\n"
            "Time,Gyro X,Gyro Y,Gyro Z,Accel X,Accel Y,Accel Z,Pressure,Temperature,\n"
            "[s],[deg/s],[deg/s],[deg/s],[g],[g],[g],[mBar],[degree C],\n"
            "0.01000,0.50000,-1.25000,3.00000,0.00100,-0.00200,1.00000,1013.250,21.5,\n"
            "0.02000,0.60000,-1.20000,2.90000,0.00110,-0.00210,0.99900,,,\n"
            "0.03000,0.70000,-1.15000,2.80000,0.00120,-0.00220,0.99800,,,\n"
            "0.04000,0.80000,-1.10000,2.70000,0.00130,-0.00230,0.99700,,,\n"
            "0.05000,0.90000,-1.05000,2.60000,0.00140,-0.00240,0.99600,1013.200,21.4,\n");
}

// A write error must be reported, not only a failed open.
TEST(Csv, WriteErrorOnADeviceIsReported) {
  if (!std::ifstream("/dev/full").good()) GTEST_SKIP() << "no /dev/full";
  DeviceSettings s;
  s.accel.present = true;
  EXPECT_FALSE(exportCsv("/dev/full", s, {{kAccelKey, makeStream(3, {{1, 2, 3}})}}));
}

TEST(Csv, DeclaredButEmptyGroupsAndEventRules) {
  DeviceSettings s;
  s.frequency = 10;
  s.gyro.present = true;  // declared, no frames: named in the header, no cells
  s.gyro.frequency = 10;
  s.secondEvent.present = true;  // key 11 wins; event.present clear: no rate label
  StreamMap streams;
  streams[kGyroKey] = SampleStream(3, 0);
  SampleStream events = makeStream(1, {{7}, {8}, {9}});
  events.times = {0.0, 0.05, 0.25};  // the first two are both due on the first row
  streams[kSecondEventKey] = events;
  EXPECT_EQ(exportToText(s, streams),
            "Quandrel - Kinovar data export\nCreated on: 0000-00-00 00:00:00\nTotal data points: 3\n\n"
            "Time [10 hz],Gyro [10 hz],,,\n"
            "Time,Gyro X,Gyro Y,Gyro Z,Event,\n"
            "[s],[deg/s],[deg/s],[deg/s],[],\n"
            "0.10000,7.000,\n0.20000,8.000,\n0.30000,9.000,\n");
}

// No usable divisor: every sample still gets a row of its own.
TEST(Csv, UnusableRatesStillWriteEverySample) {
  DeviceSettings s;  // clock rate 0, accelerometer at 0 Hz, barometer faster than the clock
  s.accel.present = s.baro.present = true;
  s.baro.frequency = 50;
  StreamMap streams = {{kAccelKey, makeStream(3, {{1, 2, 3}, {4, 5, 6}})}, {kBaroKey, makeStream(2, {{1000, 20}})}};
  const std::string text = exportToText(s, streams);
  EXPECT_NE(text.find("Total data points: 2\n"), std::string::npos);
  EXPECT_NE(text.find("inf,1.00000,2.00000,3.00000,1000.000,20.0,\ninf,4.00000,5.00000,6.00000,,,\n"), std::string::npos);
}

#ifndef _WIN32
// The CSV takes its name only when complete: a write that fails part-way (a
// file size limit stands in for a full disk) leaves the old file and no
// temporary one, and says why; a target no plain open could write is refused
// with the reason that open gives.
TEST(Csv, FailedWriteKeepsTheOldFileAndSaysWhy) {
  TempDir dir;
  const std::string target = dir.path("out.csv");
  writeBytes(target, {'o', 'l', 'd'});
  DeviceSettings s;
  s.frequency = 100;
  s.accel.present = true;
  s.accel.frequency = 100;
  std::vector<std::vector<double>> samples(20000, {1.0, 2.0, 3.0});
  const StreamMap streams = {{kAccelKey, makeStream(3, samples)}};

  OutputFailure failure;
  const bool written = withFileSizeLimit(100000, [&] { return exportCsv(target.c_str(), s, streams, {}, &failure); });
  EXPECT_FALSE(written);
  EXPECT_EQ(failure.error.value(), EFBIG);
  EXPECT_EQ(failure.path, target);
  EXPECT_EQ(readText(target), "old");
  EXPECT_EQ(dir.entries(), 1u);

  const std::pair<std::string, int> refused[] = {{dir.path("out.csv/x.csv"), ENOTDIR}, {dir.path("no/x.csv"), ENOENT},
                                                 {dir.path(""), EISDIR}};
  for (const auto& [path, errnum] : refused) {
    EXPECT_FALSE(exportCsv(path.c_str(), s, streams, {}, &failure)) << path;
    EXPECT_EQ(failure.error.value(), errnum) << path;
    EXPECT_STREQ(failure.step, "open");
  }
  EXPECT_EQ(readText(target), "old");
  EXPECT_EQ(dir.entries(), 1u);
}
#endif

// Rows of two groups whose instants interleave and meet: each cell on its
// own instant only, a NaN or a zero quaternion holding no value.
TEST(Rows, EachCellStandsOnItsOwnInstant) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<double> aTimes = {1.0, 2.0, 4.0}, a0 = {10, nan, 40}, a1 = {11, 21, 41};
  const std::vector<double> qTimes = {2.0, 3.0, 4.0}, w = {0.5, 0, 1}, x = {0.5, 0, 0};
  std::array<RowGroup, 5> groups;
  groups[1] = {aTimes.data(), 3, {a0.data(), a1.data()}, false};
  groups[4] = {qTimes.data(), 3, {w.data(), x.data(), x.data(), x.data()}, true};
  const std::vector<RowColumn> columns = {{1, 1}, {4, 0}, {1, 0, false}};
  ASSERT_EQ(rowCount(groups), 4u);
  RowPiece rows;
  mergeRows(groups, 4, columns, 1.0, rows);
  EXPECT_EQ(rows.time, (std::vector<double>{0, 1, 2, 3}));
  const auto has = [&](size_t c, uint64_t r) { return rows.valid[c].empty() || ((rows.valid[c][r >> 3] >> (r & 7)) & 1); };
  // accel_y: rows 0, 1, 3 (its row 1 is a NaN only in the other channel: the group has no value there).
  EXPECT_TRUE(has(0, 0) && !has(0, 1) && !has(0, 2) && has(0, 3));
  EXPECT_EQ(rows.values[0][0], 11);
  EXPECT_EQ(rows.values[0][3], 41);
  // The quaternion of zeros at 3.0 has no estimate.
  EXPECT_TRUE(!has(1, 0) && has(1, 1) && !has(1, 2) && has(1, 3));
  EXPECT_EQ(rows.values[1][1], 0.5);
  EXPECT_TRUE(rows.values[2].empty());
  // Rows 1 to 3 alone keep their cells.
  const RowPiece part = rowsOf(rows, 1, 3);
  EXPECT_EQ(part.time, (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(part.values[1], (std::vector<double>{0.5, 0, 1}));
  EXPECT_EQ(part.valid[1], (std::vector<uint8_t>{0b101}));
  // A group with a value on every row needs no bits.
  groups[4] = {};
  mergeRows(groups, 3, std::vector<RowColumn>{{1, 1}}, 0.0, rows);
  EXPECT_EQ(rows.valid[0], (std::vector<uint8_t>{0b101}));
  const std::vector<double> full = {10, 20, 40};
  groups[1].channels[0] = full.data();
  mergeRows(groups, 3, std::vector<RowColumn>{{1, 1}}, 0.0, rows);
  EXPECT_TRUE(rows.valid[0].empty());
}
