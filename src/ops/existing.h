// What stands at the path an output would take, as far as replacing it is
// concerned: our outputs are known from their bytes alone, whatever their
// format, so that one of ours may give way and any other file is kept.
#pragma once

#include <cstdint>
#include <string>

namespace kinovar {

enum class Existing {
  Missing,    // nothing there (or a folder on the way is missing)
  Folder,
  Device,     // a pipe or device: written as it is
  Empty,      // holds nothing to lose
  Csv,        // a classic CSV of ours
  Html,       // a viewer page of ours
  Output,     // another output of ours: plain CSV, Parquet, OpenSim table, a set's report, a calibration
  Recording,  // settings and data
  Settings,   // a settings file
  Other,
};

struct ExistingFile {
  Existing kind = Existing::Missing;
  uint64_t size = 0;
  const char* format = nullptr;  // an output of ours: "plain", "csv", "parquet", "opensim", "html", "set", "calibration"
  int systemError = 0;           // when it could not be looked at: the system's error number
};

ExistingFile existingFile(const std::string& utf8Path);

// The kind's name as hosts give it: "missing", "csv", "output", ...
const char* existingName(Existing kind);

// True when an output of ours may take the place without being told to
// overwrite: nothing there to lose, or an output of ours.
bool replaceableByOutput(Existing kind);

// The viewer page's mark, by which it is known as ours.
inline constexpr char kViewGenerator[] = "<meta name=\"generator\" content=\"kinovar view\">";

}  // namespace kinovar
