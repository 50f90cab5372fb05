// The io floor: outputs replaced whole, alone or together, chunks
// written in order whatever the threads, and the JSON writer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "gen/generator.h"
#include "gen/sync_set.h"
#include "io/ahead.h"
#include "io/json_writer.h"
#include "io/ordered_writer.h"
#include "io/output_file.h"
#include "io/paths.h"
#include "ops/operations.h"
#include "test_files.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

using namespace kinovar;
namespace fs = std::filesystem;

std::span<const uint8_t> bytesOf(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TEST(ReplaceFiles, EachTakesItsNameOnlyWhenAllAreWritten) {
  TempDir dir;
  const std::string a = dir.path("a.csv"), b = dir.path("b.csv");
  writeBytes(a, {'o', 'l', 'd'});
  OutputFailure failure;
  ASSERT_TRUE(replaceFiles({a, b}, {bytesOf("first"), bytesOf("second")}, &failure));
  EXPECT_EQ(readText(a), "first");
  EXPECT_EQ(readText(b), "second");
  EXPECT_EQ(dir.entries(), 2u);  // no temporary file left

  // A target that cannot be written (a folder) refuses the whole set before
  // any is touched, naming that target.
  fs::create_directory(dir.path("c.csv"));
  EXPECT_FALSE(replaceFiles({a, dir.path("c.csv")}, {bytesOf("new"), bytesOf("new")}, &failure));
  EXPECT_EQ(failure.path, dir.path("c.csv"));
  EXPECT_EQ(failure.error.value(), EISDIR);
  EXPECT_STREQ(failure.step, "open");
  EXPECT_EQ(readText(a), "first");
  EXPECT_EQ(dir.entries(), 3u);

#ifndef _WIN32
  // A write that fails part-way (a full medium) leaves every target as it was.
  const std::string big(1 << 16, 'x');
  EXPECT_FALSE(withFileSizeLimit(1 << 12, [&] { return replaceFiles({a, b}, {bytesOf("small"), bytesOf(big)}, &failure); }));
  EXPECT_EQ(failure.path, b);
  EXPECT_EQ(failure.error.value(), EFBIG);
  EXPECT_EQ(readText(a), "first");
  EXPECT_EQ(readText(b), "second");
  EXPECT_EQ(dir.entries(), 3u);
#endif
}

#ifndef _WIN32
TEST(ReplaceFiles, KeepsWhatUsersSetUpAroundTheFile) {
  TempDir dir;
  fs::create_directory(dir.path("data"));
  const std::string real = dir.path("data/real.csv"), link = dir.path("link.csv");
  writeBytes(real, {'o', 'l', 'd'});
  ASSERT_EQ(chmod(real.c_str(), 0640), 0);
  fs::create_symlink("data/real.csv", link);

  // Through a link: the file it names is replaced, the link stays, and the
  // file keeps its permissions whatever the umask.
  const mode_t saved = umask(077);
  ASSERT_TRUE(replaceFile(link.c_str(), bytesOf("new")));
  umask(saved);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(readText(real), "new");
  struct stat info {};
  ASSERT_EQ(stat(real.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(dir.entries(), 2u);

  // A device is written as it is, never replaced by a file.
  const std::string device = dir.path("null.csv");
  fs::create_symlink("/dev/null", device);
  ASSERT_TRUE(replaceFile(device.c_str(), bytesOf("gone")));
  ASSERT_TRUE(fs::is_symlink(device));
  EXPECT_TRUE(fs::is_character_file("/dev/null"));

  // A link to nothing is not a place to create the file.
  const std::string dangling = dir.path("dangling.csv");
  fs::create_symlink("missing/x.csv", dangling);
  OutputFailure failure;
  EXPECT_FALSE(replaceFile(dangling.c_str(), bytesOf("x"), &failure));
  EXPECT_EQ(failure.error.value(), ENOENT);
  EXPECT_EQ(dir.entries(), 4u);
}
#endif

// Forcing to the medium costs a conversion dearly: done only when asked,
// and always for settings, which configure devices.
TEST(OutputFile, ForcesToTheMediumOnlyWhenDurable) {
  TempDir dir;
  const std::string recording = dir.path("r.bin"), csv = dir.path("r.csv");
  writeBytes(recording, gen::buildRecording(gen::RecordingRecipe{}));
  ConversionOptions options;
  DeviceSettings settings;
  uint64_t before = forcedSyncs();
  ASSERT_TRUE(convertRecording(recording.c_str(), csv.c_str(), options, settings));
  EXPECT_EQ(forcedSyncs(), before);
  options.durable = true;
  ASSERT_TRUE(convertRecording(recording.c_str(), csv.c_str(), options, settings));
  EXPECT_GT(forcedSyncs(), before);
  before = forcedSyncs();
  ASSERT_TRUE(replaceFile(dir.path("s.cfg").c_str(), bytesOf("settings")));
  EXPECT_GT(forcedSyncs(), before);
  // Written in place (a folder we may not create in): still forced when asked.
#ifdef _WIN32
  for (const char* target : {csv.c_str()}) {
#else
  for (const char* target : {csv.c_str(), "/dev/null"}) {
#endif
    OutputFile file = OutputFile::inPlace(target, OutputFile::Mode::Binary);
    before = forcedSyncs();
    EXPECT_TRUE(file.finish(true)) << target;
    EXPECT_GT(forcedSyncs(), before) << target;
  }
}

// Our temporary names carry the owner's pid and nothing else passes for
// one; a file replaced (its space released off the caller's path) leaves no
// name behind.
TEST(OutputFile, TemporariesAreNamedAndLeaveNothing) {
  uint64_t pid = 0;
  const std::string name = fs::path(temporaryPath("dir/out.csv")).filename().string();
  EXPECT_TRUE(isTemporaryName(name, &pid)) << name;
  EXPECT_GT(pid, 0u);
  EXPECT_TRUE(isTemporaryName(fs::path(temporaryFolderPath("dir")).filename().string()));
  for (const char* other : {"out.csv.tmp-0123456789ab", "out.csv.kinovar-12-0123456789ab", "notes.kinovar-12-0123.tmp",
                            "out.csv.kinovar--0123456789ab.tmp", "x.kinovar-12-0123456789AB.tmp", ".kinovar-1-0123456789ab.tmp"})
    EXPECT_FALSE(isTemporaryName(other)) << other;

  TempDir dir;
  const std::string target = dir.path("out.csv");
  ASSERT_TRUE(replaceFile(target.c_str(), bytesOf(std::string(1 << 20, 'a'))));
  ASSERT_TRUE(replaceFile(target.c_str(), bytesOf("new"), nullptr, false));
  EXPECT_EQ(readText(target), "new");
  EXPECT_EQ(dir.entries(), 1u);
}

TEST(OrderedWriter, WritesChunksInOrderAndPassesOnTheFirstError) {
  for (const bool threaded : {false, true}) {
    std::string out;
    writeChunksInOrder(
        200, 16,
        [](size_t c, ChunkBuffer& buffer) {
          const std::string text = std::to_string(c) + ";";
          char* room = buffer.room();
          std::copy(text.begin(), text.end(), room);
          buffer.commit(room + text.size());
        },
        [&](const char* data, size_t size) { out.append(data, size); }, threaded);
    std::string expected;
    for (int c = 0; c < 200; ++c) expected += std::to_string(c) + ";";
    EXPECT_EQ(out, expected) << "threaded " << threaded;

    size_t written = 0;
    EXPECT_THROW(writeChunksInOrder(
                     200, 16,
                     [](size_t c, ChunkBuffer&) {
                       if (c == 50) throw std::runtime_error("chunk");
                     },
                     [&](const char*, size_t) { ++written; }, threaded),
                 std::runtime_error);
    EXPECT_LE(written, 50u);
  }
}

}  // namespace

namespace {

TEST(Ahead, HandsPiecesInOrderWithinItsBoundThenTheFailure) {
  // Pieces hold their number; the producer fails after five.
  std::atomic<uint64_t> put{0};
  Ahead<std::vector<int>> queue(2, [](const std::vector<int>& piece) { return piece.size(); },
                                [&](const Ahead<std::vector<int>>::Put& hand) {
                                  for (int i = 0; i < 5; ++i) {
                                    std::vector<int> piece(1, i);
                                    hand(piece);
                                    ++put;
                                  }
                                  throw std::runtime_error("broken");
                                });
  uint64_t taken = 0;
  for (int i = 0; i < 5; ++i) {
    std::vector<int>* piece = queue.front();
    ASSERT_NE(piece, nullptr);
    EXPECT_EQ((*piece)[0], i);
    // Never more than the bound waiting, however fast the producer runs.
    EXPECT_LE(put - taken, 2u);
    queue.used(1, true);
    ++taken;
  }
  EXPECT_THROW(queue.front(), std::runtime_error);
}

TEST(Ahead, StopsItsProducerWhenTheConsumerGoes) {
  std::atomic<int> made{0};
  {
    Ahead<int> queue(1, [](const int&) { return uint64_t{1}; }, [&](const Ahead<int>::Put& hand) {
      for (int i = 0;; ++i, ++made) hand(i);
    });
    ASSERT_NE(queue.front(), nullptr);
  }
  EXPECT_LE(made.load(), 3);
}

TEST(JsonWriter, NestsSeparatesAndEscapes) {
  JsonWriter json;
  json.beginObject().member("text", "a\"b\\c\n").key("list").beginArray();
  json.value(1.5).value(std::numeric_limits<double>::infinity()).value(uint64_t{18446744073709551615u});
  json.beginObject().endObject().beginArray().endArray().endArray();
  json.key("raw");
  json.document("{\"x\":1}").member("n", -3).endObject();
  EXPECT_EQ(json.take(),
            "{\"text\":\"a\\\"b\\\\c\",\"list\":[1.5,null,18446744073709551615,{},[]],\"raw\":{\"x\":1},\"n\":-3}");
}

// Files first written by the JS layer keep their bytes: the text here is
// what JSON.stringify(value, null, 2) gives for the same value.
TEST(JsonWriter, IndentedIsJavaScriptsText) {
  JsonWriter json(JsonLayout::Indented);
  json.beginObject().key("a").beginArray().endArray().key("b").beginObject().endObject();
  // A lone surrogate as a host's WTF-8 holds it: ED A0 80.
  json.member("k\"ey", "q\"\\\n\r\t\b\f\x01\x1f \xc3\xa9 \xf0\x9f\x98\x80 \xed\xa0\x80x");
  const double inf = std::numeric_limits<double>::infinity();
  json.key("n").beginArray();
  for (double v : {0.1, 1e-7, 1e21, -0.0, 123456789012.0, 5e-324, -1.5e300, inf - inf, inf}) json.value(v);
  json.value(3).endArray();
  json.key("o").beginObject().key("x").beginObject().key("y").beginArray();
  json.beginArray().endArray().beginObject().endObject().endArray().endObject().endObject();
  json.member("t", true).member("f", false).key("z").null().endObject();
  EXPECT_EQ(json.take(),
            "{\n  \"a\": [],\n  \"b\": {},\n  \"k\\\"ey\": \"q\\\"\\\\\\n\\r\\t\\b\\f\\u0001\\u001f \xc3\xa9 "
            "\xf0\x9f\x98\x80 \\ud800x\",\n  \"n\": [\n    0.1,\n    1e-7,\n    1e+21,\n    0,\n    123456789012,\n    "
            "5e-324,\n    -1.5e+300,\n    null,\n    null,\n    3\n  ],\n  \"o\": {\n    \"x\": {\n      \"y\": [\n        "
            "[],\n        {}\n      ]\n    }\n  },\n  \"t\": true,\n  \"f\": false,\n  \"z\": null\n}");
  JsonWriter compact(JsonLayout::JavaScript);
  compact.beginObject().key("n").beginArray().value(1e-7).value(-0.0).endArray().member("s", "\x02").endObject();
  EXPECT_EQ(compact.take(), "{\"n\":[1e-7,0],\"s\":\"\\u0002\"}");
}

#ifndef _WIN32
// Node's path.relative: names compared whole, "." and ".." and doubled or
// trailing separators gone, the root on either side.
TEST(Paths, RelativeAsNodeGivesIt) {
  EXPECT_EQ(relativePath("/a/b", "/a//b/./"), "");
  EXPECT_EQ(relativePath("/a/bc", "/a/b/c"), "../b/c");
  EXPECT_EQ(relativePath("/a/b/", "/a"), "..");
  EXPECT_EQ(relativePath("/", "/x/y"), "x/y");
  EXPECT_EQ(relativePath("/x/y/../z", "/"), "../..");
  const std::string cwd = std::filesystem::current_path().string();
  EXPECT_EQ(relativePath(cwd + "/out", "in/a.bin"), "../in/a.bin");
  EXPECT_EQ(fileName("/a/b\\c.csv"), "b\\c.csv");
}
#endif

}  // namespace

namespace {

// The JS layer relies on a set's files appearing together: a file that
// cannot be written keeps every other target as it was.
TEST(SetOutputs, TakeTheirNamesTogether) {
  TempDir dir;
  gen::SyncSetRecipe recipe;
  recipe.method = gen::SyncMethod::TimeMarks;
  recipe.base.seconds = 2.0;
  recipe.base.eventHz = 1;
  recipe.motionStart = 1.0;
  recipe.sensors = {{0.0, 0.0, "a"}, {0.25, 0.25, "b"}};
  gen::SyncSet set;
  ASSERT_TRUE(gen::writeSyncSet(dir.path(""), recipe, &set));
  std::filesystem::create_directory(dir.path("out"));
  const std::vector<std::string> targets = {dir.path("out/a.csv"), dir.path("out/b.csv")};
  writeBytes(targets[0], {'o', 'l', 'd'});
  std::filesystem::create_directory(targets[1]);

  const SetOutcome refused = readAndSyncSet(set.paths, dir.path("out"), true);
  EXPECT_EQ(refused.failure, SetFailure::Output);
  EXPECT_EQ(refused.outputRecordings, std::vector<size_t>{1});
  EXPECT_EQ(readText(targets[0]), "old");

  std::filesystem::remove(targets[1]);
  const SetOutcome written = readAndSyncSet(set.paths, dir.path("out"), true);
  ASSERT_EQ(written.failure, SetFailure::None);
  EXPECT_EQ(readText(targets[0]).rfind("Quandrel - Kinovar data export", 0), 0u);
  EXPECT_TRUE(std::filesystem::is_regular_file(targets[1]));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path("out")), {}), 2);  // no temporary file left

  // A set tells how far it has come as its rows are made, from its first
  // pass to 1. Asked to stop part-way (once it has told some progress, rows
  // written), a set or a recording throws Cancelled: the old files stay and
  // no temporary is left, whatever the estimator's threads were doing.
  for (const Estimator estimator : {Estimator::Classic, Estimator::Accurate}) {
    ConversionOptions options;
    options.estimator = estimator;
    options.chunkSamples = 16;
    // One thread: with two, a busy machine may let the other thread do both
    // recordings before this one starts, and only this one tells.
    options.threads = 1;
    std::vector<double> told;
    options.progress = [&](double fraction) { told.push_back(fraction); };
    ASSERT_EQ(readAndSyncSet(set.paths, dir.path("out"), true, options).failure, SetFailure::None);
    options.threads = 0;
    ASSERT_FALSE(told.empty());
    EXPECT_EQ(told.back(), 1.0);
    EXPECT_TRUE(std::is_sorted(told.begin(), told.end()));
    EXPECT_GT(std::count_if(told.begin(), told.end(), [](double f) { return f > 0.1 && f < 1; }), 5) << "rises with the rows";
    const std::string before = readText(targets[0]);
    for (const bool wholeSet : {false, true}) {
      const uint32_t flag = newCancelFlag();
      options.cancel = cancelToken(flag);
      told.clear();
      options.progress = [&](double fraction) {
        told.push_back(fraction);
        if (fraction > 0.5 && fraction < 1) raiseCancelFlag(flag);
      };
      DeviceSettings settings;
      options.threads = wholeSet ? 1 : 0;  // past half way, the first file is complete and the second begun
      if (wholeSet) EXPECT_THROW(readAndSyncSet(set.paths, dir.path("out"), true, options), Cancelled);
      else EXPECT_THROW(convertRecording(set.paths[0].c_str(), targets[0].c_str(), options, settings), Cancelled);
      dropCancelFlag(flag);
      EXPECT_TRUE(!told.empty() && told.back() > 0.5) << "stopped part-way";
      EXPECT_EQ(readText(targets[0]), before);
      EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path("out")), {}), 2);
    }
  }
}

}  // namespace
