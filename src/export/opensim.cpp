#include "export/opensim.h"

#include <cmath>

#include "export/rows.h"
#include "io/js_number.h"

namespace kinovar {

namespace {

// The header's lines after the rate, the same in every table.
constexpr const char* kFixedLines[] = {"DataType=Quaternion", "version=3", "OpenSimVersion=4.5"};

// A sensor's orientation walked forward to the sample nearest each instant
// asked for: only its piece and the next are held.
class Nearest {
 public:
  explicit Nearest(const QuaternionPieces& next) : next_(next) { has_ = next_(piece_) && piece_.rows > 0; }

  // Steps to the sample nearest `t`, the later of two as near, from where
  // the last instant left it: instants rise, so that is where every earlier
  // one would have left it too. False when the sensor has no sample at all.
  bool seek(double t) {
    if (!has_) return false;
    for (;;) {
      double next;
      if (k_ + 1 < piece_.rows) {
        next = piece_.time[k_ + 1];
      } else {
        if (!aheadRead_) aheadRead_ = true, hasAhead_ = next_(ahead_) && ahead_.rows > 0;
        if (!hasAhead_) break;
        next = ahead_.time[0];
      }
      if (!(std::fabs(next - t) <= std::fabs(piece_.time[k_] - t))) break;
      if (k_ + 1 < piece_.rows) {
        ++k_;
      } else {
        std::swap(piece_, ahead_);
        aheadRead_ = false;
        k_ = 0;
      }
    }
    return true;
  }
  const QuaternionPiece& piece() const { return piece_; }
  uint64_t at() const { return k_; }

 private:
  const QuaternionPieces& next_;
  QuaternionPiece piece_, ahead_;
  bool has_ = false, aheadRead_ = false, hasAhead_ = false;
  uint64_t k_ = 0;
};

// Sample k of a piece as a cell; false, writing nothing, where it has no estimate.
bool appendQuaternion(std::string& out, const QuaternionPiece& piece, uint64_t k) {
  if ((!piece.valid.empty() && !rowBit(piece.valid.data(), k)) || piece.wxyz[0][k] != piece.wxyz[0][k])
    return false;
  for (int c = 0; c < 4; ++c) {
    if (c) out += ',';
    appendJsNumber(out, piece.wxyz[c][k]);
  }
  return true;
}

}  // namespace

namespace {

// JavaScript's \s (ASCII blanks and Unicode's white space), commas and controls.
bool refusedInName(char32_t c) {
  return c <= 0x20 || c == ',' || c == 0x7f || c == 0xa0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200a) ||
         c == 0x2028 || c == 0x2029 || c == 0x202f || c == 0x205f || c == 0x3000 || c == 0xfeff;
}

}  // namespace

std::string mendedName(const std::string& name) {
  std::string mended;
  for (size_t i = 0; i < name.size();) {
    const auto byte = [&](size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(name[i + k])); };
    const char32_t lead = byte(0);
    size_t length = lead < 0xc0 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
    if (i + length > name.size()) length = 1;
    // Every refused character lies in the first three bytes' planes.
    const char32_t c = length == 1 ? lead : length == 2 ? (lead & 0x1f) << 6 | (byte(1) & 0x3f)
                       : length == 3 ? (lead & 0x0f) << 12 | (byte(1) & 0x3f) << 6 | (byte(2) & 0x3f) : 0x10000;
    if (refusedInName(c)) mended += '_';
    else mended.append(name, i, length);
    i += length;
  }
  return mended;
}

std::string openSimHeader(double rate, const std::vector<std::string>& names,
                          const std::vector<std::string>& calibrations) {
  std::string text = "DataRate=";
  appendJsNumber(text, rate);
  for (const char* line : kFixedLines) text.append(1, '\n').append(line);
  text += '\n';
  for (size_t i = 0; i < names.size() && i < calibrations.size(); ++i)
    text.append("calibration.").append(names[i]).append(1, '=').append(calibrations[i]).append(1, '\n');
  text += "endheader\ntime";
  for (const std::string& name : names) text.append(1, '\t').append(name);
  return text += '\n';
}

bool isOpenSimHead(std::string_view head) {
  // Takes the next line (without its CR) into `line`; false when no line ends in the bytes.
  const auto next = [&head](std::string_view& line) {
    const size_t end = head.find('\n');
    if (end == std::string_view::npos) return false;
    line = head.substr(0, end > 0 && head[end - 1] == '\r' ? end - 1 : end);
    head.remove_prefix(end + 1);
    return true;
  };
  std::string_view line;
  if (!next(line) || !line.starts_with("DataRate=")) return false;
  for (const std::string_view expected : kFixedLines)
    if (!next(line) || line != expected) return false;
  if (head.starts_with("calibration.")) return true;
  return next(line) && line == "endheader" && head.starts_with("time\t");
}

void openSimRows(const std::vector<QuaternionPieces>& sensors, double rate, uint64_t pieceRows,
                 const std::function<void(const std::string&)>& write, const std::function<void(double)>& reached) {
  if (sensors.empty()) return;
  const double half = 0.5 / rate + 1e-9;
  std::vector<Nearest> others;
  others.reserve(sensors.size() - 1);
  for (size_t i = 1; i < sensors.size(); ++i) others.emplace_back(sensors[i]);
  std::string text;
  uint64_t lines = 0;
  for (QuaternionPiece piece; sensors[0](piece);) {
    for (uint64_t r = 0; r < piece.rows; ++r) {
      const double t = piece.time[r];
      const size_t start = text.size();
      appendNanosecondTime(text, t);
      text += '\t';
      bool kept = appendQuaternion(text, piece, r);
      for (Nearest& sensor : others) {
        // Every sensor walks on, but a row with a sensor missing (a gap, or no estimate) is left out.
        const bool near = sensor.seek(t);
        if (!kept) continue;
        text += '\t';
        kept = near && std::fabs(sensor.piece().time[sensor.at()] - t) <= half &&
               appendQuaternion(text, sensor.piece(), sensor.at());
      }
      if (!kept) {
        text.resize(start);
        continue;
      }
      text += '\n';
      if (++lines >= pieceRows) write(text), text.clear(), lines = 0;
    }
    if (piece.rows) reached(piece.time[piece.rows - 1]);
  }
  if (!text.empty()) write(text);
}

}  // namespace kinovar
