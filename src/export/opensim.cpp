#include "export/opensim.h"

#include <cmath>

#include "io/js_number.h"

namespace kinovar {

namespace {

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
  if ((!piece.valid.empty() && !((piece.valid[k >> 3] >> (k & 7)) & 1)) || piece.wxyz[0][k] != piece.wxyz[0][k])
    return false;
  for (int c = 0; c < 4; ++c) {
    if (c) out += ',';
    appendJsNumber(out, piece.wxyz[c][k]);
  }
  return true;
}

}  // namespace

std::string openSimHeader(double rate, const std::vector<std::string>& names,
                          const std::vector<std::string>& calibrations) {
  std::string text = "DataRate=";
  appendJsNumber(text, rate);
  text += "\nDataType=Quaternion\nversion=3\nOpenSimVersion=4.5\n";
  for (size_t i = 0; i < names.size() && i < calibrations.size(); ++i)
    text.append("calibration.").append(names[i]).append(1, '=').append(calibrations[i]).append(1, '\n');
  text += "endheader\ntime";
  for (const std::string& name : names) text.append(1, '\t').append(name);
  return text += '\n';
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
