#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>

#include "export/bids.h"
#include "gen/generator.h"
#include "ops/bids.h"
#include "test_files.h"

using namespace kinovar;

namespace {

// A path as this system writes it: Windows' separator there.
std::string native(std::string path) {
#ifdef _WIN32
  std::replace(path.begin(), path.end(), '/', '\\');
#endif
  return path;
}

std::vector<std::string> native(std::vector<std::string> paths) {
  for (std::string& path : paths) path = native(path);
  return paths;
}

}  // namespace

TEST(Bids, NamesFilesByEntityInOrder) {
  const BidsLayout full = bidsLayout("ds/", {"01", "2", "walk", "imu", "lab", "3"});
  EXPECT_EQ(full.own[kBidsMotion], native("ds/sub-01/ses-2/motion/sub-01_ses-2_task-walk_tracksys-imu_acq-lab_run-3_motion.tsv"));
  EXPECT_EQ(full.scans, native("ds/sub-01/ses-2/sub-01_ses-2_scans.tsv"));
  EXPECT_EQ(full.scanName, "motion/sub-01_ses-2_task-walk_tracksys-imu_acq-lab_run-3_motion.tsv");
  EXPECT_EQ(full.folders, native({"ds/sub-01", "ds/sub-01/ses-2", "ds/sub-01/ses-2/motion"}));
  const BidsLayout bare = bidsLayout(".", {"01", "", "walk", "kinovar", "", ""});
  EXPECT_EQ(bare.own[kBidsEventsJson], native("sub-01/motion/sub-01_task-walk_tracksys-kinovar_events.json"));
  EXPECT_EQ(bare.scans, native("sub-01/sub-01_scans.tsv"));
}

// Tables others wrote: a byte-order mark, CRLF, blank lines, short rows.
TEST(Bids, SharedTablesKeepOthersRowsAndReplaceTheRunsOwn) {
  TsvTable participants = parseTsv("\xEF\xBB\xBFparticipant_id\tage\r\nsub-x\t31\r\n\r\n");
  EXPECT_EQ(participants.header, (std::vector<std::string>{"participant_id", "age"}));
  addParticipant(participants, "sub-x");
  addParticipant(participants, "sub-y");
  EXPECT_EQ(tsvText(participants), "participant_id\tage\nsub-x\t31\nsub-y\tn/a\n");

  const TsvTable scans = parseTsv("filename\tnote\nmotion/a.tsv\nmotion/run.tsv\told\nlast\r");
  EXPECT_EQ(scans.rows.back(), std::vector<std::string>{"last\r"});  // only a line break's CR goes
  EXPECT_EQ(scansText(scans, "motion/run.tsv", "2020-01-01T00:00:00.000000"),
            "filename\tnote\tacq_time\nmotion/a.tsv\tn/a\tn/a\nlast\r\tn/a\tn/a\nmotion/run.tsv\tn/a\t2020-01-01T00:00:00.000000\n");
  EXPECT_TRUE(parseTsv("").header.empty());
}

TEST(Bids, AcqTimeToTheMicrosecond) {
  EXPECT_EQ(bidsAcqTime(std::nullopt, true), "n/a");
  EXPECT_EQ(bidsAcqTime(int64_t{1490105109000001}, true), "2017-03-21T14:05:09.000001Z");
  EXPECT_EQ(bidsAcqTime(int64_t{951782400999999}, false), "2000-02-29T00:00:00.999999");
  // Before 1970 the fraction still counts forwards from the whole second before.
  EXPECT_EQ(bidsAcqTime(int64_t{-1}, true), "1969-12-31T23:59:59.999999Z");
}

namespace {

// A source of one column (and an event column) in pieces of `rows`.
MotionSource source(std::vector<double> time, std::vector<double> values, std::vector<double> events, size_t rows) {
  struct State {
    std::vector<double> time, values, events;
    size_t at = 0, rows;
  };
  auto s = std::make_shared<State>(State{std::move(time), std::move(values), std::move(events), 0, rows});
  return {[s](RowPiece& piece) {
            if (s->at >= s->time.size()) return false;
            const size_t n = std::min(s->rows, s->time.size() - s->at);
            piece.rows = n;
            piece.time.assign(s->time.begin() + s->at, s->time.begin() + s->at + n);
            piece.values = {std::vector<double>(s->values.begin() + s->at, s->values.begin() + s->at + n),
                            std::vector<double>(s->events.begin() + s->at, s->events.begin() + s->at + n)};
            piece.valid.assign(2, {});
            s->at += n;
            return true;
          },
          1};
}

std::string merged(size_t rows, MotionSpan& span) {
  const double nan = std::nan("");
  std::vector<MotionSource> sources{source({0, 0.1, 0.2, 0.3}, {1, 2, nan, 4}, {nan, nan, nan, 7}, rows),
                                    source({0.1 + 5e-8, 0.25, 0.3}, {10, nan, 30}, {nan, 5, nan}, rows)};
  std::vector<BidsChannel> channels(2);
  channels[0].factor = 2.0;
  channels[1].table = 1;
  std::string text;
  motionRows(sources, channels, 2, [&](const std::string& piece) { text += piece; }, [](double) {}, span);
  return text;
}

}  // namespace

// Rows within 1e-7 s are one instant; a row with an event alone is none.
TEST(Bids, MotionRowsMergeTheTablesByInstant) {
  for (const size_t rows : {size_t{1}, size_t{3}, size_t{100}}) {
    MotionSpan span;
    EXPECT_EQ(merged(rows, span), "2\tn/a\t0\n4\t10\t0.1\n8\t30\t0.3\n") << rows;
    EXPECT_EQ(span.rows, 3u);
    EXPECT_EQ(eventsText(span, {"a", "b"}), "onset\tduration\tvalue\ttracked_point\n0.25\t0\t5\tb\n0.3\t0\t7\ta\n");
  }
}

// A lock left by a run that died is taken once stale; the run then writes and lets it go.
TEST(Bids, StaleLockIsTaken) {
  TempDir dir;
  gen::RecordingRecipe recipe;
  recipe.seconds = 1;
  ASSERT_TRUE(gen::writeRecording(dir.path("r.bin"), recipe));
  const std::string root = dir.path("ds");
  std::filesystem::create_directories(root);
  const std::string lock = root + "/.kinovar-lock";
  writeBytes(lock, {});
  std::filesystem::last_write_time(lock, std::filesystem::file_time_type::clock::now() - std::chrono::minutes(2));
  BidsRun run{{dir.path("r.bin")}, root, {"r"}, {}, {"01", "", "t", "kinovar", "", ""}, false, "test", "0"};
  const BidsOutcome outcome = writeBidsRun(run, {});
  EXPECT_FALSE(outcome.system.failure.error);
  EXPECT_TRUE(std::filesystem::exists(outcome.files[kBidsMotion]));
  EXPECT_FALSE(std::filesystem::exists(lock));
  EXPECT_EQ(readText(root + "/participants.tsv"), "participant_id\nsub-01\n");
}
