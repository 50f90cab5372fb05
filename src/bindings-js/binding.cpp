#include "bindings-js/binding.h"

namespace kinovar::binding {

bool checkArgs(const Napi::CallbackInfo& info, size_t minimum) {
  if (info.Length() < minimum) {
    Napi::TypeError::New(info.Env(), "Wrong number of arguments").ThrowAsJavaScriptException();
    return false;
  }
  return true;
}

void throwWrongArguments(Napi::Env env) { Napi::TypeError::New(env, "Wrong arguments").ThrowAsJavaScriptException(); }

bool stringArguments(const Napi::CallbackInfo& info, size_t count) {
  if (!checkArgs(info, count)) return false;
  for (size_t i = 0; i < count; ++i) {
    if (!info[i].IsString()) {
      throwWrongArguments(info.Env());
      return false;
    }
  }
  return true;
}

std::string pathArgument(const Napi::Value& value, const char* unopenable) {
  std::string text = value.As<Napi::String>().Utf8Value();
  if (text.find('\0') != std::string::npos) return unopenable;
  return text;
}

}  // namespace kinovar::binding
