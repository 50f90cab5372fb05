#include "csv_writer.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "export/json.h"

namespace kinovar::reference {

namespace {

const SampleStream* taken(const StreamMap& streams, uint32_t key, bool present) {
  if (!present) return nullptr;
  auto it = streams.find(key);
  return it != streams.end() && it->second.count > 0 ? &it->second : nullptr;
}

uint64_t divisorOf(int32_t clock, int32_t rate) {
  if (rate == 0) return 1;
  const long long d = static_cast<long long>(clock) / rate;
  return d < 1 ? 1 : static_cast<uint64_t>(d);
}

void cell(std::FILE* f, double v, int precision) { std::fprintf(f, "%.*f,", precision, v); }

}  // namespace

bool exportCsv(const char* path, const DeviceSettings& s, const StreamMap& streams) {
  std::FILE* f = std::fopen(path, "w");
  if (!f) return false;
  const SampleStream* gyro = taken(streams, kGyroKey, s.gyro.present);
  const SampleStream* accel = taken(streams, kAccelKey, s.accel.present);
  const SampleStream* baro = taken(streams, kBaroKey, s.baro.present);
  const SampleStream* event = taken(streams, kSecondEventKey, s.secondEvent.present);
  if (!event) event = taken(streams, kEventKey, s.event.present);
  const SampleStream* quat = taken(streams, kQuaternionKey, true);
  const uint64_t dg = divisorOf(s.frequency, s.gyro.frequency), da = divisorOf(s.frequency, s.accel.frequency),
                 db = divisorOf(s.frequency, s.baro.frequency);
  uint64_t rows = 0;
  auto fit = [&](const SampleStream* st, uint64_t d) {
    if (st) rows = std::max({rows, st->count, (st->count - 1) * d + 1});
  };
  fit(gyro, dg), fit(accel, da), fit(baro, db), fit(quat, dg);
  if (event) rows = std::max(rows, event->count);

  std::fprintf(f, "Quandrel - Kinovar data export\nCreated on: %s\nTotal data points: %llu\n\n",
               formatDateTime(s.createdAt).c_str(), static_cast<unsigned long long>(rows));
  std::fprintf(f, "Time [%d hz],", s.frequency);
  if (s.gyro.present) std::fprintf(f, "Gyro [%d hz],,,", s.gyro.frequency);
  if (s.accel.present) std::fprintf(f, "Accel [%d hz],,,", s.accel.frequency);
  if (s.baro.present) std::fprintf(f, "Baro [%d hz],,", s.baro.frequency);
  if (s.event.present) std::fprintf(f, "Event [%d hz],", s.frequency);
  if (quat) std::fprintf(f, "Quaternion [%d hz],,,,", s.gyro.frequency);
  std::fputs("\nTime,", f);
  if (s.gyro.present) std::fputs("Gyro X,Gyro Y,Gyro Z,", f);
  if (s.accel.present) std::fputs("Accel X,Accel Y,Accel Z,", f);
  if (s.baro.present) std::fputs("Pressure,Temperature,", f);
  if (event) std::fputs("Event,", f);
  if (quat) std::fputs("Quat W,Quat X,Quat Y,Quat Z,", f);
  std::fputs("\n[s],", f);
  if (s.gyro.present) std::fputs("[deg/s],[deg/s],[deg/s],", f);
  if (s.accel.present) std::fputs("[g],[g],[g],", f);
  if (s.baro.present) std::fputs("[mBar],[degree C],", f);
  if (event) std::fputs("[],", f);
  if (quat) std::fputs("[],[],[],[],", f);
  std::fputs("\n", f);

  uint64_t kg = 0, ka = 0, kb = 0, ke = 0, kq = 0;
  auto group = [&](const SampleStream* st, uint64_t& k, uint64_t d, uint64_t r, const int* precision, uint64_t channels) {
    if (k < st->count && r % d == 0) {
      for (uint64_t c = 0; c < channels; ++c) cell(f, st->values[c * st->count + k], precision[c]);
      ++k;
    } else {
      for (uint64_t c = 0; c < channels; ++c) std::fputc(',', f);
    }
  };
  const int five[] = {5, 5, 5, 5}, pressure[] = {3, 1};
  const double period = 1.0 / s.frequency;
  double t = period;
  for (uint64_t r = 0; r < rows; ++r) {
    cell(f, t, 5);
    if (gyro) group(gyro, kg, dg, r, five, 3);
    if (accel) group(accel, ka, da, r, five, 3);
    if (baro) group(baro, kb, db, r, pressure, 2);
    if (event) {
      if (ke < event->count && t >= event->times[ke]) cell(f, event->values[ke++], 3);
      else std::fputc(',', f);
    }
    if (quat) group(quat, kq, dg, r, five, 4);
    std::fputc('\n', f);
    t += period;
  }
  return std::fclose(f) == 0;
}

}  // namespace kinovar::reference
