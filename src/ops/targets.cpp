#include "ops/targets.h"

#include <map>

#include "io/paths.h"

namespace kinovar {

std::vector<size_t> sameNamedTargets(const std::vector<std::string>& targets) {
  std::map<std::string, size_t> seen;
  for (size_t i = 0; i < targets.size(); ++i) {
    const auto [first, fresh] = seen.emplace(outputNameKey(targets[i]), i);
    if (!fresh) return {first->second, i};
  }
  return {};
}

TargetClash targetClash(const std::vector<std::string>& inputs, const std::vector<std::string>& targets) {
  if (std::vector<size_t> pair = sameNamedTargets(targets); !pair.empty()) return {OutputProblem::SameName, pair};
#ifdef _WIN32
  for (size_t i = 0; i < targets.size(); ++i)
    if (reservedDeviceName(targets[i])) return {OutputProblem::DeviceName, {i}};
#endif
  // Writing a target that is an input would destroy the input.
  for (size_t j = 0; j < inputs.size(); ++j)
    for (const std::string& target : targets)
      if (sameFile(inputs[j].c_str(), target.c_str())) return {OutputProblem::ReplacesRecording, {j}};
  return {};
}

}  // namespace kinovar
