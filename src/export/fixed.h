// Fixed-notation numbers exactly as printf("%.*f") writes them in the C
// locale (correctly rounded, halfway cases to even, "-0.00000" kept), but
// without locale lookups or format parsing.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

namespace kinovar {

// Writes value with `precision` decimals at out; returns the end. out needs
// room for the longest double (some 330 characters at precision 5).
inline char* writeFixed(char* out, double value, int precision) {
  if (value != value) {  // printf spells NaN with its sign bit
    if (std::signbit(value)) *out++ = '-';
    out[0] = 'n'; out[1] = 'a'; out[2] = 'n';
    return out + 3;
  }
  return std::to_chars(out, out + 400, value, std::chars_format::fixed, precision).ptr;
}

inline constexpr size_t kMaxFixedLength = 400;

}  // namespace kinovar
