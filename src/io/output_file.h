// Output files that are written whole or not at all. The bytes go to a new
// file beside the target, which takes the target's name only once it is
// complete and closed: a run that is killed or fails part-way leaves the old
// file (or none) under the name, never a truncated one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "io/temporary.h"

namespace kinovar {

class OutputFile {
 public:
  enum class Mode { Text, Binary };

  OutputFile() = default;
  // Opens the temporary file. A target that a plain truncating open would
  // refuse (a folder, a file without write permission, a missing folder, on
  // Windows a file another program holds) is refused with the error that
  // open gives, and nothing is created. A symbolic link is written through.
  // A target that is not a regular file (a device, a pipe) is written
  // directly, as is an existing writable file in a folder that does not
  // let us create the temporary file.
  // Durable: its bytes are forced to the medium before it takes the name,
  // and the folder after.
  OutputFile(const char* utf8Path, Mode mode, bool durable = false);
  // The target opened, created or emptied, as a plain open does: no
  // temporary file and no sync at commit. For comparisons (the bench).
  static OutputFile inPlace(const char* utf8Path, Mode mode);
  ~OutputFile();  // uncommitted: the temporary file is removed
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  std::FILE* file() const { return file_; }
  explicit operator bool() const { return file_ != nullptr; }
  // The target is a file that holds data, which the commit will replace.
  bool replacesData() const { return replacesData_; }

  // Flushes, forces the bytes to the medium when the file is durable (or
  // `durable` asks it), closes and moves the file into place. False when any
  // step failed; the target then keeps its old content and the temporary
  // file is gone.
  bool commit(bool durable = false);
  // commit in two steps, for files that take their names together: finish
  // flushes, syncs and closes; publish then moves the file into place.
  bool finish(bool durable = false);
  bool publish(bool durable = false);
  bool durable() const { return durable_; }
  bool finished() const { return finished_; }
  // Removes the temporary file; the target is not touched.
  void discard();

  // A writer that saw a write fail records the system's error number here
  // (the first one counts); commit then fails with it.
  void noteWriteError(int errnum);

  // The first failure: the system's error and the step ("open", "write",
  // "sync", "close", "rename"). Empty while nothing failed.
  std::error_code error() const { return error_; }
  const char* failedStep() const { return step_; }

 private:
  void fail(const char* step, int errnum);
  void release() noexcept;
#ifndef _WIN32
  bool examineTarget(unsigned& permissions, bool& existed);
  bool openTemporary(unsigned permissions, bool existed, const char* cmode);
#endif

  std::FILE* file_ = nullptr;
#ifdef _WIN32
  std::wstring target_, temp_;
  std::string held_;  // temp_ in UTF-8, as the list of temporaries names it
#else
  std::string target_, temp_;
#endif
  bool direct_ = false;  // written in place: no temporary file
  bool finished_ = false;  // closed complete, not yet in place
  bool replacesData_ = false;
  bool durable_ = false;
  std::error_code error_;
  const char* step_ = "";
};

// Why an output was not written: the file, the system's error and the step.
struct OutputFailure {
  std::string path;
  std::error_code error;
  const char* step = "";
};

// Commits the files (those not yet finished are finished first; all durable
// when `durable`) so that each takes its name only once every one is complete; otherwise none is committed and all are discarded, the targets
// keeping their old content. False with the index of the first failed file.
bool commitTogether(std::vector<OutputFile>& files, bool durable = false, size_t* failed = nullptr);

// Writes each content as the whole of its file, by way of OutputFiles
// committed together (forced to the medium when `durable`): every target is
// opened (and so checked) before any is written. False, with the first file
// that failed and why, when one cannot be written; the targets then keep
// their content.
bool replaceFiles(const std::vector<std::string>& utf8Paths, const std::vector<std::span<const uint8_t>>& contents,
                  OutputFailure* failure = nullptr, bool durable = true);
bool replaceFile(const char* utf8Path, std::span<const uint8_t> bytes, OutputFailure* failure = nullptr,
                 bool durable = true);

// How many times this process forced a file or a folder to the medium:
// what tells a test that durability reached the writer.
uint64_t forcedSyncs();

// The symbolic name of a system error number ("ENOENT", "ENOSPC", ...), as
// Node names them; "EIO" for one this table does not know.
const char* errnoName(int errnum);

}  // namespace kinovar
