// Our outputs known from their bytes, so that one may give way to another
// and any other file is kept.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "export/parquet.h"
#include "ops/existing.h"
#include "ops/names.h"
#include "test_files.h"

namespace {

using namespace kinovar;

struct Found {
  std::string kind, format;
};

Found look(TempDir& dir, const std::string& bytes) {
  const std::string file = dir.path("file");
  writeBytes(file, std::vector<uint8_t>(bytes.begin(), bytes.end()));
  const ExistingFile found = existingFile(file);
  return {existingName(found.kind), found.format ? found.format : ""};
}

TEST(ExistingFile, KnowsOurOutputsFromTheirBytesAlone) {
  TempDir dir;
  const auto expect = [&](const std::string& bytes, const std::string& kind, const std::string& format = "") {
    const Found found = look(dir, bytes);
    EXPECT_EQ(found.kind, kind) << bytes.substr(0, 60);
    EXPECT_EQ(found.format, format) << bytes.substr(0, 60);
  };
  // Saved again by an editor with CRLF, an OpenSim table is still ours; another table is not.
  expect("DataRate=100\r\nDataType=Quaternion\r\nversion=3\r\nOpenSimVersion=4.5\r\nendheader\r\ntime\tpelvis\r\n", "output",
         "opensim");
  expect("DataRate=100\nDataType=Quaternion\nversion=3\nOpenSimVersion=4.4\nendheader\ntime\tpelvis\n", "other");
  // A set's report naming a path with the settings' two letters is a report, not a settings file.
  expect("{\n  \"format\": \"kinovar set 1\",\n  \"files\": [\"/data/Q7xxx.csv\"]\n}", "output", "set");
  expect("{\"format\": \"kinovar set 10\"}", "other");
  const std::string column = columnLayouts()[0].name;
  expect("time," + column + "\r\n0,1\r\n", "output", "plain");
  expect("time," + column + ",notes\n0,1,x\n", "other");
  expect(std::string(csvBanner()) + "\n", "csv", "csv");
  // A Parquet file is ours when its footer, in its last 64 KiB, names our format.
  const std::string padding(100000, '\0');
  expect("PAR1" + padding + parquet::kTableFormat + "PAR1", "output", "parquet");
  expect(std::string("PAR1") + parquet::kTableFormat + padding + "PAR1", "other");
  // The settings' records: a block alone is a settings file, more is a recording.
  expect("xxQ7" + std::string(508, ' '), "settings");
  expect("xxQ7" + std::string(509, ' '), "recording");
  expect("", "empty");
  EXPECT_EQ(existingFile(dir.path("none/file")).kind, Existing::Missing);
  EXPECT_EQ(existingFile(dir.path("")).kind, Existing::Folder);
}

}  // namespace
