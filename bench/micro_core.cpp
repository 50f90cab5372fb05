// Micro-benchmarks of the hot pieces.
#include <benchmark/benchmark.h>

#include <cmath>
#include <filesystem>
#include <random>

#include "export/fixed.h"
#include "gen/generator.h"
#include "orientation/accurate.h"
#include "orientation/filter.h"
#include "ops/recording_file.h"
#include "sync/window.h"

namespace {

void BM_FixedFormat(benchmark::State& state) {
  std::mt19937_64 random(1);
  std::uniform_real_distribution<double> values(-2000.0, 2000.0);
  std::vector<double> input(4096);
  for (double& v : input) v = values(random);
  char out[kinovar::kMaxFixedLength];
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(kinovar::writeFixed(out, input[i++ & 4095], 5));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FixedFormat);

void BM_FrameScan(benchmark::State& state) {
  kinovar::gen::RecordingRecipe recipe;
  recipe.clock = 1000, recipe.accelHz = 1000, recipe.gyroHz = 1000, recipe.baroHz = 25, recipe.seconds = 60;
  const auto path = (std::filesystem::temp_directory_path() / "kinovar-bench-scan.bin").string();
  kinovar::gen::writeRecording(path, recipe);
  uint64_t frames = 0;
  for (auto _ : state) {
    kinovar::DeviceSettings settings;
    kinovar::StreamMap streams;
    kinovar::parseRecordingFile(settings, streams, path.c_str());
    frames += streams[kinovar::kAccelKey].count + streams[kinovar::kGyroKey].count + streams[kinovar::kBaroKey].count;
  }
  state.SetItemsProcessed(static_cast<int64_t>(frames));
  std::filesystem::remove(path);
}
BENCHMARK(BM_FrameScan)->Unit(benchmark::kMillisecond);

void BM_FilterStep(benchmark::State& state) {
  std::mt19937 random(2);
  std::normal_distribution<float> noise(0.0f, 0.01f);
  std::vector<float> samples(6 * 4096);
  for (size_t i = 0; i < samples.size(); i += 6) {
    samples[i] = noise(random), samples[i + 1] = noise(random), samples[i + 2] = 1.0f + noise(random);
    samples[i + 3] = 5.0f + noise(random), samples[i + 4] = noise(random), samples[i + 5] = noise(random);
  }
  // Slow enough to pass as still, so the filter aligns at once and then runs
  // its full cycle on every step.
  kinovar::OrientationFilter filter;
  kinovar::orientationFilterInit(&filter, 1000);
  size_t i = 0;
  float q[4];
  for (auto _ : state) {
    const float* s = &samples[6 * (i++ & 4095)];
    kinovar::orientationFilterPush(&filter, s, s + 3);
    benchmark::DoNotOptimize(kinovar::orientationFilterStep(&filter, q));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FilterStep);

// The accurate estimate of ten minutes at 1000 Hz, per sample: a one-minute
// first pass, then backward and forward over every sample (ten minutes are
// fewer chunks than the backward pass keeps verticals for, so it runs once).
void BM_AccurateEstimate(benchmark::State& state) {
  const uint64_t n = 600000;
  std::mt19937 random(3);
  std::normal_distribution<double> noise(0.0, 0.01);
  std::vector<double> accel(3 * n), gyro(3 * n), out(4 * n);
  for (uint64_t i = 0; i < n; ++i) {
    const double t = 0.001 * static_cast<double>(i);
    accel[i] = 0.3 * std::sin(t) + noise(random), accel[n + i] = noise(random), accel[2 * n + i] = 0.95 + noise(random);
    gyro[i] = 20 * std::cos(t) + noise(random), gyro[n + i] = 5 + noise(random), gyro[2 * n + i] = noise(random);
  }
  for (auto _ : state) {
    kinovar::estimateAccurate(accel.data(), n, gyro.data(), n, n, 1000, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}
BENCHMARK(BM_AccurateEstimate)->Unit(benchmark::kMillisecond);

// Two hour-long 1000 Hz streams half a second apart: the nearest-sample
// search walks every sample of both.
void BM_WindowCut(benchmark::State& state) {
  const uint64_t n = 3600000;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<kinovar::StreamMap> out(2);
    std::vector<std::vector<kinovar::WorkingStream>> working(2);
    for (size_t r = 0; r < 2; ++r) {
      kinovar::SampleStream stream(3, n);
      for (uint64_t k = 0; k < n; ++k) stream.times[k] = 0.5 * static_cast<double>(r) + 0.001 * static_cast<double>(k);
      working[r].push_back({kinovar::kAccelKey, &out[r].emplace(kinovar::kAccelKey, std::move(stream)).first->second, 1000});
    }
    state.ResumeTiming();
    const kinovar::WindowPlan plan = kinovar::planCommonWindow(working);
    for (size_t r = 0; r < 2; ++r) kinovar::applyCommonWindow(plan, r, out[r]);
    benchmark::DoNotOptimize(out[0].at(kinovar::kAccelKey).count);
  }
  state.SetItemsProcessed(static_cast<int64_t>(2 * n * state.iterations()));
}
BENCHMARK(BM_WindowCut)->Unit(benchmark::kMillisecond);

}  // namespace
