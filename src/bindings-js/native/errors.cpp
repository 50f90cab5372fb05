// Errors: the class the layer hands in at init, per instance of the module,
// and the system's failures as Node reports its own.
#include "bindings-js/native/native.h"

namespace kinovar::native {

struct Instance {
  Napi::FunctionReference errorClass;
};

Napi::Error makeError(Napi::Env env, const std::string& message, const char* code, Napi::Object details) {
  Instance* instance = env.GetInstanceData<Instance>();
  if (details.IsEmpty()) details = Napi::Object::New(env);
  if (!instance || instance->errorClass.IsEmpty()) {
    Napi::Error error = Napi::Error::New(env, "kinovar: the native entry was used before init; " + message);
    error.Set("code", Napi::String::New(env, code));
    return error;
  }
  Napi::Value error = instance->errorClass.New({Napi::String::New(env, message), Napi::String::New(env, code), details});
  return Napi::Error(env, error);
}

Napi::Value wrongArguments(Napi::Env env, const char* entry) {
  makeError(env, std::string(entry) + ": wrong arguments", "ERR_KINOVAR_INTERNAL").ThrowAsJavaScriptException();
  return env.Undefined();
}

Napi::Error systemError(Napi::Env env, const OutputFailure& failure) {
  const char* name = errnoName(failure.error.value());
  Napi::Object details = Napi::Object::New(env);
  details.Set("errno", failure.error.value());
  details.Set("syscall", failure.step);
  details.Set("path", failure.path);
  return makeError(env, std::string(name) + ": " + failure.error.message() + ", " + failure.step + " '" + failure.path + "'",
                   name, details);
}

Napi::Value Init(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsFunction()) return wrongArguments(env, "init");
  Instance* instance = env.GetInstanceData<Instance>();
  if (!instance) {
    instance = new Instance();
    env.SetInstanceData(instance);
  }
  instance->errorClass = Napi::Persistent(info[0].As<Napi::Function>());
  return env.Undefined();
}

}  // namespace kinovar::native
