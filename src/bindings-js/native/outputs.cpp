// Outputs made in JavaScript and the temporaries of this process.
#include "bindings-js/native/native.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <span>
#include <system_error>

namespace kinovar::native {

// replaceFiles(paths, contents[, durable]): each content (a Uint8Array or a
// string, taken as UTF-8) becomes its file's whole content, each file taking
// its name only once all are complete; forced to the medium unless durable
// is false. Throws the system's error for the first file
// that could not be written; the files then keep their content.
Napi::Value ReplaceFiles(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  std::vector<std::string> paths;
  if (info.Length() < 2 || !pathList(info[0], paths) || !info[1].IsArray() ||
      info[1].As<Napi::Array>().Length() != paths.size())
    return wrongArguments(env, "replaceFiles");
  Napi::Array given = info[1].As<Napi::Array>();
  std::vector<std::string> texts(paths.size());
  std::vector<std::span<const uint8_t>> contents(paths.size());
  for (uint32_t i = 0; i < paths.size(); ++i) {
    Napi::Value value = given.Get(i);
    if (value.IsString()) {
      texts[i] = value.As<Napi::String>().Utf8Value();
      contents[i] = {reinterpret_cast<const uint8_t*>(texts[i].data()), texts[i].size()};
    } else if (value.IsTypedArray()) {
      Napi::TypedArray array = value.As<Napi::TypedArray>();
      contents[i] = {static_cast<const uint8_t*>(array.ArrayBuffer().Data()) + array.ByteOffset(), array.ByteLength()};
    } else {
      return wrongArguments(env, "replaceFiles");
    }
  }
  OutputFailure failure;
  Napi::Value done = run(env, [&]() -> Napi::Value {
    replaceFiles(paths, contents, &failure, !(info.Length() > 2 && info[2].IsBoolean() && !info[2].As<Napi::Boolean>().Value()));
    return env.Undefined();
  });
  if (failure.error && !env.IsExceptionPending()) systemError(env, failure).ThrowAsJavaScriptException();
  return done;
}

// Outputs written in pieces, for files made in JS that are too large to
// hold whole: openOutputs(paths) -> handle, appendOutput(handle, index,
// bytes or string), commitOutputs(handle, durable) where they take their
// names together, discardOutputs(handle). A handle dropped uncommitted
// removes its temporary files when it is collected; discard does it at once.
struct PieceOutputs {
  std::vector<std::string> paths;
  std::vector<OutputFile> files;
};

PieceOutputs* pieceOutputs(const Napi::Value& value) {
  return value.IsExternal() ? value.As<Napi::External<PieceOutputs>>().Data() : nullptr;
}

// Throws the failure of file `index` and discards every file of the handle.
Napi::Value failPieces(Napi::Env env, PieceOutputs& outputs, size_t index, std::error_code error, const char* step) {
  for (OutputFile& file : outputs.files) file.discard();
  systemError(env, OutputFailure{outputs.paths[index], error, step}).ThrowAsJavaScriptException();
  return env.Undefined();
}

Napi::Value OpenOutputs(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  auto outputs = std::make_unique<PieceOutputs>();
  if (info.Length() < 1 || !pathList(info[0], outputs->paths)) return wrongArguments(env, "openOutputs");
  outputs->files.reserve(outputs->paths.size());
  // Every target is opened before any is written: a refusal leaves all as they were.
  for (size_t i = 0; i < outputs->paths.size(); ++i) {
    outputs->files.emplace_back(outputs->paths[i].c_str(), OutputFile::Mode::Binary);
    if (!outputs->files.back()) {
      const OutputFile& failed = outputs->files.back();
      return failPieces(env, *outputs, i, failed.error(), failed.failedStep());
    }
  }
  return Napi::External<PieceOutputs>::New(env, outputs.release(), [](Napi::Env, PieceOutputs* done) { delete done; });
}

Napi::Value AppendOutput(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  PieceOutputs* outputs = info.Length() > 2 ? pieceOutputs(info[0]) : nullptr;
  if (!outputs || !info[1].IsNumber()) return wrongArguments(env, "appendOutput");
  const uint32_t index = info[1].As<Napi::Number>().Uint32Value();
  if (index >= outputs->files.size() || !outputs->files[index]) return wrongArguments(env, "appendOutput");
  std::string text;
  std::span<const uint8_t> bytes;
  if (info[2].IsString()) {
    text = info[2].As<Napi::String>().Utf8Value();
    bytes = {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
  } else if (info[2].IsTypedArray()) {
    Napi::TypedArray array = info[2].As<Napi::TypedArray>();
    bytes = {static_cast<const uint8_t*>(array.ArrayBuffer().Data()) + array.ByteOffset(), array.ByteLength()};
  } else {
    return wrongArguments(env, "appendOutput");
  }
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), outputs->files[index].file()) != bytes.size())
    return failPieces(env, *outputs, index, std::error_code(errno, std::generic_category()), "write");
  return env.Undefined();
}

Napi::Value CommitOutputs(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  PieceOutputs* outputs = info.Length() > 1 ? pieceOutputs(info[0]) : nullptr;
  if (!outputs || !info[1].IsBoolean()) return wrongArguments(env, "commitOutputs");
  size_t bad = 0;
  if (commitTogether(outputs->files, info[1].As<Napi::Boolean>().Value(), &bad)) return env.Undefined();
  const OutputFile& failed = outputs->files[bad];
  return failPieces(env, *outputs, bad, failed.error(), failed.failedStep());
}

Napi::Value DiscardOutputs(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  PieceOutputs* outputs = info.Length() > 0 ? pieceOutputs(info[0]) : nullptr;
  if (!outputs) return wrongArguments(env, "discardOutputs");
  for (OutputFile& file : outputs->files) file.discard();
  return env.Undefined();
}

// Temporary files: named and listed here, so that one interrupted or
// killed run's are found and removed (io/temporary.h).

Napi::Value throwSystem(Napi::Env env, const std::string& path, int errnum, const char* step) {
  systemError(env, OutputFailure{path, std::error_code(errnum, std::generic_category()), step}).ThrowAsJavaScriptException();
  return env.Undefined();
}

// temporaryFolder([parent]) -> a new scratch folder of ours (in the
// system's temporary folder without a parent), held until discardTemporary.
Napi::Value TemporaryFolder(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() > 0 && !info[0].IsString() && !info[0].IsUndefined()) return wrongArguments(env, "temporaryFolder");
  const std::string parent = info.Length() > 0 && info[0].IsString() ? pathArgument(info[0]) : std::string();
  int errnum = 0;
  const std::string path = makeTemporaryFolder(parent, errnum);
  if (path.empty()) return throwSystem(env, parent, errnum, "mkdir");
  return Napi::String::New(env, path);
}

// discardTemporary(path): removes a temporary file or scratch folder of ours.
Napi::Value DiscardTemporary(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsString()) return wrongArguments(env, "discardTemporary");
  discardTemporary(pathArgument(info[0]));
  return env.Undefined();
}

// abandonTemporaries() -> {files, folders, targets}: an interruption; every
// temporary of this process is removed, with the output folders it made
// that are left empty, and none takes its name after this.
// limitAllocatorPools(): for the command line, which owns its process.
Napi::Value LimitAllocatorPools(const Napi::CallbackInfo& info) {
  limitAllocatorPools();
  return info.Env().Undefined();
}

Napi::Value AbandonTemporaries(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  const Abandoned gone = abandonTemporaries();
  Napi::Object result = Napi::Object::New(env);
  const auto list = [&](const std::vector<std::string>& paths) {
    Napi::Array array = Napi::Array::New(env, paths.size());
    for (uint32_t i = 0; i < paths.size(); ++i) array.Set(i, paths[i]);
    return array;
  };
  result.Set("files", list(gone.files));
  result.Set("folders", list(gone.folders));
  result.Set("targets", list(gone.targets));
  return result;
}

// noteMadeFolder(folder): a folder made for outputs, removed at an interruption if left empty.
Napi::Value NoteMadeFolder(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsString()) return wrongArguments(env, "noteMadeFolder");
  noteMadeFolder(pathArgument(info[0]));
  return env.Undefined();
}

}  // namespace kinovar::native
