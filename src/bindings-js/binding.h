// What both modules of the binding share: reading arguments, running an
// operation so that nothing it raises escapes into the host uncaught.
#pragma once

#include <napi.h>

#include <exception>
#include <new>
#include <string>
#include <type_traits>

#include "io/failure.h"
#include "ops/operations.h"

namespace kinovar::binding {

bool checkArgs(const Napi::CallbackInfo& info, size_t minimum);
void throwWrongArguments(Napi::Env env);
// The first `count` arguments are strings; false after throwing.
bool stringArguments(const Napi::CallbackInfo& info, size_t count);

// A JavaScript string may hold NUL characters; as a C path it would silently
// name a shorter file. Such a path is handed on as a name that no file has, so
// the operation answers as for a file that cannot be opened. Recording paths
// of a set become the empty name: it is well-formed, so the set's driver
// reports it as a recording that did not open instead of throwing.
std::string pathArgument(const Napi::Value& value, const char* unopenable = "\xFF");

// Runs an operation and turns any C++ exception into `fail(code, message,
// path)`, a thrown JavaScript error with a code the host can switch on (and
// the file it concerns, or "").
template <typename Operation, typename Fail>
Napi::Value guarded(Napi::Env env, Operation&& operation, Fail&& fail) {
  const char* code = "ERR_KINOVAR_INTERNAL";
  std::string message, path;
  try {
    if constexpr (std::is_same_v<decltype(operation()), std::string>)
      return Napi::String::New(env, operation());
    else
      return operation();
  } catch (const Napi::Error&) {
    throw;  // already a JavaScript error
  } catch (const std::bad_alloc&) {
    code = "ERR_KINOVAR_OUT_OF_MEMORY";
    message = "out of memory";
  } catch (const Cancelled& e) {
    code = "ABORT_ERR";
    message = e.what();
  } catch (const CodedFailure& e) {
    code = e.code;
    message = e.what();
    path = e.path;
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message = "unknown native error";
  }
  fail(code, message, path);
  return env.Undefined();
}

}  // namespace kinovar::binding
