#include "io/js_number.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace kinovar {

void appendJsNumber(std::string& out, double value) {
  if (value != value) return void(out += "NaN");
  if (std::isinf(value)) return void(out += value < 0 ? "-Infinity" : "Infinity");
  if (value == 0) return void(out += '0');
  // The shortest digits, then placed by JavaScript's rules rather than printf's.
  char buffer[32];
  *std::to_chars(buffer, buffer + sizeof buffer - 1, value, std::chars_format::scientific).ptr = 0;
  const char* p = buffer;
  if (*p == '-') out += '-', ++p;
  char digits[20];
  size_t k = 0;
  for (; *p != 'e'; ++p)
    if (*p != '.') digits[k++] = *p;
  // The decimal point stands after n digits.
  const long n = std::strtol(p + 1, nullptr, 10) + 1;
  const size_t whole = n > 0 ? static_cast<size_t>(n) : 0, zeros = n < 0 ? static_cast<size_t>(-n) : 0;
  if (k <= whole && n <= 21) {
    out.append(digits, k).append(whole - k, '0');
  } else if (0 < n && n <= 21) {
    out.append(digits, whole).append(1, '.').append(digits + whole, k - whole);
  } else if (-6 < n && n <= 0) {
    out.append("0.").append(zeros, '0').append(digits, k);
  } else {
    out += digits[0];
    if (k > 1) out.append(1, '.').append(digits + 1, k - 1);
    out.append(n - 1 < 0 ? "e-" : "e+").append(std::to_string(std::labs(n - 1)));
  }
}

std::string jsNumber(double value) {
  std::string out;
  appendJsNumber(out, value);
  return out;
}

std::string jsFixed(double value, int digits) {
  if (value != value) return "NaN";
  const double magnitude = std::fabs(value);
  if (magnitude >= 1e21) return jsNumber(value);
  // printf's rounding takes an exact halfway case to even; JavaScript takes
  // it away from zero. Such a case has exactly digits + 1 binary places.
  const double scaled = std::ldexp(magnitude, digits + 1);
  const bool halfway = scaled == std::floor(scaled) && std::fmod(scaled, 2.0) == 1.0;
  char buffer[64];
  const char* end = std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::fixed,
                                  halfway ? digits + 1 : digits).ptr;
  std::string text(buffer, static_cast<size_t>(end - buffer));
  if (halfway) {
    text.pop_back();  // the 5; one more in the last digit kept
    if (text.back() == '.') text.pop_back();
    for (size_t i = text.size();;) {
      if (i == 0) {
        text.insert(text.begin(), '1');
        break;
      }
      char& c = text[--i];
      if (c == '.') continue;
      if (c != '9') {
        ++c;
        break;
      }
      c = '0';
    }
  }
  if (value < 0) text.insert(text.begin(), '-');
  return text;
}

void appendNanosecondTime(std::string& out, double seconds) {
  const std::string fixed = jsFixed(seconds, 9);
  double rounded = 0.0;
  std::from_chars(fixed.data() + (fixed[0] == '-'), fixed.data() + fixed.size(), rounded);
  if (fixed[0] == '-') rounded = -rounded;
  appendJsNumber(out, rounded == rounded && rounded != 0 ? rounded : 0.0);
}

}  // namespace kinovar
