// Settings blocks with records of any type and length, in memory and read
// from a settings file of any size.
#include <cstring>
#include <vector>

#include "common.h"
#include "settings/settings_record.h"

using namespace kinovar;

namespace {

// Unknown records are kept whole: each starts with the magic and is exactly
// as long as its length byte says.
void checkUnknown(const std::vector<uint8_t>& unknown) {
  if (unknown.size() > kSettingsBlockSize) fuzz::fail("unknown records longer than the block");
  for (size_t at = 0; at < unknown.size();) {
    if (unknown.size() - at < 7 || unknown[at] != 'Q' || unknown[at + 1] != '7') fuzz::fail("unknown record cut");
    at += unknown[at + 4] + 7u;
    if (at > unknown.size()) fuzz::fail("unknown record runs past the kept bytes");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly the block, on the heap, so that a read past it is caught.
  std::vector<uint8_t> block(data, data + std::min(size, kSettingsBlockSize));
  block.resize(kSettingsBlockSize, 0);
  DeviceSettings fromBlock;
  const bool found = decodeSettingsBlock(fromBlock, block.data());
  checkUnknown(fromBlock.unknownRecords);
  if (!found && !fromBlock.unknownRecords.empty()) fuzz::fail("records kept from a block without magic");

  // The same bytes as a settings file: a short file reads as zero-padded.
  if (size > 0) {
    DeviceSettings fromFile;
    if (decodeSettingsFile(fromFile, {data, size}) != found) fuzz::fail("file and block decoding disagree");
    if (fromFile.unknownRecords != fromBlock.unknownRecords) fuzz::fail("file and block keep different records");
  }

  // One record at every position with only the bytes left in the block.
  for (size_t at = 0; at + 2 <= kSettingsBlockSize; at += 61) {
    DeviceSettings one;
    bool recognised = true;
    const int length = decodeSettingsRecord(one, recognised, block.data() + at, kSettingsBlockSize - at);
    if (length > static_cast<int>(kSettingsBlockSize - at)) fuzz::fail("record length past the block");
  }
  return 0;
}
