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

// settingsWrite(source, json): what writing the settings object makes of
// the source block (a Buffer) or of none (null): {edit: true, bytes} or
// {text}; a refusal is {refusal: "type"|"range"|"value", message}.
Napi::Value SettingsToWrite(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 2 || !(info[0].IsBuffer() || info[0].IsNull()) || !info[1].IsString()) {
    return wrongArguments(env, "settingsWrite");
  }
  std::span<const uint8_t> source;
  if (info[0].IsBuffer()) {
    Napi::Buffer<uint8_t> bytes = info[0].As<Napi::Buffer<uint8_t>>();
    source = {bytes.Data(), bytes.Length()};
  }
  const kinovar::SettingsWrite made = settingsToWrite(source, info[1].As<Napi::String>().Utf8Value());
  Napi::Object answer = Napi::Object::New(env);
  if (made.problem.kind != SettingsRefusal::None) {
    const char* kinds[] = {"", "type", "range", "value"};
    answer.Set("refusal", kinds[static_cast<int>(made.problem.kind)]);
    answer.Set("message", made.problem.message);
  } else if (made.edit) {
    answer.Set("edit", true);
    answer.Set("bytes", Napi::Buffer<uint8_t>::Copy(env, made.bytes.data(), made.bytes.size()));
  } else {
    answer.Set("text", made.text);
  }
  return answer;
}

// settingsLists(): the flat names an edit may change, and a sensor's members.
Napi::Value SettingsLists(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  const auto array = [&](const std::vector<std::string>& names) {
    Napi::Array list = Napi::Array::New(env, names.size());
    for (uint32_t i = 0; i < names.size(); ++i) list.Set(i, names[i]);
    return list;
  };
  Napi::Object lists = Napi::Object::New(env);
  lists.Set("settingsKeys", array(settingsKeys()));
  lists.Set("sensorFields", array(sensorFields()));
  return lists;
}

}  // namespace kinovar::native
