#include "ops/existing.h"

#include <cerrno>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

#include "calibration/calibration.h"
#include "export/opensim.h"
#include "export/parquet.h"
#include "io/paths.h"
#include "io/read_file.h"
#include "ops/epochs.h"
#include "ops/names.h"
#include "ops/operations.h"
#include "reader/frames.h"
#include "settings/settings_record.h"

namespace kinovar {

namespace fs = std::filesystem;

namespace {

// A Parquet file's footer, which names our format, lies in its last bytes.
constexpr size_t kTailBytes = 65536;

std::string_view viewOf(const std::vector<uint8_t>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// A JSON document that begins {"format": "<format>" (blanks allowed): a set's report, a calibration.
bool beginsWithFormat(std::string_view head, std::string_view format) {
  const auto blanks = [&head] {
    while (!head.empty() && (head[0] == ' ' || head[0] == '\t' || head[0] == '\r' || head[0] == '\n')) head.remove_prefix(1);
  };
  if (!head.starts_with('{')) return false;
  head.remove_prefix(1);
  blanks();
  if (!head.starts_with("\"format\":")) return false;
  head.remove_prefix(9);
  blanks();
  return head.starts_with('"') && head.substr(1).starts_with(format) && head.substr(1 + format.size()).starts_with('"');
}

// A first line that is the plain CSV's header, or an epoch or day table's: time, then names of our columns.
bool isPlainHeader(std::string_view line) {
  if (!line.starts_with("time")) return false;
  const auto ours = [](std::string_view name) {
    if (name == "time" || name == "datetime") return true;
    for (const ColumnLayout& column : columnLayouts())
      if (name == column.name) return true;
    for (const auto& columns : {epochColumns(), dayColumns()})
      for (const EpochColumn& column : columns)
        if (name == column.name) return true;
    return false;
  };
  for (size_t from = 0;;) {
    const size_t comma = line.find(',', from);
    if (!ours(line.substr(from, comma - from))) return false;
    if (comma == std::string_view::npos) return true;
    from = comma + 1;
  }
}

bool isOurParquet(const std::string& utf8Path, uint64_t size) {
  std::vector<uint8_t> bytes;
  if (!readFile(utf8Path.c_str(), bytes, nullptr, kTailBytes, size > kTailBytes ? size - kTailBytes : 0)) return false;
  const std::string_view tail = viewOf(bytes);
  return tail.size() >= 8 && tail.ends_with("PAR1") && tail.find(parquet::kTableFormat) != std::string_view::npos;
}

// The format of an output of ours, known from its first block (and a Parquet file's footer); null for any other file.
const char* ourFormat(const std::string& utf8Path, std::string_view head, uint64_t size) {
  if (head.starts_with(csvBanner())) return "csv";
  if (isOpenSimHead(head)) return "opensim";
  if (head.find(kViewGenerator) != std::string_view::npos) return "html";
  if (beginsWithFormat(head, kSetFormat)) return "set";
  if (beginsWithFormat(head, kCalibrationFormat)) return "calibration";
  if (const size_t end = head.find('\n'); end != std::string_view::npos) {
    std::string_view line = head.substr(0, end);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (isPlainHeader(line)) return "plain";
  }
  return head.starts_with("PAR1") && isOurParquet(utf8Path, size) ? "parquet" : nullptr;
}

bool isClassicCsv(std::string_view head) {
  const std::string_view banner = csvBanner();
  if (!head.starts_with(banner)) return false;
  head.remove_prefix(banner.size());
  return head.starts_with("\n") || head.starts_with("\r\n");
}

// The page as the viewer writes it: its doctype, then the charset and our generator on the next line.
bool isViewPage(std::string_view head) {
  const size_t generator = head.find("<meta name=\"generator\" content=\"kinovar");
  return head.starts_with("<!DOCTYPE html>") && generator != std::string_view::npos &&
         head.find("<meta charset=\"utf-8\">") < generator;
}

// The error's errno (Windows' file system answers in its own numbers).
int errnoOf(const std::error_code& error) {
  const std::error_condition condition = error.default_error_condition();
  return condition.category() == std::generic_category() ? condition.value() : EIO;
}

}  // namespace

ExistingFile existingFile(const std::string& utf8Path) {
  ExistingFile found;
  std::error_code error;
  const fs::path path = filePath(utf8Path);
  const fs::file_status status = fs::status(path, error);
  if (error) {
    // Nothing there to lose; writing says why the path is wrong.
    if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory) return found;
    found.systemError = errnoOf(error);
    return found;
  }
  if (fs::is_directory(status)) return {Existing::Folder};
  if (!fs::is_regular_file(status)) return {Existing::Device};
  found.size = fs::file_size(path, error);
  if (!error && found.size == 0) return {Existing::Empty};
  std::vector<uint8_t> bytes;
  int errnum = 0;
  if (error || !readFile(utf8Path.c_str(), bytes, &errnum, frames::kBlockSize)) {
    found.systemError = error ? errnoOf(error) : (errnum ? errnum : EIO);
    return found;
  }
  const std::string_view head = viewOf(bytes);
  // Known before the settings records are looked for: a path in a set's report may hold their two letters.
  found.format = ourFormat(utf8Path, head, found.size);
  if (isClassicCsv(head)) found.kind = Existing::Csv;
  else if (isViewPage(head)) found.kind = Existing::Html;
  else if (found.format) found.kind = Existing::Output;
  else if (holdsSettingsRecord(bytes)) found.kind = found.size > frames::kBlockSize ? Existing::Recording : Existing::Settings;
  else found.kind = Existing::Other;
  return found;
}

const char* existingName(Existing kind) {
  switch (kind) {
    case Existing::Missing: return "missing";
    case Existing::Folder: return "folder";
    case Existing::Device: return "device";
    case Existing::Empty: return "empty";
    case Existing::Csv: return "csv";
    case Existing::Html: return "html";
    case Existing::Output: return "output";
    case Existing::Recording: return "recording";
    case Existing::Settings: return "settings";
    case Existing::Other: return "other";
  }
  return "other";
}

bool replaceableByOutput(Existing kind) {
  return kind == Existing::Missing || kind == Existing::Empty || kind == Existing::Device || kind == Existing::Csv ||
         kind == Existing::Html || kind == Existing::Output;
}

}  // namespace kinovar
