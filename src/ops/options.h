// What a caller may choose about one conversion. The defaults are the classic
// behaviour, which the five native functions always use.
#pragma once

#include "orientation/orientation.h"

namespace kinovar {

enum class OutputFormat {
  ClassicCsv,  // the banner, three header rows and one row per clock tick
  PlainCsv,    // one row of column names, the same rows without the trailing comma
};

struct ConversionOptions {
  Estimator estimator = Estimator::Classic;
  OutputFormat format = OutputFormat::ClassicCsv;
  // The most threads the conversion keeps busy, the caller's included; 0: one
  // per core. A batch that runs conversions side by side divides the cores.
  unsigned threads = 0;
  // A recording without a single sample still gets its table of headers, as
  // the five functions' hosts rely on; false leaves the target as it was,
  // for callers that refuse such a recording.
  bool writeEmpty = true;
};

}  // namespace kinovar
