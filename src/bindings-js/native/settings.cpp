// The settings record format as the core reads it, for lib/settings.
#include "bindings-js/native/native.h"

namespace kinovar::native {

// readSettings(path): readConfig's JSON text with the calibration exact, or
// "" when the file holds no settings record or cannot be read.
Napi::Value ReadSettings(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsString()) return wrongArguments(env, "readSettings");
  return Napi::String::New(env, readSettingsExact(info[0].As<Napi::String>().Utf8Value().c_str()));
}

// settingsRecords(buffer): the JSON text of the block's records and where
// they end, or "" when it holds none.
Napi::Value SettingsRecords(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsBuffer()) return wrongArguments(env, "settingsRecords");
  Napi::Buffer<uint8_t> bytes = info[0].As<Napi::Buffer<uint8_t>>();
  return Napi::String::New(env, settingsRecords({bytes.Data(), bytes.Length()}));
}

}  // namespace kinovar::native
