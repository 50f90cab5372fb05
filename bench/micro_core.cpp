// Micro-benchmarks of the hot pieces.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>

#include "export/fixed.h"
#include "gen/generator.h"
#include "reader/parser.h"

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

}  // namespace
