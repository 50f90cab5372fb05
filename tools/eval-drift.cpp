// Drift alignment of long generated sets against the clocks the generator
// gave them (npm run eval:drift): 1 h and 24 h, 1000 and 1024 Hz clocks,
// time marks and radio stream, clocks -100 to +100 ppm apart that wrap their
// 32-bit counters, 1 % of the radio pairs noise.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "gen/drift_check.h"

namespace fs = std::filesystem;
using namespace kinovar;

int main(int argc, char** argv) {
  const fs::path scratch = fs::temp_directory_path() / "kinovar-eval-drift";
  const double hours[] = {1.0, 24.0};
  int failed = 0;
  std::printf("%-6s %-5s %-6s %9s %10s %10s %9s %7s %10s %8s %6s\n", "length", "clock", "method", "rows", "worst ms",
              "half ms", "ppm err", "events", "event tk", "slipped", "secs");
  for (const double h : hours) {
    if (argc > 1 && std::stod(argv[1]) < h) continue;  // a shorter run: eval-drift 1
    for (const int clock : {1000, 1024}) {
      for (const gen::SyncMethod method : {gen::SyncMethod::TimeMarks, gen::SyncMethod::RadioStream}) {
        fs::remove_all(scratch);
        fs::create_directories(scratch);
        gen::SyncSetRecipe recipe;
        recipe.method = method;
        recipe.base.clock = static_cast<uint16_t>(clock);
        recipe.base.accelHz = recipe.base.gyroHz = clock == 1000 ? 100 : 128;
        recipe.base.baroHz = 0;
        recipe.base.seconds = h * 3600.0;
        recipe.base.eventPeriod = 61.7;
        recipe.base.eventHz = 1;
        recipe.radioCorrupt = 0.01;
        recipe.markSpan = recipe.base.seconds;  // a mark at the start and one at the end
        // Counters that turn over within the recording: 2^32 ticks are 49.7 days at 1000 Hz.
        const double turn = 4294967296.0 / clock;
        recipe.sensors = {{-turn + 600.0, 1.0, "master", 37.5},
                          {-turn + 1200.0, 0.5, "fast", 100.0},
                          {-turn + 300.0, 3.5, "slow", -100.0}};
        const auto start = std::chrono::steady_clock::now();
        gen::SyncSet set;
        if (!gen::writeSyncSet(scratch.string(), recipe, &set)) {
          std::fprintf(stderr, "could not write the set into %s\n", scratch.string().c_str());
          return 2;
        }
        const gen::DriftCheck check = gen::checkDriftSet(recipe, set);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const bool marks = method == gen::SyncMethod::TimeMarks;
        // Time marks are whole ticks: a tick of slack beyond half a row.
        const bool ok = check.aligned && check.error.empty() &&
                        check.worstRow <= check.halfRow + (marks ? 1.0 / clock : 1e-5) && check.worstPpm < 1.0 &&
                        check.worstEventTicks <= (marks ? 1.5 : 0.5);
        failed += !ok;
        std::printf("%4.0f h  %-5d %-6s %9llu %10.4f %10.4f %9.4f %7llu %10.3f %8llu %6.1f %s%s\n", h, clock,
                    marks ? "marks" : "stream", static_cast<unsigned long long>(check.rows), check.worstRow * 1e3,
                    check.halfRow * 1e3, check.worstPpm, static_cast<unsigned long long>(check.events),
                    check.worstEventTicks, static_cast<unsigned long long>(check.slipped), seconds,
                    ok ? "ok" : "FAILED ", check.error.c_str());
        std::fflush(stdout);
      }
    }
  }
  fs::remove_all(scratch);
  return failed ? 1 : 0;
}
