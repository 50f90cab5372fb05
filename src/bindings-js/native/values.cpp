// Values the entries hand back: the core's documents as JavaScript objects,
// lists of paths, a set's outcome.
#include "bindings-js/native/native.h"

#include <cmath>

namespace kinovar::native {

namespace {

class ValueSink : public JsonSink {
 public:
  explicit ValueSink(Napi::Env env) : env_(env) {}
  Napi::Value result() const { return result_; }

 protected:
  void open(bool array) override {
    Napi::Value value = array ? Napi::Array::New(env_).As<Napi::Value>() : Napi::Object::New(env_).As<Napi::Value>();
    put(value);
    levels_.push_back({value.As<Napi::Object>(), array, 0});
  }
  void close(bool) override { levels_.pop_back(); }
  void memberName(std::string_view name) override { key_ = std::string(name); }
  void integer(int64_t number) override { put(Napi::Number::New(env_, static_cast<double>(number))); }
  void unsignedInteger(uint64_t number) override { put(Napi::Number::New(env_, static_cast<double>(number))); }
  void real(double number) override {
    put(std::isfinite(number) ? Napi::Number::New(env_, number).As<Napi::Value>() : env_.Null());
  }
  void string(std::string_view text) override { put(Napi::String::New(env_, text.data(), text.size())); }
  void nothing() override { put(env_.Null()); }
  void boolean(bool truth) override { put(Napi::Boolean::New(env_, truth)); }

 private:
  struct Level {
    Napi::Object value;
    bool array;
    uint32_t length;
  };
  void put(Napi::Value value) {
    if (levels_.empty()) {
      result_ = value;
    } else if (levels_.back().array) {
      levels_.back().value.Set(levels_.back().length++, value);
    } else {
      levels_.back().value.Set(key_, value);
    }
  }

  Napi::Env env_;
  std::vector<Level> levels_;
  std::string key_;
  Napi::Value result_;
};

}  // namespace

Napi::Value document(Napi::Env env, const std::function<void(JsonSink&)>& write) {
  ValueSink sink(env);
  write(sink);
  return sink.result();
}

Napi::Value calibrationObject(Napi::Env env, const CalibrationReport& report) {
  return document(env, [&](JsonSink& json) { writeCalibration(json, report); });
}

bool pathList(const Napi::Value& value, std::vector<std::string>& paths) {
  if (!value.IsArray()) return false;
  Napi::Array array = value.As<Napi::Array>();
  for (uint32_t i = 0; i < array.Length(); ++i) {
    if (!array.Get(i).IsString()) return false;
    paths.push_back(pathArgument(array.Get(i), ""));
  }
  return true;
}

// The outcome of a set as a plain object, with the system's reason for the
// first file not written as Node gives its own.
Napi::Object setOutcome(Napi::Env env, const SetOutcome& outcome) {
  Napi::Object result = document(env, [&](JsonSink& json) { writeSetOutcome(json, outcome); }).As<Napi::Object>();
  if (outcome.failure == SetFailure::Output && outcome.written.error)
    result.Set("systemError", systemError(env, outcome.written).Value());
  return result;
}

}  // namespace kinovar::native
