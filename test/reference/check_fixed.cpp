// Compares writeFixed with snprintf("%.*f") on edge cases and on many random
// doubles (default 30 million per precision). Exit status 1 on any difference.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>

#include "export/fixed.h"

int main(int argc, char** argv) {
  const long long count = argc > 1 ? std::atoll(argv[1]) : 30000000;
  std::mt19937_64 random(20261206);
  char ours[kinovar::kMaxFixedLength], theirs[kinovar::kMaxFixedLength];
  long long checked = 0, differences = 0;
  auto check = [&](double v) {
    for (int precision = 0; precision <= 9; ++precision) {
      *kinovar::writeFixed(ours, v, precision) = '\0';
      std::snprintf(theirs, sizeof theirs, "%.*f", precision, v);
      ++checked;
      if (std::strcmp(ours, theirs) != 0 && ++differences <= 10)
        std::printf("differs at %a precision %d: %s vs %s\n", v, precision, ours, theirs);
    }
  };
  // Halfway cases at every precision, small and large magnitudes, specials.
  for (int e = -1074; e <= 1023; ++e) check(std::ldexp(1.0, e)), check(-std::ldexp(1.0, e));
  for (long long i = 0; i < 2000000; ++i) check(static_cast<double>(i) / 2e5), check(static_cast<double>(i) * 0.05 + 0.05);
  for (double v : {0.0, -0.0, std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                   std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::max(),
                   std::numeric_limits<double>::denorm_min()})
    check(v);
  for (long long i = 0; i < count; ++i) {
    const uint64_t bits = random();
    double v;
    switch (i % 3) {
      case 0: std::memcpy(&v, &bits, sizeof v); break;                        // any bit pattern
      case 1: v = static_cast<double>(static_cast<int64_t>(bits)) * 1e-14; break;  // sensor-like magnitudes
      default: v = std::round(static_cast<double>(static_cast<int32_t>(bits)) * 0.1) * 1e-5 + 5e-6; break;  // near halfway
    }
    check(v);
  }
  std::printf("%lld conversions checked, %lld differences\n", checked, differences);
  return differences ? 1 : 0;
}
