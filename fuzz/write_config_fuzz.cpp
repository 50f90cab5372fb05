// writeConfig with any settings text, into a scratch file that already holds
// settings: a refused text must leave them whole, an accepted one must fit
// the block, and no temporary file may stay behind.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "common.h"
#include "ops/operations.h"

using namespace kinovar;

namespace {

const std::string kOld = "Q7\x03\x15\x02\x00\x07\xFF\xFE";  // measureId 7

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void removeScratch() {
  std::error_code ignored;
  std::filesystem::remove_all(fuzz::scratchFolder(), ignored);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string target = [] {
    std::string path = fuzz::scratchFolder() + "/settings.cfg";
    std::atexit(removeScratch);  // after the folder name exists, so it outlives this
    return path;
  }();
  {
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out << kOld;
  }
  // The binding hands the text over up to its first NUL.
  const std::string text(reinterpret_cast<const char*>(data), size);
  const bool ok = writeConfig(target.c_str(), text.c_str());
  const std::string now = slurp(target);
  if (!ok && now != kOld) fuzz::fail("a refused text changed the settings file");
  if (ok && now.size() > 512) fuzz::fail("settings file longer than one block");
  readConfig(target.c_str());
  readConfigDeviceId(target.c_str());
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(fuzz::scratchFolder())) {
    (void)entry;
    ++files;
  }
  if (files != 1) fuzz::fail("writeConfig left a temporary file");
  return 0;
}
