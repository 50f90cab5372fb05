// Node-API face of the module: five synchronous functions taking UTF-8 paths
// and returning the operation's text. Argument checks throw TypeError; nothing
// an operation raises may escape into the host uncaught.
#include <napi.h>

#include <exception>
#include <new>
#include <string>
#include <vector>

#include "export/json.h"
#include "export/paths.h"
#include "ops/operations.h"
#include "reader/quality.h"
#include "settings/settings_record.h"

namespace {

bool checkArgs(const Napi::CallbackInfo& info, size_t minimum) {
  if (info.Length() < minimum) {
    Napi::TypeError::New(info.Env(), "Wrong number of arguments").ThrowAsJavaScriptException();
    return false;
  }
  return true;
}

// A JavaScript string may hold NUL characters; as a C path it would silently
// name a shorter file. Such a path is handed on as a name that no file has, so
// the operation answers as for a file that cannot be opened. Recording paths
// of a set become the empty name: it is well-formed, so the set's driver
// reports it as a recording that did not open instead of throwing.
std::string pathArgument(const Napi::Value& value, const char* unopenable = "\xFF") {
  std::string text = value.As<Napi::String>().Utf8Value();
  if (text.find('\0') != std::string::npos) return unopenable;
  return text;
}

void throwWrongArguments(Napi::Env env) {
  Napi::TypeError::New(env, "Wrong arguments").ThrowAsJavaScriptException();
}

// Runs an operation and turns any C++ exception into a JavaScript Error with
// a code the host can switch on.
template <typename Operation>
Napi::Value guarded(Napi::Env env, Operation&& operation) {
  const char* code = "ERR_KINOVAR_INTERNAL";
  std::string message;
  try {
    return Napi::String::New(env, operation());
  } catch (const std::bad_alloc&) {
    code = "ERR_KINOVAR_OUT_OF_MEMORY";
    message = "out of memory";
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message = "unknown native error";
  }
  Napi::Error error = Napi::Error::New(env, message);
  error.Set("code", Napi::String::New(env, code));
  error.ThrowAsJavaScriptException();
  return env.Undefined();
}

// The options of a conversion from a plain object, as the JS layer passes
// them ({orientation: 'classic' | 'accurate' | 'none'}); absent fields keep
// the classic behaviour. False after throwing a TypeError.
bool conversionOptions(const Napi::CallbackInfo& info, size_t index, kinovar::ConversionOptions& options) {
  Napi::Env env = info.Env();
  if (info.Length() <= index || info[index].IsUndefined()) return true;
  if (!info[index].IsObject()) {
    Napi::TypeError::New(env, "options must be an object").ThrowAsJavaScriptException();
    return false;
  }
  Napi::Value orientation = info[index].As<Napi::Object>().Get("orientation");
  if (orientation.IsUndefined()) return true;
  const std::string name = orientation.IsString() ? orientation.As<Napi::String>().Utf8Value() : "";
  if (name == "classic") {
    options.estimator = kinovar::Estimator::Classic;
  } else if (name == "accurate") {
    options.estimator = kinovar::Estimator::Accurate;
  } else if (name == "none") {
    options.estimator = kinovar::Estimator::None;
  } else {
    Napi::TypeError::New(env, "options.orientation must be 'classic', 'accurate' or 'none'").ThrowAsJavaScriptException();
    return false;
  }
  return true;
}

// read, and with `withOptions` its variant for lib/api.js, which takes
// conversion options third and answers {"info":...,"quality":...} (or the
// error document alone).
Napi::Value ReadRecording(const Napi::CallbackInfo& info, bool withOptions) {
  Napi::Env env = info.Env();
  if (!checkArgs(info, 2)) return env.Undefined();
  if (!info[0].IsString() || !info[1].IsString()) {
    throwWrongArguments(env);
    return env.Undefined();
  }
  kinovar::ConversionOptions options;
  if (withOptions && !conversionOptions(info, 2, options)) return env.Undefined();
  std::string recording = pathArgument(info[0]);
  std::string csv = pathArgument(info[1]);
  if (!withOptions) return guarded(env, [&] { return kinovar::readRecording(recording.c_str(), csv.c_str(), options); });
  return guarded(env, [&] {
    kinovar::QualityReport quality;
    std::string answer = kinovar::readRecording(recording.c_str(), csv.c_str(), options, &quality);
    if (answer == kinovar::kErrorDocument) return answer;
    return "{\"info\":" + answer + ",\"quality\":" + kinovar::qualityJson(quality) + "}";
  });
}

// The quality report of a recording as JSON; empty when it cannot be parsed.
Napi::Value Inspect(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (!checkArgs(info, 1)) return env.Undefined();
  if (!info[0].IsString()) {
    throwWrongArguments(env);
    return env.Undefined();
  }
  std::string path = pathArgument(info[0]);
  return guarded(env, [&] { return kinovar::inspectRecording(path.c_str()); });
}

Napi::Value Read(const Napi::CallbackInfo& info) { return ReadRecording(info, false); }
Napi::Value ReadWithOptions(const Napi::CallbackInfo& info) { return ReadRecording(info, true); }

Napi::Value ReadAndSync(const Napi::CallbackInfo& info, bool withOptions) {
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
  kinovar::ConversionOptions options;
  if (withOptions && !conversionOptions(info, 2, options)) return env.Undefined();
  std::string folder = pathArgument(info[1]);
  return guarded(env, [&] { return kinovar::readAndSync(paths, folder, options); });
}

Napi::Value ReadAndSync2(const Napi::CallbackInfo& info) { return ReadAndSync(info, false); }
Napi::Value ReadAndSyncWithOptions(const Napi::CallbackInfo& info) { return ReadAndSync(info, true); }

Napi::Value ReadConfig(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (!checkArgs(info, 1)) return env.Undefined();
  if (!info[0].IsString()) {
    throwWrongArguments(env);
    return env.Undefined();
  }
  std::string path = pathArgument(info[0]);
  return guarded(env, [&] { return kinovar::readConfig(path.c_str()); });
}

Napi::Value WriteConfig(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (!checkArgs(info, 2)) return env.Undefined();
  if (!info[0].IsString() || !info[1].IsString()) {
    throwWrongArguments(env);
    return env.Undefined();
  }
  std::string path = pathArgument(info[0]);
  std::string text = info[1].As<Napi::String>().Utf8Value();
  // Cut at a NUL, the text would be written as less than the host sent.
  if (text.find('\0') != std::string::npos) return Napi::String::New(env, "ERROR");
  return guarded(env, [&] {
    return std::string(kinovar::writeConfig(path.c_str(), text.c_str()) ? "OK" : "ERROR");
  });
}

Napi::Value ReadConfigDeviceId(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (!checkArgs(info, 1)) return env.Undefined();
  if (!info[0].IsString()) {
    throwWrongArguments(env);
    return env.Undefined();
  }
  std::string path = pathArgument(info[0]);
  return guarded(env, [&] { return kinovar::readConfigDeviceId(path.c_str()); });
}

// The C++ rules that lib/api.js applies before converting, so that the two never differ.
Napi::Value FileStem(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsString()) {
    throwWrongArguments(env);
    return env.Undefined();
  }
  return Napi::String::New(env, kinovar::fileStem(info[0].As<Napi::String>().Utf8Value()));
}

// Whether a recording's first block (a Buffer of at least 512 bytes) holds a settings record.
Napi::Value HasSettingsRecord(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsBuffer() || info[0].As<Napi::Buffer<uint8_t>>().Length() < kinovar::kSettingsBlockSize) {
    throwWrongArguments(env);
    return env.Undefined();
  }
  return Napi::Boolean::New(env, kinovar::firstSettingsRecord(info[0].As<Napi::Buffer<uint8_t>>().Data()) >= 0);
}

Napi::Object Init(Napi::Env env, Napi::Object exports) {
  exports.Set("read", Napi::Function::New(env, Read, "read"));
  exports.Set("readAndSync2", Napi::Function::New(env, ReadAndSync2, "readAndSync2"));
  exports.Set("readConfig", Napi::Function::New(env, ReadConfig, "readConfig"));
  exports.Set("writeConfig", Napi::Function::New(env, WriteConfig, "writeConfig"));
  exports.Set("readConfigDeviceId", Napi::Function::New(env, ReadConfigDeviceId, "readConfigDeviceId"));
  // For lib/api.js: the two conversions with their options.
  exports.Set("readWithOptions", Napi::Function::New(env, ReadWithOptions, "readWithOptions"));
  exports.Set("readAndSyncWithOptions", Napi::Function::New(env, ReadAndSyncWithOptions, "readAndSyncWithOptions"));
  exports.Set("inspect", Napi::Function::New(env, Inspect, "inspect"));
  exports.Set("fileStem", Napi::Function::New(env, FileStem, "fileStem"));
  exports.Set("hasSettingsRecord", Napi::Function::New(env, HasSettingsRecord, "hasSettingsRecord"));
  return exports;
}

}  // namespace

NODE_API_MODULE(addon, Init)
