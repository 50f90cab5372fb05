// Numbers as JavaScript writes them, for text formats whose bytes were first
// made by the JavaScript layer and that hosts compare: the shortest text
// that reads back as the same double, in JavaScript's exponent form.
#pragma once

#include <string>

namespace kinovar {

// String(value): "0.1", "1e-7", "1e+21", "-0" as "0", "NaN", "Infinity".
void appendJsNumber(std::string& out, double value);
std::string jsNumber(double value);

// value.toFixed(digits) (digits up to 20): exact halfway cases away from
// zero, "-" for any negative value (so -0.001 gives "-0.00"), none for -0.
std::string jsFixed(double value, int digits);

// A time to the nanosecond, which holds any tick and drops the last bits a
// subtraction leaves: Number(t.toFixed(9)) written as above, -0 and NaN as 0.
void appendNanosecondTime(std::string& out, double seconds);

}  // namespace kinovar
