#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "settings/base64.h"
#include "ops/operations.h"
#include "settings/settings_text.h"
#include "test_files.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

using namespace kinovar;
using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

namespace {

Bytes encode(const std::string& text) {
  Bytes out;
  EXPECT_TRUE(encodeSettingsText(text, out)) << text;
  return out;
}

[[maybe_unused]] std::string str(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace

// Padding and the alphabet are pinned by the unknownFrames cases; the fuzz
// target checks the round trip.
TEST(SettingsBase64, DecodingStopsAtPaddingOrAStrayCharacter) {
  EXPECT_EQ(decodeBase64("+/8="), (Bytes{0xFB, 0xFF}));
  EXPECT_EQ(decodeBase64("Zm9v=YmFy"), (Bytes{'f', 'o', 'o'}));
  EXPECT_EQ(decodeBase64("Zm9vY"), (Bytes{'f', 'o', 'o'}));
}

TEST(SettingsText, RecordsAreByteExactInTextOrder) {
  EXPECT_EQ(encode("device,305419896,3,7"),
            (Bytes{'Q', '7', 1, 1, 6, 0x12, 0x34, 0x56, 0x78, 3, 7, 0xFF, 0xFE}));
  EXPECT_EQ(encode("firmware,1,2,3"), (Bytes{'Q', '7', 1, 2, 6, 0, 1, 0, 2, 0, 3, 0xFF, 0xFE}));
  EXPECT_EQ(encode("baro,300"), (Bytes{'Q', '7', 2, 2, 2, 21, 44, 0xFF, 0xFE}));
  EXPECT_EQ(encode("radio,1,2:device,-1,255,256"),
            (Bytes{'Q', '7', 1, 5, 2, 1, 2, 0xFF, 0xFE, 'Q', '7', 1, 1, 6, 0xFF, 0xFF, 0xFF, 0xFF, 255, 0, 0xFF, 0xFE}));
  // White space, a sign and trailing characters are what hosts may send.
  EXPECT_EQ(encode("radio, +7x,\t-1.9"), encode("radio,7,-1"));
  EXPECT_EQ(encode("device,-2147483648,0,0")[5], 0x80);
  // Unknown records land where their entry stands; an empty text is no record.
  EXPECT_EQ(encode("baro,1:unknownFrames,UTcDBQA=:radio,0,0"),
            (Bytes{'Q', '7', 2, 2, 2, 21, 1, 0xFF, 0xFE, 'Q', '7', 3, 5, 0, 'Q', '7', 1, 5, 2, 0, 0, 0xFF, 0xFE}));
  EXPECT_TRUE(encode("").empty());
  EXPECT_TRUE(encode("unknownFrames").empty());
  EXPECT_EQ(encode("baro,1:"), encode("baro,1"));
}

TEST(SettingsText, RefusedTextLeavesTheFileAsItWas) {
  std::string full;
  for (int i = 0; i < 14; ++i) full += "accel,1,2,3,4,5,6,7,8:";
  full += "baro,1:baro,1:baro,1:baro,1";  // 14 * 34 + 4 * 9 = 512 exactly
  EXPECT_EQ(encode(full).size(), 512u);

  TempDir dir;
  const std::string target = dir.path("s.bin");
  ASSERT_TRUE(writeConfig(target.c_str(), "device,1,2,3:baro,100"));
  const std::string before = readText(target);
  const std::string refused[] = {
      "Device,1,2,3", "nope,1", "accel,1,2,3,4,5,6,7", "firmware,1,2", "device,1,2", "baro", "baro,", "baro,abc",
      "baro,-", "baro, ", "baro,,1", "baro,2147483648", "baro,-2147483649", "baro,4294967296",
      "baro,99999999999999999999", "device,1,2,3::baro,1", ":baro,1", ":", full + ":baro,1",
      "unknownFrames," + encodeBase64(Bytes(513, 'Q')),
  };
  for (const std::string& text : refused) {
    EXPECT_FALSE(writeConfig(target.c_str(), text.c_str())) << text;
    EXPECT_EQ(readText(target), before) << text;
  }
  EXPECT_EQ(dir.entries(), 1u);
}

TEST(SettingsFiles, ReadConfigDocument) {
  TempDir dir;
  const std::string kEmptyDates = "\"createdAt\":\"0000-00-00 00:00:00\",\"endDate\":\"0000-00-00 00:00:00\",";
  // Only a measure-id record: exactly five members.
  writeBytes(dir.path("m.bin"), {'Q', '7', 3, 21, 2, 0, 7, 0xFF, 0xFE});
  EXPECT_EQ(readConfig(dir.path("m.bin").c_str()), "{\"unknownFrames\":\"\"," + kEmptyDates + "\"frequency\":0,\"measureId\":7}");
  EXPECT_EQ(readConfigDeviceId(dir.path("m.bin").c_str()), "{\"deviceId\":-1}");

  // Type-3 accelerometer (offset -12345 is -1.2345, gain -5000 is -0.5), an
  // unknown 3/5 record, a gyro, clock, firmware and a date.
  Bytes file = {'Q', '7', 3, 2, 30, 7, 0x03, 0xE8, 1, 0xFF, 0xFF, 0xCF, 0xC7};
  file.resize(file.size() + 16, 0);
  file.insert(file.end(), {0xFF, 0xFF, 0xEC, 0x78, 0, 0, 0xFF, 0xFE, 'Q', '7', 3, 5, 1, 9, 0xFF, 0xFE});
  const Bytes rest = encode("gyro,50,250,3,-4,5,6,7,8:firmware,4,5,6:baro,25");
  file.insert(file.end(), rest.begin(), rest.end());
  file.insert(file.end(), {'Q', '7', 3, 8, 2, 0x04, 0x00, 0xFF, 0xFE, 'Q', '7', 3, 0, 7, 9, 8, 7, 6, 5, 0x07, 0xE2, 0xFF, 0xFE});
  writeBytes(dir.path("full.bin"), file);
  EXPECT_EQ(readConfig(dir.path("full.bin").c_str()),
            "{\"unknownFrames\":\"UTcDBQEJ//4=\","
            "\"gyro\":{\"frequency\":50,\"range\":250,\"offsetX\":3,\"offsetY\":-4,\"offsetZ\":5,\"gainX\":6,\"gainY\":7,\"gainZ\":8},"
            "\"accel\":{\"frequency\":1000,\"range\":16,\"offsetX\":-1,\"offsetY\":0,\"offsetZ\":0,\"gainX\":0,\"gainY\":0,\"gainZ\":0},"
            "\"baro\":{\"frequency\":25},"
            "\"deviceId\":-1,\"deviceType\":-1,\"bodyLocation\":-1,\"version\":4,\"majorVersion\":5,\"minorVersion\":6,"
            "\"radioMode\":0,\"radioChannel\":0,"
            "\"createdAt\":\"2018-05-06 07:08:09\",\"endDate\":\"0000-00-00 00:00:00\",\"frequency\":1024,\"measureId\":-1}");

  writeBytes(dir.path("empty.bin"), {});
  EXPECT_EQ(readConfig(dir.path("empty.bin").c_str()), "");
  EXPECT_EQ(readConfigDeviceId(dir.path("empty.bin").c_str()), "");
  EXPECT_EQ(readConfigDeviceId("\xA9"), "");
}

TEST(SettingsFiles, WriteThenReadBack) {
  TempDir dir;
  const std::string target = dir.path("s.bin");
  ASSERT_TRUE(writeConfig(target.c_str(), "device,305419896,3,7:accel,100,16,0,0,0,10000,10000,10000"));
  EXPECT_EQ(readConfigDeviceId(target.c_str()), "{\"deviceId\":305419896}");
  const std::string doc = readConfig(target.c_str());
  EXPECT_NE(doc.find("\"accel\":{\"frequency\":100,\"range\":16,\"offsetX\":0,\"offsetY\":0,\"offsetZ\":0,"
                     "\"gainX\":10000,\"gainY\":10000,\"gainZ\":10000},\"deviceId\":305419896,\"deviceType\":3,"
                     "\"bodyLocation\":7,"),
            std::string::npos)
      << doc;

  EXPECT_TRUE(writeConfig(target.c_str(), ""));
  EXPECT_EQ(fs::file_size(target), 0u);
  EXPECT_EQ(dir.entries(), 1u);  // no temporary left behind
  EXPECT_FALSE(writeConfig("\xC3", "baro,1"));
}

#ifndef _WIN32
// Group write is what the usual umask takes away from a new file: the
// replacement must keep it.
TEST(SettingsFiles, ReplacementKeepsTheFileMode) {
  TempDir dir;
  const std::string target = dir.path("s.bin");
  const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::group_write;
  const mode_t mask = ::umask(022);
  ASSERT_TRUE(writeConfig(target.c_str(), "baro,1"));
  fs::permissions(target, mode);
  ASSERT_TRUE(writeConfig(target.c_str(), "baro,2"));
  ::umask(mask);
  EXPECT_EQ(fs::status(target).permissions() & fs::perms::all, mode);
}

// A file size limit makes the write fail part-way, as a full medium would.
TEST(SettingsFiles, FailedWriteKeepsTheOldFile) {
  TempDir dir;
  const std::string target = dir.path("s.bin");
  ASSERT_TRUE(writeConfig(target.c_str(), "baro,2"));
  const std::string before = readText(target);
  const bool written = withFileSizeLimit(20, [&] { return writeConfig(target.c_str(), "accel,1,2,3,4,5,6,7,8"); });
  EXPECT_FALSE(written);
  EXPECT_EQ(readText(target), before);
  EXPECT_EQ(dir.entries(), 1u);
}

TEST(SettingsFiles, WritingThroughALinkReplacesTheFileItNames) {
  TempDir dir;
  const std::string target = dir.path("s.bin");
  ASSERT_TRUE(writeConfig(target.c_str(), "baro,2"));
  fs::create_symlink(target, dir.path("link.bin"));
  ASSERT_TRUE(writeConfig(dir.path("link.bin").c_str(), "baro,3"));
  EXPECT_TRUE(fs::is_symlink(dir.path("link.bin")));
  EXPECT_EQ(readText(target), str(encode("baro,3")));
}
#endif
