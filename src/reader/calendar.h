// Days from 1970-01-01 to a date of the proleptic Gregorian calendar, and
// back; by hand, as the calendar of <chrono> is missing from older compilers.
#pragma once

#include <cstdint>

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

}  // namespace kinovar
