// The module's face: the five classic synchronous functions, and nothing
// else, taking UTF-8 paths and returning the operation's text. Argument
// checks throw TypeError; nothing an operation raises may escape into the
// host uncaught. The JavaScript layer's own entries are in native/.
#include <napi.h>

#include <string>
#include <vector>

#include "bindings-js/binding.h"
#include "ops/names.h"
#include "ops/operations.h"

namespace {

using namespace kinovar;
using namespace kinovar::binding;

// An operation's failure as an Error with a code the host can switch on.
template <typename Operation>
Napi::Value run(Napi::Env env, Operation&& operation) {
  return guarded(env, operation, [&](const char* code, const std::string& message, const std::string&) {
    Napi::Error error = Napi::Error::New(env, message);
    error.Set("code", Napi::String::New(env, code));
    error.ThrowAsJavaScriptException();
  });
}

Napi::Value Read(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (!stringArguments(info, 2)) return env.Undefined();
  std::string recording = pathArgument(info[0]);
  std::string csv = pathArgument(info[1]);
  return run(env, [&] { return readRecording(recording.c_str(), csv.c_str()); });
}

Napi::Value ReadAndSync2(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (!checkArgs(info, 2)) return env.Undefined();
  if (!info[0].IsArray() || !info[1].IsString()) {
    throwWrongArguments(env);
    return env.Undefined();
  }
  Napi::Array array = info[0].As<Napi::Array>();
  std::vector<std::string> paths(array.Length());
  for (uint32_t i = 0; i < array.Length(); ++i) {
    Napi::Value element = array.Get(i);
    if (!element.IsString()) {
      throwWrongArguments(env);
      return env.Undefined();
    }
    paths[i] = pathArgument(element, "");
  }
  std::string folder = pathArgument(info[1]);
  return run(env, [&] { return std::string(setStatus(readAndSyncSet(paths, folder, false).failure)); });
}

Napi::Value ReadConfig(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (!stringArguments(info, 1)) return env.Undefined();
  std::string path = pathArgument(info[0]);
  return run(env, [&] { return readConfig(path.c_str()); });
}

Napi::Value WriteConfig(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (!stringArguments(info, 2)) return env.Undefined();
  std::string path = pathArgument(info[0]);
  std::string text = info[1].As<Napi::String>().Utf8Value();
  // Cut at a NUL, the text would be written as less than the host sent.
  if (text.find('\0') != std::string::npos) return Napi::String::New(env, "ERROR");
  return run(env, [&] { return std::string(writeConfig(path.c_str(), text.c_str()) ? "OK" : "ERROR"); });
}

Napi::Value ReadConfigDeviceId(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (!stringArguments(info, 1)) return env.Undefined();
  std::string path = pathArgument(info[0]);
  return run(env, [&] { return readConfigDeviceId(path.c_str()); });
}

Napi::Object Init(Napi::Env env, Napi::Object exports) {
  exports.Set("read", Napi::Function::New(env, Read, "read"));
  exports.Set("readAndSync2", Napi::Function::New(env, ReadAndSync2, "readAndSync2"));
  exports.Set("readConfig", Napi::Function::New(env, ReadConfig, "readConfig"));
  exports.Set("writeConfig", Napi::Function::New(env, WriteConfig, "writeConfig"));
  exports.Set("readConfigDeviceId", Napi::Function::New(env, ReadConfigDeviceId, "readConfigDeviceId"));
  return exports;
}

}  // namespace

NODE_API_MODULE(addon, Init)
