// A recording, or a set made together, written as one tracking system of a
// Motion-BIDS dataset: every file of the run (and the dataset's shared
// tables, read and replaced under the dataset's lock) takes its name with
// the others once all are complete, so a failure leaves the dataset as it was.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "export/bids.h"
#include "io/output_file.h"
#include "ops/operations.h"
#include "ops/options.h"
#include "reader/quality.h"
#include "calibration/calibration.h"

namespace kinovar {

struct BidsRun {
  std::vector<std::string> paths;  // checked recordings: one, or a set
  std::string root;
  std::vector<std::string> names;       // the tracked points
  std::vector<std::string> placements;  // per tracked point; empty: n/a
  BidsEntities entities;
  bool overwrite = false;
  std::string fn;       // the entry's name, for a refusal's words
  std::string version;  // the package's, for a new dataset description
};

// A system call that failed, with what was being done ("lock the dataset");
// no error when none failed.
struct BidsSystemFailure {
  OutputFailure failure;
  std::string action;
  bool reading = false;  // a file of the dataset that could not be read
  bool writing = false;  // met once the run's files were under way
};

struct BidsOutcome {
  SetOutcome set;  // a set's (failure: refused before anything was written)
  // One recording's description, as a conversion of it answers.
  DeviceSettings settings;
  QualityReport quality;
  CalibrationReport calibration;
  std::array<std::string, 6> files;
  BidsSystemFailure system;
};

// Refusals the host words as given (not BIDS, the run exists, no grid)
// throw CodedFailure; the rest are told in the outcome.
BidsOutcome writeBidsRun(const BidsRun& run, const ConversionOptions& options);

}  // namespace kinovar
