// utf8ToWide on any bytes: it either throws "bad conversion" or decodes, and
// wherever the C library also accepts the bytes both agree.
#include <clocale>
#include <cwchar>
#include <stdexcept>
#include <string>

#include "common.h"

using namespace kinovar;

namespace {

// Up to U+10FFFF the C library is stricter (no overlong forms, no
// surrogates), so what it accepts we must accept too.
bool libraryDecode(const std::string& bytes, std::wstring& out) {
  std::mbstate_t state{};
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    wchar_t c;
    const size_t n = std::mbrtowc(&c, p, left, &state);
    if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2) || n == 0) return false;
    if (static_cast<uint32_t>(c) > 0x10FFFF) return false;  // glibc goes past Unicode's end
    out.push_back(c);
    p += n;
    left -= n;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool localeSet = std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string path = bytes.c_str();  // a C path ends at its first NUL
  std::wstring wide;
  bool decoded = true;
  try {
    wide = utf8ToWide(bytes.c_str());
  } catch (const std::range_error& e) {
    if (std::string(e.what()) != "bad conversion") fuzz::fail("wrong conversion error text");
    decoded = false;
  }
  if (decoded && wide.size() > path.size()) fuzz::fail("more characters than bytes");
  std::wstring reference;
  if (localeSet && libraryDecode(path, reference)) {
    if (!decoded) fuzz::fail("well-formed UTF-8 refused");
    if (wide != reference) fuzz::fail("decoded differently from the C library");
  }
  const std::string stem = fileStem(path);
  if (stem.size() > path.size()) fuzz::fail("stem longer than its path");
  return 0;
}
