// Inputs the fuzzers once crashed on, kept in fuzz/regressions/<target>/ and
// replayed here, so that the sanitizer build sees them on every run.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "export/csv.h"
#include "export/json.h"
#include "export/paths.h"
#include "orientation/orientation.h"
#include "reader/parser.h"
#include "settings/base64.h"
#include "settings/settings_ops.h"
#include "settings/settings_record.h"
#include "sync/sync.h"
#include "test_files.h"

using namespace kinovar;
namespace fs = std::filesystem;

namespace {

const fs::path kRegressions = fs::path(__FILE__).parent_path().parent_path().parent_path() / "fuzz" / "regressions";

std::vector<uint8_t> bytesOf(const fs::path& file) {
  const std::string text = readText(file.string());
  return std::vector<uint8_t>(text.begin(), text.end());
}

// The same stages as the fuzz target of that name, on files instead of memory.
void replay(const std::string& target, const std::vector<uint8_t>& input) {
  TempDir dir;
  auto parse = [&](const std::string& name, const uint8_t* data, size_t size, Recording& recording) {
    writeBytes(dir.path(name), std::vector<uint8_t>(data, data + size));
    const bool ok = parseRecordingFile(recording.settings, recording.streams, dir.path(name).c_str());
    if (ok) estimateOrientation(recording.settings, recording.streams);
    return ok;
  };
  if (target == "parser") {
    Recording recording;
    parse("rec.bin", input.data(), input.size(), recording);
    exportCsv(dir.path("rec.csv").c_str(), recording.settings, recording.streams);
    readResultJson(recording.settings);
  } else if (target == "settings_block") {
    std::vector<uint8_t> block(input.begin(), input.begin() + std::min<size_t>(input.size(), kSettingsBlockSize));
    block.resize(kSettingsBlockSize, 0);
    DeviceSettings settings;
    decodeSettingsBlock(settings, block.data());
    writeBytes(dir.path("a.cfg"), input);
    readConfig(dir.path("a.cfg").c_str());
  } else if (target == "write_config") {
    const std::string text(input.begin(), input.end());
    writeConfig(dir.path("a.cfg").c_str(), text.c_str());
    readConfig(dir.path("a.cfg").c_str());
  } else if (target == "base64") {
    encodeBase64(decodeBase64(std::string_view(reinterpret_cast<const char*>(input.data()), input.size())));
  } else if (target == "utf8") {
    const std::string path(input.begin(), input.end());
    try {
      utf8ToWide(path.c_str());
    } catch (const std::range_error&) {
    }
    fileStem(path.c_str());
  } else if (target == "sync") {
    if (input.size() < 2) return;
    const size_t first = std::min<size_t>(static_cast<size_t>(input[0]) << 8 | input[1], input.size() - 2);
    Recording a, b;
    if (!parse("a.bin", input.data() + 2, first, a) || !parse("b.bin", input.data() + 2 + first, input.size() - 2 - first, b))
      return;
    std::vector<StreamMap> synced;
    syncRecordings(synced, {a.settings, b.settings}, {a.streams, b.streams});
  } else {
    FAIL() << "no replay for fuzz target " << target;
  }
}

}  // namespace

TEST(Regression, KeptFuzzInputsRunClean) {
  if (!fs::is_directory(kRegressions)) GTEST_SKIP() << "no kept inputs at " << kRegressions;
  for (const auto& folder : fs::directory_iterator(kRegressions)) {
    if (!folder.is_directory()) continue;
    for (const auto& file : fs::directory_iterator(folder.path())) {
      SCOPED_TRACE(file.path().string());
      replay(folder.path().filename().string(), bytesOf(file.path()));
    }
  }
}
