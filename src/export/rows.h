// The rows of the tables beyond the classic CSV (plain CSV, Parquet, load()):
// one row per distinct instant at which any of the table's streams has a
// sample, in time order. A stream without a sample at an instant has no
// value there; nothing is placed on a row by its number.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace kinovar {

// Walks the union of up to kMax streams' sample times. Each stream's times
// rise strictly (the parser sorts them and keeps one sample per tick), and
// samples taken on one tick have the same time to the bit in every stream,
// also after a set's shift, which adds the same offset to each.
class InstantMerge {
 public:
  static constexpr size_t kMax = 5;

  // Stream s (in the order added) with `count` samples at `times`.
  size_t add(const double* times, uint64_t count) {
    times_[size_] = times;
    count_[size_] = count;
    return size_++;
  }
  // The next row's time, or infinity once every sample has its row.
  double next() const {
    double t = std::numeric_limits<double>::infinity();
    for (size_t s = 0; s < size_; ++s)
      if (at_[s] < count_[s] && times_[s][at_[s]] < t) t = times_[s][at_[s]];
    return t;
  }
  // Sample of stream s on the row at time t and steps past it, or false
  // when the stream has none there.
  bool take(size_t s, double t, uint64_t& k) {
    if (at_[s] >= count_[s] || times_[s][at_[s]] != t) return false;
    k = at_[s]++;
    return true;
  }
  // Steps every stream past the row at time t.
  void pass(double t) {
    for (size_t s = 0; s < size_; ++s)
      if (at_[s] < count_[s] && times_[s][at_[s]] == t) ++at_[s];
  }
  // Where each stream stands: the samples that earlier rows took.
  const std::array<uint64_t, kMax>& positions() const { return at_; }
  void seek(const std::array<uint64_t, kMax>& positions) { at_ = positions; }
  // The first instant of all: what a recording's time counts from.
  double first() const {
    double t = std::numeric_limits<double>::infinity();
    for (size_t s = 0; s < size_; ++s)
      if (count_[s] > 0) t = std::min(t, times_[s][0]);
    return std::isinf(t) ? 0.0 : t;
  }

 private:
  std::array<const double*, kMax> times_{};
  std::array<uint64_t, kMax> count_{};
  std::array<uint64_t, kMax> at_{};
  size_t size_ = 0;
};

// A group of the table's streams as its rows read it: sample k at times[k],
// its channel c at channels[c][k]. A group without samples has no columns.
struct RowGroup {
  const double* times = nullptr;
  uint64_t count = 0;
  std::array<const double*, 4> channels{};
  bool quaternion = false;  // a quaternion of zeros is one without an estimate
};

// A column of the rows: the group and channel it reads; `values` false: only
// whether each row has a value (the caller holds the values already).
struct RowColumn {
  size_t group = 0;
  uint32_t channel = 0;
  bool values = true;
};

// A piece of a table's rows: each row's time and, per column, its value on
// the row and a bit per row that has one (bit r & 7 of byte r >> 3; empty:
// every row has one). A row without a value holds 0.
struct RowPiece {
  uint64_t rows = 0;
  std::vector<double> time;
  std::vector<std::vector<double>> values;  // per column; empty for a column without values
  std::vector<std::vector<uint8_t>> valid;  // per column
};

// Whether row r has its bit in a bitmap of a bit per row, as `valid` holds them.
inline bool rowBit(const uint8_t* bits, uint64_t r) { return (bits[r >> 3] >> (r & 7)) & 1; }

// The number of rows every sample of `groups` (at most InstantMerge::kMax)
// stands on.
uint64_t rowCount(std::span<const RowGroup> groups);

// The `rows` rows of every sample of `groups` (at most InstantMerge::kMax),
// their times counted from `origin` (`times` false: no times, the caller
// has them). A sample holds no value when its first
// channel is NaN (a row of a set that no sample of the stream stood near) or
// it is a quaternion without an estimate.
void mergeRows(std::span<const RowGroup> groups, uint64_t rows, std::span<const RowColumn> columns, double origin,
               RowPiece& out, bool times = true);

// Rows `first` to `first + count` of a piece.
RowPiece rowsOf(const RowPiece& piece, uint64_t first, uint64_t count);

}  // namespace kinovar
