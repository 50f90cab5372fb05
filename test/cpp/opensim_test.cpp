#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "export/opensim.h"
#include "io/js_number.h"

using namespace kinovar;

// The texts JavaScript's String() and toFixed() give, which the table's
// bytes were first made with.
TEST(JsNumber, WritesAsJavaScriptDoes) {
  const std::pair<double, const char*> cases[] = {
      {0.1 + 0.2, "0.30000000000000004"}, {1e-7, "1e-7"}, {1.5e-7, "1.5e-7"}, {1e-6, "0.000001"},
      {1e21, "1e+21"}, {1e20, "100000000000000000000"}, {-0.0, "0"}, {-2.5, "-2.5"}, {123456789012, "123456789012"},
      {5e-324, "5e-324"}, {1.7976931348623157e308, "1.7976931348623157e+308"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"}, {-std::numeric_limits<double>::infinity(), "-Infinity"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(jsNumber(value), text) << text;
}

TEST(JsNumber, FixedRoundsHalfwayAwayFromZero) {
  EXPECT_EQ(jsFixed(0.125, 2), "0.13");  // printf gives 0.12
  EXPECT_EQ(jsFixed(-0.125, 2), "-0.13");
  EXPECT_EQ(jsFixed(9.995, 2), "9.99");  // below the halfway point in binary
  EXPECT_EQ(jsFixed(99.5, 0), "100");
  EXPECT_EQ(jsFixed(-0.0, 2), "0.00");
  EXPECT_EQ(jsFixed(-0.001, 2), "-0.00");
  EXPECT_EQ(jsFixed(1e21, 2), "1e+21");
  // A tick of 1024 Hz lies halfway at the tenth decimal.
  std::string time;
  appendNanosecondTime(time, 1.0 / 1024);
  EXPECT_EQ(time, "0.000976563");
  for (const double t : {-1e-12, 0.0, std::nan("")}) {
    time.clear();
    appendNanosecondTime(time, t);
    EXPECT_EQ(time, "0");
  }
  time.clear();
  appendNanosecondTime(time, 0.1 + 0.2);
  EXPECT_EQ(time, "0.3");
}

namespace {

QuaternionPieces piecesOf(std::vector<QuaternionPiece> pieces) {
  return [pieces = std::move(pieces), at = size_t{0}](QuaternionPiece& out) mutable {
    if (at == pieces.size()) return false;
    out = pieces[at++];
    return true;
  };
}

QuaternionPiece pieceOf(std::vector<double> time, double w) {
  QuaternionPiece piece;
  piece.rows = time.size();
  for (auto& channel : piece.wxyz) channel.assign(time.size(), 0.0);
  piece.wxyz[0].assign(time.size(), w);
  piece.time = std::move(time);
  return piece;
}

}  // namespace

// Rows at the first sensor's instants; the other's nearest sample (the later
// of two as near, across its pieces) within half a period, else no row.
TEST(OpenSim, RowsWhereEverySensorHasAnEstimate) {
  QuaternionPiece gap = pieceOf({0.0, 0.1, 0.2, 0.3}, 1);
  gap.wxyz[0][1] = std::nan("");  // no estimate
  QuaternionPiece other = pieceOf({0.05}, 2), rest = pieceOf({0.15, 0.32, 0.5}, 3);
  rest.valid = {0b101};  // its 0.32 has none
  std::vector<QuaternionPieces> sensors = {piecesOf({gap}), piecesOf({other, rest})};
  std::string text;
  std::vector<double> reached;
  openSimRows(sensors, 10.0, 1, [&](const std::string& piece) { text += piece + "|"; },
              [&](double t) { reached.push_back(t); });
  EXPECT_EQ(text, "0\t1,0,0,0\t2,0,0,0\n|0.2\t1,0,0,0\t3,0,0,0\n|");
  EXPECT_EQ(reached, std::vector<double>{0.3});
  EXPECT_EQ(openSimHeader(100, {"a", "b"}, {"off: the samples are raw", "x"}),
            "DataRate=100\nDataType=Quaternion\nversion=3\nOpenSimVersion=4.5\ncalibration.a=off: the samples are raw\n"
            "calibration.b=x\nendheader\ntime\ta\tb\n");
}
