// A failure the caller can act on, with the code hosts switch on (README
// "Error codes"): the message says what happened and what to do.
#pragma once

#include <stdexcept>
#include <string>

namespace kinovar {

struct CodedFailure : std::runtime_error {
  CodedFailure(const char* failureCode, const std::string& message) : std::runtime_error(message), code(failureCode) {}
  const char* code;
};

}  // namespace kinovar
