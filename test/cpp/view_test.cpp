#include <gtest/gtest.h>

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
