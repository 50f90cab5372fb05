// The classic CSV export read back, for the viewer.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "export/csv.h"
#include "view/view_data.h"

namespace kinovar {

namespace {

constexpr std::string_view kBanner = kCsvBanner;

struct Group {
  uint32_t key;
  std::vector<std::string_view> names;
  std::array<int, 4> at{-1, -1, -1, -1};  // column of each channel
  std::vector<double> times{};
  std::vector<double> values{};  // interleaved while reading
};

// Fixed notation as the export writes it: the digits make an integer, which
// one division by a power of ten turns into the correctly rounded value.
bool parseFixed(std::string_view cell, double& out) {
  static constexpr double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11,
                                      1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18};
  size_t i = 0;
  const bool negative = !cell.empty() && cell[0] == '-';
  if (negative) ++i;
  uint64_t digits = 0;
  int count = 0, fraction = -1;
  for (; i < cell.size(); ++i) {
    const char c = cell[i];
    if (c == '.' && fraction < 0) {
      fraction = 0;
      continue;
    }
    if (c < '0' || c > '9' || ++count > 18) return false;
    digits = digits * 10 + static_cast<uint64_t>(c - '0');
    if (fraction >= 0) ++fraction;
  }
  if (count == 0) return false;
  out = static_cast<double>(digits) / kPow10[fraction < 0 ? 0 : fraction];
  if (negative) out = -out;
  return true;
}

std::vector<std::string_view> split(std::string_view line) {
  std::vector<std::string_view> cells;
  size_t from = 0;
  for (size_t comma; (comma = line.find(',', from)) != std::string_view::npos; from = comma + 1)
    cells.push_back(line.substr(from, comma - from));
  cells.push_back(line.substr(from));
  return cells;
}

// The export's lines one by one: seven header lines, then the rows, each
// sensor group's cells gathered into its own samples.
class ClassicCsvReader {
 public:
  ClassicCsvReader(std::string& created, std::string& error) : created_(created), error_(error) {}

  bool take(std::string_view text) {
    ++line_;
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    if (head_.size() < 7) {
      head_.emplace_back(text);
      if (head_.size() == 1 && text != kBanner) {
        error_ = "is not a kinovar CSV export (its first line is not the export banner)";
        return false;
      }
      return true;
    }
    if (timeAt_ < 0 && !setUp(text)) return false;
    if (!row(text)) {
      error_ = "has a malformed row at line " + std::to_string(line_);
      return false;
    }
    return true;
  }

  // After the last line: the streams read, or false with the reason.
  bool finish(StreamMap& streams) {
    if (head_.size() < 7) {
      error_ = head_.empty() || head_[0] == kBanner ? "ends inside its header" : "is not a kinovar CSV export";
      return false;
    }
    if (timeAt_ < 0 && !setUp("")) return false;
    for (Group& g : groups_) {
      if (g.at[0] < 0) continue;
      const uint64_t channels = g.names.size(), n = g.times.size();
      SampleStream stream(channels, n);
      stream.times = std::move(g.times);
      for (uint64_t i = 0; i < n; ++i)
        for (uint64_t c = 0; c < channels; ++c) stream.value(c, i) = g.values[i * channels + c];
      std::vector<double>().swap(g.values);
      streams.emplace(g.key, std::move(stream));
    }
    return true;
  }

 private:
  // A sensor its settings declare but that never sampled keeps its names
  // while its cells are left out of the rows: drop such groups until the
  // names fit the rows.
  void fitNamesToRow(std::vector<std::string_view>& names, std::string_view firstRow) const {
    std::vector<std::string_view> cells = split(firstRow);
    if (!cells.empty() && cells.back().empty()) cells.pop_back();
    if (firstRow.empty() || names.size() == cells.size()) return;
    for (unsigned mask = 1; mask < 8; ++mask) {
      std::vector<std::string_view> kept;
      for (std::string_view name : names) {
        bool dropped = false;
        for (unsigned g = 0; g < 3; ++g)
          for (std::string_view n : groups_[g].names) dropped |= (mask >> g & 1) && name == n;
        if (!dropped) kept.push_back(name);
      }
      if (kept.size() == cells.size()) {
        names = kept;
        return;
      }
    }
  }

  bool setUp(std::string_view firstRow) {
    if (head_[0] != kBanner) {
      error_ = "is not a kinovar CSV export (its first line is not the export banner)";
      return false;
    }
    created_ = head_[1].rfind("Created on: ", 0) == 0 ? head_[1].substr(12) : head_[1];
    uint64_t total = 0;
    std::sscanf(head_[2].c_str(), "Total data points: %llu", reinterpret_cast<unsigned long long*>(&total));
    std::vector<std::string_view> names = split(head_[5]);
    if (!names.empty() && names.back().empty()) names.pop_back();
    fitNamesToRow(names, firstRow);
    for (size_t c = 0; c < names.size(); ++c) {
      if (names[c] == "Time") timeAt_ = static_cast<int>(c);
      for (Group& g : groups_)
        for (size_t k = 0; k < g.names.size(); ++k)
          if (names[c] == g.names[k]) g.at[k] = static_cast<int>(c);
    }
    if (timeAt_ < 0) {
      error_ = "has no Time column";
      return false;
    }
    // The header's count is a hint that a damaged or edited file may set to
    // anything, past what memory holds: reserve a little of it, and let
    // longer files grow the arrays as they are read.
    const uint64_t rows = std::min<uint64_t>(total, uint64_t{1} << 16);
    for (Group& g : groups_) {
      if (g.at[0] < 0 || g.key == kEventKey || g.key == kBaroKey) continue;
      g.times.reserve(rows);
      g.values.reserve(rows * g.names.size());
    }
    return true;
  }

  bool row(std::string_view text) {
    if (text.empty()) return true;
    cells_.clear();
    size_t from = 0;
    for (size_t comma; (comma = text.find(',', from)) != std::string_view::npos; from = comma + 1)
      cells_.push_back(text.substr(from, comma - from));
    cells_.push_back(text.substr(from));
    const auto cell = [&](int at) -> const std::string_view* {
      return at >= 0 && static_cast<size_t>(at) < cells_.size() ? &cells_[static_cast<size_t>(at)] : nullptr;
    };
    double t;
    if (const std::string_view* time = cell(timeAt_); !time || !parseFixed(*time, t)) return false;
    for (Group& g : groups_) {
      if (const std::string_view* first = cell(g.at[0]); !first || first->empty()) continue;
      const size_t mark = g.values.size();
      bool ok = true;
      for (size_t k = 0; k < g.names.size() && ok; ++k) {
        double v;
        const std::string_view* number = cell(g.at[k]);
        ok = number && parseFixed(*number, v);
        if (ok) g.values.push_back(v);
      }
      if (!ok) {
        g.values.resize(mark);
        return false;
      }
      g.times.push_back(t);
    }
    return true;
  }

  std::string& created_;
  std::string& error_;
  std::vector<std::string> head_;
  std::vector<Group> groups_ = {{kGyroKey, {"Gyro X", "Gyro Y", "Gyro Z"}},
                                {kAccelKey, {"Accel X", "Accel Y", "Accel Z"}},
                                {kBaroKey, {"Pressure", "Temperature"}},
                                {kEventKey, {"Event"}},
                                {kQuaternionKey, {"Quat W", "Quat X", "Quat Y", "Quat Z"}}};
  int timeAt_ = -1;
  uint64_t line_ = 0;
  std::vector<std::string_view> cells_;
};

}  // namespace

bool decodeClassicCsv(std::string_view text, StreamMap& streams, std::string& created, std::string& error) {
  ClassicCsvReader reader(created, error);
  size_t from = 0;
  for (size_t nl; (nl = text.find('\n', from)) != std::string_view::npos; from = nl + 1)
    if (!reader.take(text.substr(from, nl - from))) return false;
  if (from < text.size() && !reader.take(text.substr(from))) return false;
  return reader.finish(streams);
}

}  // namespace kinovar
