// A failure the caller can act on, with the code hosts switch on (README
// "Error codes"): the message says what happened and what to do.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

namespace kinovar {

struct CodedFailure : std::runtime_error {
  CodedFailure(const char* failureCode, const std::string& message, std::string failurePath = {})
      : std::runtime_error(message), code(failureCode), path(std::move(failurePath)) {}
  const char* code;
  std::string path;  // the file it concerns, when one does
};

}  // namespace kinovar
