// Cancel flags, the thread's task and the process's interruption.
#include "bindings-js/native/native.h"

#include <cstdio>
#include <cstdlib>

namespace kinovar::native {

// The flag of the task this thread runs (cancelOn), for conversions whose
// options do not name one: a pool worker runs one task at a time.
thread_local uint32_t taskCancel = 0;

// The conversion stops when the flag named by options.cancel or by the
// thread's task (cancelFlag()) is raised, and whenever the process is
// interrupted.
CancelToken cancelOf(const Napi::Value& options) {
  const Napi::Value id = options.IsObject() ? options.As<Napi::Object>().Get("cancel") : options.Env().Undefined();
  if (id.IsNumber()) return cancelToken(id.As<Napi::Number>().Uint32Value());
  return taskCancel ? cancelToken(taskCancel) : CancelToken(nullptr);
}

// stopConversions(): the first step of an interruption; every conversion of
// the process stops at its next piece and no temporary takes its name.
Napi::Value StopConversions(const Napi::CallbackInfo& info) {
  stopConversions();
  return info.Env().Undefined();
}

// cancelFlag() -> a number that names a new flag, for options.cancel;
// cancel(id) raises it, from any thread; dropCancelFlag(id) once done.
Napi::Value CancelFlag(const Napi::CallbackInfo& info) { return Napi::Number::New(info.Env(), newCancelFlag()); }

Napi::Value Cancel(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsNumber()) return wrongArguments(env, "cancel");
  raiseCancelFlag(info[0].As<Napi::Number>().Uint32Value());
  return env.Undefined();
}

// cancelOn(id): the flag of the task this thread now runs; 0 when it is done.
Napi::Value CancelOn(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsNumber()) return wrongArguments(env, "cancelOn");
  taskCancel = info[0].As<Napi::Number>().Uint32Value();
  return env.Undefined();
}

Napi::Value DropCancelFlag(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsNumber()) return wrongArguments(env, "dropCancelFlag");
  dropCancelFlag(info[0].As<Napi::Number>().Uint32Value());
  return env.Undefined();
}

// exitNow(code): ends the process at once, without waiting for conversions
// under way on other threads (their temporaries abandoned first).
Napi::Value ExitNow(const Napi::CallbackInfo& info) {
  std::fflush(nullptr);
  std::_Exit(info.Length() > 0 && info[0].IsNumber() ? info[0].As<Napi::Number>().Int32Value() : 1);
}

}  // namespace kinovar::native
