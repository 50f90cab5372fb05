// Fixed-notation numbers exactly as printf("%.*f") writes them in the C
// locale (correctly rounded, exact halfway cases to even, "-0.00000" kept),
// without locale lookups or format parsing.
#pragma once

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

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

// The eight decimal digits of value (below 10^8) as ASCII, the most
// significant in the lowest byte: both four-digit halves, then their digit
// pairs, then their digits, each split done in all lanes by one multiply.
inline uint64_t eightDigits(uint32_t value) {
  const uint64_t halves = value / 10000 | uint64_t{value % 10000} << 32;
  const uint64_t hundreds = (halves * 10486 >> 20) & 0x0000007F0000007F;  // x / 100 below 10^4
  const uint64_t pairs = hundreds | (halves - hundreds * 100) << 16;
  const uint64_t tens = (pairs * 103 >> 10) & 0x000F000F000F000F;  // x / 10 below 100
  return (tens | (pairs - tens * 10) << 8) + 0x3030303030303030;
}

// value below 10000 without leading zeros; writes 4 bytes, keeps 1 to 4.
inline char* writeShortUnsigned(char* out, uint32_t value) {
  const uint32_t high = value / 100, low = value % 100;
  const char digits[4] = {kDigitPairs[2 * high], kDigitPairs[2 * high + 1], kDigitPairs[2 * low], kDigitPairs[2 * low + 1]};
  uint32_t word;
  std::memcpy(&word, digits, sizeof word);
  const int count = 1 + (value >= 10) + (value >= 100) + (value >= 1000);
  word >>= 8 * (4 - count);  // little-endian: drops the leading zeros
  std::memcpy(out, &word, sizeof word);
  return out + count;
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

// Writes value with P decimals at out and returns the end; out needs
// kMaxFixedLength bytes (a few past the end may be scribbled on). The scaled
// value is rounded in double arithmetic when that is provably the correctly
// rounded result, and by the exact conversion otherwise (near halfway cases,
// large magnitudes, specials). P is a template argument so the splitting into
// whole and decimal digits divides by a constant, which is a multiplication
// rather than a division instruction.
template <int P>
inline char* writeFixed(char* out, double value) {
  static_assert(P >= 0 && P <= 9);
  const double magnitude = std::fabs(value);
  if (magnitude < 1e9) {
    const double scaled = magnitude * detail::kPowersOfTen[P];
    if (scaled < 0x1p53) {
      const uint64_t whole = static_cast<uint64_t>(static_cast<int64_t>(scaled));
      const double fraction = scaled - static_cast<double>(whole);  // exact below 2^53
      // The product is off the true scaled value by at most half an ulp of it.
      const double slack = scaled * 0x1p-51 + 0x1p-60;
      if (std::fabs(fraction - 0.5) > slack) {
        const uint64_t rounded = whole + (fraction > 0.5 ? 1 : 0);
        // Sign and digit counts vary from cell to cell in sensor data, so the
        // common short forms are written without branches.
        *out = '-';
        out += std::signbit(value) ? 1 : 0;
        constexpr uint64_t unit = detail::kIntPowersOfTen[P];
        if constexpr (P >= 1 && P <= 7 && std::endian::native == std::endian::little) {
          if (rounded < 100000000) {
            // All eight digits at once; the integer part then starts at its
            // first significant digit, the decimals follow the point.
            constexpr int integerPlaces = 8 - P;
            const uint64_t digits = detail::eightDigits(static_cast<uint32_t>(rounded));
            int significant = 1;
            for (int d = 1; d < integerPlaces; ++d) significant += rounded >= unit * detail::kIntPowersOfTen[d];
            const uint64_t head = digits >> (8 * (integerPlaces - significant));
            const uint64_t tail = digits >> (8 * integerPlaces);
            std::memcpy(out, &head, sizeof head);
            out += significant;
            *out++ = '.';
            std::memcpy(out, &tail, sizeof tail);
            return out + P;
          }
          if (rounded < 1000000000000) {
            // Longer times (past 1000 s at five decimals): the digits above
            // the low eight, then those eight as above.
            constexpr int integerPlaces = 8 - P;
            const uint64_t digits = detail::eightDigits(static_cast<uint32_t>(rounded % 100000000));
            out = detail::writeShortUnsigned(out, static_cast<uint32_t>(rounded / 100000000));
            std::memcpy(out, &digits, sizeof digits);
            out += integerPlaces;
            *out++ = '.';
            const uint64_t tail = digits >> (8 * integerPlaces);
            std::memcpy(out, &tail, sizeof tail);
            return out + P;
          }
        }
        const uint64_t integer = rounded / unit;
        if (integer < 10000 && std::endian::native == std::endian::little) {
          out = detail::writeShortUnsigned(out, static_cast<uint32_t>(integer));
        } else {
          out = detail::writeUnsigned(out, integer);
        }
        if constexpr (P == 0) {
          return out;
        } else {
          *out++ = '.';
          return detail::writePadded(out, rounded % unit, P);
        }
      }
    }
  }
  return detail::writeExact(out, value, P);
}

// The same with the precision (0 to 9) chosen at run time.
inline char* writeFixed(char* out, double value, int precision) {
  switch (precision) {
    case 0: return writeFixed<0>(out, value);
    case 1: return writeFixed<1>(out, value);
    case 2: return writeFixed<2>(out, value);
    case 3: return writeFixed<3>(out, value);
    case 4: return writeFixed<4>(out, value);
    case 5: return writeFixed<5>(out, value);
    case 6: return writeFixed<6>(out, value);
    case 7: return writeFixed<7>(out, value);
    case 8: return writeFixed<8>(out, value);
    default: return writeFixed<9>(out, value);
  }
}

}  // namespace kinovar
