// The Base64 of the unknown records: any text decodes within bounds, and
// every byte string survives encode then decode.
#include <string_view>
#include <vector>

#include "common.h"
#include "settings/base64.h"

using namespace kinovar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<uint8_t> decoded = decodeBase64(text);
  if (decoded.size() > size / 4 * 3 + 2) fuzz::fail("more bytes decoded than the text holds");

  const std::vector<uint8_t> bytes(data, data + size);
  const std::string encoded = encodeBase64(bytes);
  if (encoded.size() != (size + 2) / 3 * 4) fuzz::fail("encoded length is not padded to groups of four");
  if (decodeBase64(encoded) != bytes) fuzz::fail("encode then decode changed the bytes");
  return 0;
}
