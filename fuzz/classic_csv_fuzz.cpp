// Classic CSV exports as users hand them to the viewer: cut short, edited by
// hand, or not ours at all. Reading one must refuse it with a reason or give
// streams whose arrays agree, and the page built from them must stay in bounds.
#include <string>

#include "common.h"
#include "view/view_data.h"

using namespace kinovar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  StreamMap streams;
  std::string created, error;
  if (!decodeClassicCsv({reinterpret_cast<const char*>(data), size}, streams, created, error)) {
    if (error.empty()) fuzz::fail("a refused CSV without a reason");
    return 0;
  }
  // Each row gives a stream at most one sample.
  uint64_t lines = 1;
  for (size_t i = 0; i < size; ++i) lines += data[i] == '\n';
  for (const auto& [key, stream] : streams) {
    if (key != kAccelKey && key != kGyroKey && key != kBaroKey && key != kEventKey && key != kQuaternionKey)
      fuzz::fail("a stream the classic CSV has no columns for");
    if (stream.values.size() != stream.channels * stream.count || stream.times.size() != stream.count)
      fuzz::fail("stream arrays do not match channels x count");
    if (stream.count > lines) fuzz::fail("more samples than lines");
  }
  // A small budget keeps each execution fast.
  ViewOptions options;
  options.budgetBytes = 1 << 16;
  const std::vector<uint8_t> page = buildViewData(streams, created, options);
  if (page.size() < 8 || page[0] != 'K' || page[1] != 'V' || page[2] != 'W' || page[3] != '1')
    fuzz::fail("page data without its signature");
  const uint64_t header = page[4] | page[5] << 8 | page[6] << 16 | static_cast<uint64_t>(page[7]) << 24;
  if (8 + header > page.size()) fuzz::fail("page header longer than the page");
  return 0;
}
