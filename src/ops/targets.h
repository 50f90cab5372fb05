// Whether outputs may take the names asked for, decided before any is
// written: what every writer of a conversion (native or host) refuses.
#pragma once

#include <string>
#include <vector>

#include "ops/operations.h"

namespace kinovar {

// The first two targets the file system would file under one name, or an
// empty list when all differ.
std::vector<size_t> sameNamedTargets(const std::vector<std::string>& targets);

// Why the targets may not be written, and whom it concerns, in this order:
// SameName, the two targets sameNamedTargets finds; DeviceName (Windows),
// the first target that would open a device; ReplacesRecording, the first
// input a target names. None when all may be written.
struct TargetClash {
  OutputProblem problem = OutputProblem::None;
  std::vector<size_t> indices;
};
TargetClash targetClash(const std::vector<std::string>& inputs, const std::vector<std::string>& targets);

}  // namespace kinovar
