// Days from 1970-01-01 to a date of the proleptic Gregorian calendar, and
// back; by hand, as the calendar of <chrono> is missing from older compilers.
#pragma once

#include <cstdint>
#include <string>

namespace kinovar {

struct CivilDate {
  int64_t year;
  int month;
  int day;
};

constexpr int64_t daysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  return era * 146097 + yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear - 719468;
}

constexpr CivilDate civilFromDays(int64_t days) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t mp = (5 * dayOfYear + 2) / 153;
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return {yearOfEra + era * 400 + (month <= 2), month, static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1)};
}
static_assert(daysFromCivil(1970, 1, 1) == 0 && civilFromDays(daysFromCivil(2000, 2, 29)).day == 29);

// Why six fields are no real date and time, each field with its rule
// ("month 13 is not 1 to 12; day 29 is not 1 to 28 in 2017-02"), or "".
inline std::string dateProblem(int64_t year, int64_t month, int64_t day, int64_t hour, int64_t minute, int64_t second) {
  std::string problems;
  const auto check = [&](const char* field, int64_t value, int64_t low, int64_t high, const std::string& where = "") {
    if (value >= low && value <= high) return;
    problems += (problems.empty() ? "" : "; ") + std::string(field) + " " + std::to_string(value) + " is not " +
                std::to_string(low) + " to " + std::to_string(high) + where;
  };
  check("year", year, 1, 65535);
  check("month", month, 1, 12);
  if (month >= 1 && month <= 12) {
    const int last = civilFromDays(daysFromCivil(year, month + 1, 1) - 1).day;
    const std::string in = " in " + std::to_string(year) + (month < 10 ? "-0" : "-") + std::to_string(month);
    check("day", day, 1, last, in);
  }
  check("hour", hour, 0, 23);
  check("minute", minute, 0, 59);
  check("second", second, 0, 59);
  return problems;
}

}  // namespace kinovar
