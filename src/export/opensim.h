// OpenSim's orientation table (.sto) of a synchronised set: a column per
// sensor, a row per sample of the first sensor where every sensor has an
// estimate at that instant (its own sample within half a period), at the
// first sensor's time on the set's base. Made in pieces of text from the
// sensors' orientations read a piece at a time, all advancing together.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kinovar {

// A piece of a sensor's orientation: times, w x y z, and a bit per row that
// has an estimate (empty: every row has one; NaN has none either way).
struct QuaternionPiece {
  uint64_t rows = 0;
  std::vector<double> time;
  std::vector<double> wxyz[4];
  std::vector<uint8_t> valid;
};
// The next piece of a sensor; false at its end.
using QuaternionPieces = std::function<bool(QuaternionPiece&)>;

// A name the table's header can hold as a column's: each blank (any
// Unicode white space), comma or control character, which the header's
// split at blanks and a cell's at commas would cut, made '_'. A name is
// fit as it is when this leaves it unchanged.
std::string mendedName(const std::string& utf8Name);

// Rows per piece of text handed on: about a MB.
inline constexpr uint64_t kOpenSimPieceRows = 1 << 12;

// The header: the rate, then what each sensor's samples went through before
// its orientation was estimated (`calibrations`, a line each, which OpenSim
// keeps as the table's metadata), then the column names.
std::string openSimHeader(double rate, const std::vector<std::string>& names,
                          const std::vector<std::string>& calibrations);

// True when a file's first bytes are such a header, up to the column names
// or to the first calibration line (a long header may pass the bytes read);
// lines may end in CRLF, as an editor may have saved them.
bool isOpenSimHead(std::string_view head);

// The rows of the sensors (the first's instants), at most `pieceRows` to a
// piece of text handed to `write`; `reached` gets the first sensor's time
// at the end of each of its pieces.
void openSimRows(const std::vector<QuaternionPieces>& sensors, double rate, uint64_t pieceRows,
                 const std::function<void(const std::string&)>& write, const std::function<void(double)>& reached);

}  // namespace kinovar
