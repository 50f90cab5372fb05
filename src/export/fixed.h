// Fixed-notation numbers exactly as printf("%.*f") writes them in the C
// locale (correctly rounded, exact halfway cases to even, "-0.00000" kept),
// without locale lookups or format parsing.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace kinovar {

inline constexpr size_t kMaxFixedLength = 400;

namespace detail {

inline constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
inline constexpr uint64_t kIntPowersOfTen[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000};

inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline char* writeUnsigned(char* out, uint64_t value) {
  char digits[20];
  char* end = digits + 20;
  char* p = end;
  while (value >= 100) {
    const uint64_t pair = value % 100;
    value /= 100;
    p -= 2;
    p[0] = kDigitPairs[2 * pair], p[1] = kDigitPairs[2 * pair + 1];
  }
  if (value >= 10) {
    p -= 2;
    p[0] = kDigitPairs[2 * value], p[1] = kDigitPairs[2 * value + 1];
  } else {
    *--p = static_cast<char>('0' + value);
  }
  while (p < end) *out++ = *p++;
  return out;
}

// Exactly `count` digits of value, zero-padded on the left.
inline char* writePadded(char* out, uint64_t value, int count) {
  for (int d = count - 1; d >= 1; d -= 2) {
    const uint64_t pair = value % 100;
    value /= 100;
    out[d - 1] = kDigitPairs[2 * pair], out[d] = kDigitPairs[2 * pair + 1];
  }
  if (count & 1) out[0] = static_cast<char>('0' + value % 10);
  return out + count;
}

inline char* writeExact(char* out, double value, int precision) {
  if (value != value) {  // printf spells NaN with its sign bit
    if (std::signbit(value)) *out++ = '-';
    out[0] = 'n', out[1] = 'a', out[2] = 'n';
    return out + 3;
  }
  return std::to_chars(out, out + kMaxFixedLength, value, std::chars_format::fixed, precision).ptr;
}

}  // namespace detail

// Writes value with `precision` (0 to 9) decimals at out and returns the end;
// out needs kMaxFixedLength bytes. The scaled value is rounded in double
// arithmetic when that is provably the correctly rounded result, and by the
// exact conversion otherwise (near halfway cases, large magnitudes, specials).
inline char* writeFixed(char* out, double value, int precision) {
  const double magnitude = std::fabs(value);
  if (magnitude < 1e9) {
    const double scaled = magnitude * detail::kPowersOfTen[precision];
    if (scaled < 0x1p53) {
      const uint64_t whole = static_cast<uint64_t>(scaled);
      const double fraction = scaled - static_cast<double>(whole);  // exact below 2^53
      // The product is off the true scaled value by at most half an ulp of it.
      const double slack = scaled * 0x1p-51 + 0x1p-60;
      if (std::fabs(fraction - 0.5) > slack) {
        const uint64_t rounded = whole + (fraction > 0.5 ? 1 : 0);
        if (std::signbit(value)) *out++ = '-';
        const uint64_t unit = detail::kIntPowersOfTen[precision];
        out = detail::writeUnsigned(out, rounded / unit);
        if (precision == 0) return out;
        *out++ = '.';
        return detail::writePadded(out, rounded % unit, precision);
      }
    }
  }
  return detail::writeExact(out, value, precision);
}

}  // namespace kinovar
