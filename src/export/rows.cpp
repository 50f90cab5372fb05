#include "export/rows.h"

#include "orientation/orientation.h"

namespace kinovar {

namespace {

bool holdsValue(const RowGroup& group, uint64_t k) {
  const std::array<const double*, 4>& v = group.channels;
  if (v[0][k] != v[0][k]) return false;
  return !group.quaternion || !noEstimate(v[0][k], v[1][k], v[2][k], v[3][k]);
}

void merged(InstantMerge& merge, std::span<const RowGroup> groups) {
  for (size_t g = 0; g < groups.size() && g < InstantMerge::kMax; ++g) merge.add(groups[g].times, groups[g].count);
}

}  // namespace

uint64_t rowCount(std::span<const RowGroup> groups) {
  InstantMerge merge;
  merged(merge, groups);
  uint64_t rows = 0;
  for (double t = merge.next(); !std::isinf(t); t = merge.next(), ++rows) merge.pass(t);
  return rows;
}

void mergeRows(std::span<const RowGroup> groups, uint64_t rows, std::span<const RowColumn> columns, double origin,
               RowPiece& out, bool times) {
  InstantMerge merge;
  merged(merge, groups);
  out.rows = rows;
  out.time.resize(times ? rows : 0);
  out.values.resize(columns.size());
  out.valid.resize(columns.size());
  // Each column's cells as plain pointers: the loop below runs for every cell of the table.
  struct Cells {
    const double* from;
    double* to;  // null: no values
    uint8_t* bits;
    size_t group;
  };
  std::vector<Cells> cells(columns.size());
  for (size_t c = 0; c < columns.size(); ++c) {
    out.values[c].assign(columns[c].values ? rows : 0, 0.0);
    out.valid[c].assign((rows + 7) / 8, 0);
    const RowGroup& group = groups[columns[c].group];
    cells[c] = {group.channels[columns[c].channel], columns[c].values ? out.values[c].data() : nullptr,
                out.valid[c].data(), columns[c].group};
  }
  std::array<uint64_t, InstantMerge::kMax> k{};
  std::array<bool, InstantMerge::kMax> held{}, full{};
  full.fill(true);
  for (uint64_t r = 0; r < rows; ++r) {
    const double t = merge.next();
    if (times) out.time[r] = t - origin;
    for (size_t g = 0; g < groups.size(); ++g) {
      held[g] = groups[g].count && merge.take(g, t, k[g]) && holdsValue(groups[g], k[g]);
      full[g] = full[g] && held[g];
    }
    const uint8_t bit = static_cast<uint8_t>(1u << (r & 7));
    for (const Cells& cell : cells) {
      if (!held[cell.group]) continue;
      if (cell.to) cell.to[r] = cell.from[k[cell.group]];
      cell.bits[r >> 3] |= bit;
    }
  }
  for (size_t c = 0; c < columns.size(); ++c)
    if (full[columns[c].group]) out.valid[c].clear();
}

RowPiece rowsOf(const RowPiece& piece, uint64_t first, uint64_t count) {
  RowPiece part;
  part.rows = count;
  const auto copy = [&](const std::vector<double>& from, std::vector<double>& to) {
    if (!from.empty()) to.assign(from.data() + first, from.data() + first + count);
  };
  copy(piece.time, part.time);
  part.values.resize(piece.values.size());
  part.valid.resize(piece.valid.size());
  for (size_t c = 0; c < piece.values.size(); ++c) {
    copy(piece.values[c], part.values[c]);
    if (piece.valid[c].empty()) continue;
    part.valid[c].assign((count + 7) / 8, 0);
    for (uint64_t r = 0; r < count; ++r)
      if (rowBit(piece.valid[c].data(), first + r)) part.valid[c][r >> 3] |= static_cast<uint8_t>(1u << (r & 7));
  }
  return part;
}

}  // namespace kinovar
