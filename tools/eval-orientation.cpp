// Inclination accuracy of the orientation estimators against optical truth:
//   kinovar-eval-orientation <folder of NAME.bin + NAME.truth.csv>
// Per trial: the inclination RMSE over the samples the truth marks valid, of
// the classic and the accurate estimator; then, with each recording cut to
// start 20 s into its movement, the time until the error falls below 2 deg
// and stays there for 5 s, and until the cut estimate is within 0.5 deg of
// the whole recording's. The start target (settled within 2 s) is counted on
// the second: it measures the start alone, while the first also carries the
// error the whole recording's estimate makes in fast turns. Times are
// processor time, the machine may be shared.
//
// Heading is not in the error; how fast it drifts is printed apart: the
// slope, in degrees a minute, of the estimate's heading less the truth's.
//
// Last, how far the sensor's samples stand behind the optical truth: the
// shift that best matches the gyroscope to the rates the truth turns at,
// found apart from any estimator; and the accurate figures again with the
// estimate read that much later. The estimator is not told of the shift.
#include <algorithm>
#include <cmath>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "orientation/accurate.h"
#include "orientation/orientation.h"
#include "ops/recording_file.h"

namespace fs = std::filesystem;
using namespace kinovar;

namespace {

constexpr double kDegPerRad = 180.0 / 3.14159265358979323846;

struct Truth {
  std::vector<double> time, q;  // q: w, x, y, z per sample
  std::vector<char> valid;
};

bool readTruth(const fs::path& path, Truth& truth) {
  std::ifstream in(path);
  std::string line;
  if (!std::getline(in, line)) return false;
  while (std::getline(in, line)) {
    double v[6];
    if (std::sscanf(line.c_str(), "%lf,%lf,%lf,%lf,%lf,%lf", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) != 6) return false;
    truth.time.push_back(v[0]);
    truth.q.insert(truth.q.end(), {v[1], v[2], v[3], v[4]});
    truth.valid.push_back(v[5] != 0);
  }
  return true;
}

void up(const double* q, double u[3]) {
  u[0] = 2 * (q[1] * q[3] - q[0] * q[2]);
  u[1] = 2 * (q[2] * q[3] + q[0] * q[1]);
  u[2] = q[0] * q[0] - q[1] * q[1] - q[2] * q[2] + q[3] * q[3];
}

// Inclination error of estimate sample i (channel-major, count n) against truth sample j, degrees.
double error(const std::vector<double>& est, uint64_t n, uint64_t i, const Truth& truth, uint64_t j) {
  if (i >= n) return 180;
  double q[4] = {est[i], est[n + i], est[2 * n + i], est[3 * n + i]};
  const double norm = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  if (!(norm > 0) || !std::isfinite(norm)) return 180;
  for (double& c : q) c /= norm;
  double a[3], b[3];
  up(q, a);
  up(&truth.q[4 * j], b);
  const double dot = std::clamp(a[0] * b[0] + a[1] * b[1] + a[2] * b[2], -1.0, 1.0);
  return std::acos(dot) * kDegPerRad;
}

// The recording's accelerometer and gyroscope from sample `from` on.
StreamMap cut(const StreamMap& streams, uint64_t from) {
  StreamMap out;
  for (uint32_t key : {kAccelKey, kGyroKey}) {
    const SampleStream& s = streams.at(key);
    const uint64_t n = s.count > from ? s.count - from : 0;
    SampleStream c(s.channels, n);
    for (uint64_t ch = 0; ch < s.channels; ++ch)
      std::copy_n(s.values.begin() + ch * s.count + from, n, c.values.begin() + ch * n);
    std::copy_n(s.times.begin() + from, n, c.times.begin());
    out.emplace(key, std::move(c));
  }
  return out;
}

std::vector<double> accurate(const DeviceSettings& settings, const StreamMap& streams, double* nsPerSample = nullptr) {
  const SampleStream& a = streams.at(kAccelKey);
  const SampleStream& g = streams.at(kGyroKey);
  const uint64_t n = std::min(a.count, g.count);
  std::vector<double> out(4 * n);
  const auto start = std::clock();
  estimateAccurate(a.values.data(), a.count, g.values.data(), g.count, n, settings.accel.frequency, out.data());
  const double seconds = double(std::clock() - start) / CLOCKS_PER_SEC;
  if (nsPerSample) *nsPerSample = seconds * 1e9 / static_cast<double>(n);
  return out;
}

std::vector<double> classic(const DeviceSettings& settings, const StreamMap& streams) {
  StreamMap copy = streams;
  if (!estimateOrientation(settings, copy)) return {};
  return copy.at(kQuaternionKey).values;
}

double rmse(const std::vector<double>& est, const Truth& truth) {
  const uint64_t n = est.size() / 4;
  double sum = 0;
  uint64_t count = 0;
  for (uint64_t i = 0; i < truth.valid.size(); ++i) {
    if (!truth.valid[i]) continue;
    const double e = error(est, n, i, truth, i);
    sum += e * e, ++count;
  }
  return count ? std::sqrt(sum / static_cast<double>(count)) : NAN;
}

// Inclination difference of sample i of a and sample j of b (channel-major), degrees.
double apart(const std::vector<double>& a, uint64_t i, const std::vector<double>& b, uint64_t j) {
  const uint64_t na = a.size() / 4, nb = b.size() / 4;
  const double qa[4] = {a[i], a[na + i], a[2 * na + i], a[3 * na + i]};
  const double qb[4] = {b[j], b[nb + j], b[2 * nb + j], b[3 * nb + j]};
  double ua[3], ub[3];
  up(qa, ua);
  up(qb, ub);
  return std::acos(std::clamp(ua[0] * ub[0] + ua[1] * ub[1] + ua[2] * ub[2], -1.0, 1.0)) * kDegPerRad;
}

// Seconds from the cut until the error is below `limit` degrees and stays so
// for 5 s; -1 if never. `errorAt` (sample j of the recording) is checked on
// the samples the truth marks valid.
template <typename Error>
double convergence(const Truth& truth, uint64_t from, double limit, Error errorAt) {
  const double t0 = truth.time[from];
  double candidate = t0;
  for (uint64_t j = from; j < truth.valid.size(); ++j) {
    if (!truth.valid[j]) continue;
    if (errorAt(j) >= limit) {
      candidate = j + 1 < truth.time.size() ? truth.time[j + 1] : INFINITY;
    } else if (truth.time[j] - candidate >= 5.0) {
      return candidate - t0;
    }
  }
  return -1;
}

// Degrees a minute: the least-squares slope of the heading of est ⊗ truth*
// (its turn about the world's vertical), unwrapped, over the valid samples.
double headingDrift(const std::vector<double>& est, const Truth& truth) {
  const uint64_t n = est.size() / 4;
  double unwrapped = 0, previous = 0, st = 0, sh = 0, stt = 0, sth = 0, count = 0;
  for (uint64_t i = 0; i < n && i < truth.valid.size(); ++i) {
    if (!truth.valid[i]) continue;
    const double* t = &truth.q[4 * i];
    const double e[4] = {est[i], est[n + i], est[2 * n + i], est[3 * n + i]};
    const double w = e[0] * t[0] + e[1] * t[1] + e[2] * t[2] + e[3] * t[3];
    const double z = -e[0] * t[3] - e[1] * t[2] + e[2] * t[1] + e[3] * t[0];
    const double heading = 2 * std::atan2(z, w) * kDegPerRad;
    unwrapped += count == 0 ? heading : std::remainder(heading - previous, 360.0);
    previous = heading;
    const double time = truth.time[i];
    st += time, sh += unwrapped, stt += time * time, sth += time * unwrapped, ++count;
  }
  return count > 1 ? 60 * (count * sth - st * sh) / (count * stt - st * st) : NAN;
}

// Samples by which the gyroscope stands behind the truth. Sample k covers
// the turn from tick k - 1 to k, so on time it matches the truth's turn from
// j to j + 1 at k = j + 1; the delay is the best k - j - 1, in steps of 0.05.
double gyroDelay(const Truth& truth, const SampleStream& gyro, double period) {
  const uint64_t n = std::min<uint64_t>(gyro.count, truth.valid.size());
  double best = 0, bestError = INFINITY;
  for (double shift = -1.0; shift <= 3.0; shift += 0.05) {
    double sum = 0;
    uint64_t count = 0;
    for (uint64_t j = 4; j + 8 < n; ++j) {
      const double* a = &truth.q[4 * j];
      const double* b = &truth.q[4 * j + 4];
      if (!truth.valid[j] || !truth.valid[j + 1]) continue;
      // The turn conj(a) b as a rate in sensor axes, deg/s.
      const double sign = a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3] < 0 ? -1.0 : 1.0;
      const double rate[3] = {a[0] * b[1] - a[1] * b[0] - a[2] * b[3] + a[3] * b[2],
                              a[0] * b[2] + a[1] * b[3] - a[2] * b[0] - a[3] * b[1],
                              a[0] * b[3] - a[1] * b[2] + a[2] * b[1] - a[3] * b[0]};
      const double at = static_cast<double>(j) + 1.0 + shift;
      const uint64_t k = static_cast<uint64_t>(std::floor(at));
      const double f = at - std::floor(at);
      for (uint64_t c = 0; c < 3; ++c) {
        const double g = (1 - f) * gyro.value(c, k) + f * gyro.value(c, k + 1);
        const double d = g - sign * 2 * rate[c] / period * kDegPerRad;
        sum += d * d;
      }
      ++count;
    }
    if (count && sum / static_cast<double>(count) < bestError) bestError = sum / static_cast<double>(count), best = shift;
  }
  return best;
}

// The estimate read `shift` samples later (normalised linear blend of neighbours).
std::vector<double> readLater(const std::vector<double>& est, double shift) {
  const uint64_t n = est.size() / 4;
  std::vector<double> out(est.size());
  for (uint64_t i = 0; i < n; ++i) {
    const double at = std::clamp(static_cast<double>(i) + shift, 0.0, static_cast<double>(n - 1));
    const uint64_t k = std::min<uint64_t>(static_cast<uint64_t>(at), n - 1), k1 = std::min(k + 1, n - 1);
    const double f = at - static_cast<double>(k);
    const double sign = est[k] * est[k1] + est[n + k] * est[n + k1] + est[2 * n + k] * est[2 * n + k1] +
                                est[3 * n + k] * est[3 * n + k1] < 0 ? -1.0 : 1.0;
    double q[4], norm = 0;
    for (uint64_t c = 0; c < 4; ++c) q[c] = (1 - f) * est[c * n + k] + f * sign * est[c * n + k1], norm += q[c] * q[c];
    for (uint64_t c = 0; c < 4; ++c) out[c * n + i] = q[c] / std::sqrt(norm);
  }
  return out;
}

bool unitRows(const std::vector<double>& est) {
  const uint64_t n = est.size() / 4;
  for (uint64_t i = 0; i < n; ++i) {
    const double s = est[i] * est[i] + est[n + i] * est[n + i] + est[2 * n + i] * est[2 * n + i] + est[3 * n + i] * est[3 * n + i];
    if (!(std::fabs(s - 1) < 1e-9)) return false;
  }
  return true;
}

std::string seconds(double s) {
  char text[32];
  if (s < 0) return "never";
  std::snprintf(text, sizeof text, "%.2f s", s);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kinovar-eval-orientation <folder with NAME.bin and NAME.truth.csv>\n");
    return 2;
  }
  std::vector<fs::path> trials;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(argv[1], ec))
    if (entry.path().extension() == ".bin") trials.push_back(entry.path());
  if (ec || trials.empty()) {
    std::fprintf(stderr, "%s: no recordings (NAME.bin beside NAME.truth.csv) found%s%s\n", argv[1], ec ? ": " : "",
                 ec ? ec.message().c_str() : "");
    return 1;
  }
  std::sort(trials.begin(), trials.end());

  std::printf("| trial | classic RMSE | accurate RMSE | classic from 20 s in | accurate from 20 s in | within 0.5° of uncut | accurate ns/sample |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
  std::string alignedRows, headingRows;
  double sumClassic = 0, sumAccurate = 0, worstClassic = 0, worstAccurate = 0, worstStart = 0, worstSettled = 0;
  bool allUnit = true, allConverged = true, allSettled = true;
  int startsMet = 0;
  for (const fs::path& bin : trials) {
    fs::path truthPath = bin;
    truthPath.replace_extension(".truth.csv");
    Truth truth;
    Recording r;
    if (!readTruth(truthPath, truth) || !parseRecordingFile(r.settings, r.streams, bin.string().c_str()) ||
        !findStream(r.streams, kAccelKey) || !findStream(r.streams, kGyroKey)) {
      std::fprintf(stderr, "%s: cannot read the recording or its truth file\n", bin.string().c_str());
      return 1;
    }
    double ns = 0;
    const std::vector<double> c = classic(r.settings, r.streams), a = accurate(r.settings, r.streams, &ns);
    const double ec = rmse(c, truth), ea = rmse(a, truth);
    allUnit = allUnit && unitRows(a);

    const uint64_t first = std::find(truth.valid.begin(), truth.valid.end(), 1) - truth.valid.begin();
    const uint64_t from = std::min<uint64_t>(truth.valid.size() - 1, first + static_cast<uint64_t>(20.0 * r.settings.accel.frequency));
    const StreamMap later = cut(r.streams, from);
    const std::vector<double> cl = classic(r.settings, later), al = accurate(r.settings, later);
    const auto againstTruth = [&](const std::vector<double>& est) {
      return [&, n = est.size() / 4](uint64_t j) { return error(est, n, j - from, truth, j); };
    };
    const double sc = convergence(truth, from, 2.0, againstTruth(cl));
    const double sa = convergence(truth, from, 2.0, againstTruth(al));
    // The same, but against the estimate of the whole recording: how long the
    // cut start takes to settle, apart from the error both share.
    const double ss = convergence(truth, from, 0.5, [&](uint64_t j) { return apart(al, j - from, a, j); });
    allUnit = allUnit && unitRows(al);
    allConverged = allConverged && sa >= 0;
    worstStart = std::max(worstStart, sa);
    allSettled = allSettled && ss >= 0;
    worstSettled = std::max(worstSettled, ss);
    startsMet += ss >= 0 && ss <= 2.0;

    std::printf("| %s | %.2f° | %.2f° | %s | %s | %s | %.0f |\n", bin.stem().string().c_str(), ec, ea, seconds(sc).c_str(),
                seconds(sa).c_str(), seconds(ss).c_str(), ns);

    const double period = 1.0 / r.settings.gyro.frequency;
    const double delay = gyroDelay(truth, r.streams.at(kGyroKey), period);
    const std::vector<double> aligned = readLater(a, delay), alignedCut = readLater(al, delay);
    char line[256];
    std::snprintf(line, sizeof line, "| %s | %.2f (%.1f ms) | %.2f° | %s |\n", bin.stem().string().c_str(), delay,
                  delay * period * 1e3, rmse(aligned, truth), seconds(convergence(truth, from, 2.0, againstTruth(alignedCut))).c_str());
    alignedRows += line;
    std::snprintf(line, sizeof line, "| %s | %.1f | %.1f |\n", bin.stem().string().c_str(), headingDrift(c, truth),
                  headingDrift(a, truth));
    headingRows += line;
    sumClassic += ec, sumAccurate += ea;
    worstClassic = std::max(worstClassic, ec), worstAccurate = std::max(worstAccurate, ea);
  }
  const double count = static_cast<double>(trials.size());
  std::printf("| mean | %.2f° | %.2f° | | | | |\n", sumClassic / count, sumAccurate / count);
  std::printf("| worst | %.2f° | %.2f° | | %s | %s | |\n", worstClassic, worstAccurate,
              allConverged ? seconds(worstStart).c_str() : "never", allSettled ? seconds(worstSettled).c_str() : "never");
  std::printf("\nstart in motion, within 0.5° of the uncut estimate by 2 s: %d of %zu trials\n", startsMet, trials.size());
  std::printf("\nevery accurate row a unit quaternion: %s\n", allUnit ? "yes" : "NO");
  std::printf("\nHeading drift against the truth, degrees a minute:\n\n| trial | classic | accurate |\n|---|---:|---:|\n%s",
              headingRows.c_str());
  std::printf("\nThe sensor against the truth's clock: the gyroscope's delay in samples (best match to the truth's\n"
              "rates), and the accurate estimate read that much later:\n\n");
  std::printf("| trial | gyroscope behind truth | accurate RMSE | accurate from 20 s in |\n|---|---:|---:|---:|\n%s",
              alignedRows.c_str());
  return 0;
}
