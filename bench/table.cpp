// End-to-end benchmark tables: read and readAndSync2 against the I/O floor and
// against the printf baseline export (test/reference), stage by stage, with peak memory.
//   kinovar-bench-table <work folder> [runs]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "ops/operations.h"
#include "export/csv.h"
#include "gen/generator.h"
#include "orientation/orientation.h"
#include "ops/recording_file.h"
#include "reader/quality.h"
#include "reference/csv_writer.h"
#include "sync/sync.h"

namespace fs = std::filesystem;
using namespace kinovar;

namespace {

int runs = 3;

// Every run starts with no dirty pages waiting to be written back, so that
// one run does not pay for the writes of the one before.
double seconds(const std::function<void()>& work, const std::function<void()>& setup = {}) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    if (setup) setup();
    ::sync();
    const auto start = std::chrono::steady_clock::now();
    work();
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// The set's files aligned by each clock's model against one offset each:
// what placing every sample by its clock costs (at most 1.10), in wall time
// and in processor time (what a busy machine changes least), medians of the
// runs taken in turn.
void clockTable(const std::vector<std::string>& set, const fs::path& scratch) {
  const fs::path out = scratch / "clock";
  fs::create_directories(out);
  std::vector<double> wall[2], processor[2];
  for (int run = 0; run < runs; ++run)
    for (const SetClock clock : {SetClock::Offset, SetClock::Drift}) {
      ConversionOptions options;
      options.clock = clock;
      ::sync();
      const std::clock_t cpu = std::clock();
      const auto start = std::chrono::steady_clock::now();
      readAndSyncSet(set, out.string(), true, options);
      wall[clock == SetClock::Drift].push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      processor[clock == SetClock::Drift].push_back(static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC);
    }
  const auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  const double w[2] = {median(wall[0]), median(wall[1])}, p[2] = {median(processor[0]), median(processor[1])};
  std::printf("W4 aligned by offset %.3f s (processor %.3f s), by drift %.3f s (%.3f s): drift / offset %.3f (processor %.3f)\n",
              w[0], p[0], w[1], p[1], w[1] / w[0], p[1] / p[0]);
}

gen::RecordingRecipe workloadRecipe(double secondsLong, uint32_t seed) {
  gen::RecordingRecipe recipe;
  recipe.clock = 1000, recipe.accelHz = 1000, recipe.gyroHz = 1000, recipe.baroHz = 25;
  recipe.eventHz = 1;
  recipe.eventPeriod = 12.0;  // a few hundred events an hour
  recipe.seconds = secondsLong;
  recipe.seed = seed;
  recipe.motion.stillSeconds = 5;
  recipe.motion.rateDps = 30;
  recipe.motion.noise = 8;
  return recipe;
}

std::string ensure(const fs::path& path, const gen::RecordingRecipe& recipe) {
  if (!fs::exists(path)) {
    std::printf("generating %s ...\n", path.string().c_str());
    if (!gen::writeRecording(path.string(), recipe)) std::exit(1);
  }
  return path.string();
}

uint64_t fileSize(const std::string& path) { return fs::file_size(path); }

// Reading the recording's bytes plus writing as many bytes as its CSV has.
double floorSeconds(const std::string& recording, uint64_t csvBytes, const fs::path& scratch) {
  std::vector<char> in(fileSize(recording)), out(csvBytes, 'x');
  return seconds([&] {
    std::FILE* f = std::fopen(recording.c_str(), "rb");
    if (std::fread(in.data(), 1, in.size(), f) != in.size()) std::exit(1);
    std::fclose(f);
    std::FILE* o = std::fopen((scratch / "floor.out").string().c_str(), "wb");
    if (std::fwrite(out.data(), 1, out.size(), o) != out.size()) std::exit(1);
    std::fclose(o);
  });
}

uint64_t sampleBytes(const StreamMap& streams) {
  uint64_t bytes = 0;
  for (const auto& [key, stream] : streams) bytes += (stream.values.size() + stream.times.size()) * sizeof(double);
  return bytes;
}

// High-water resident memory of this process, from the kernel's own count.
long ownPeakKiB() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (!status) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, status))
    if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
  std::fclose(status);
  return kib;
}

// Runs read (or, given a set, readAndSync2) in a child process of its own,
// which reports its peak.
long peakKiB(const std::string& arguments) {
  const std::string command = "/proc/" + std::to_string(getpid()) + "/exe " + arguments;
  std::FILE* child = popen(command.c_str(), "r");
  if (!child) return -1;
  long kib = -1;
  if (std::fscanf(child, "%ld", &kib) != 1) kib = -1;
  pclose(child);
  return kib;
}

void row(const char* name, double s, uint64_t rows, uint64_t bytes, double floor) {
  std::printf("| %-28s | %9.3f | %9.2f | %8.1f | %6.2f |\n", name, s, rows / s / 1e6, bytes / s / 1e6, s / floor);
}

struct Result {
  double floor = 0, read = 0, parse = 0, orientation = 0, csv = 0;
};

Result readTable(const std::string& title, const std::string& recording, const fs::path& scratch) {
  const std::string csv = (scratch / "out.csv").string();
  Recording parsedOnce;
  parseRecordingFile(parsedOnce.settings, parsedOnce.streams, recording.c_str());
  Recording withQuaternion = parsedOnce;
  estimateOrientation(withQuaternion.settings, withQuaternion.streams);
  exportCsv(csv.c_str(), withQuaternion.settings, withQuaternion.streams);
  const uint64_t csvBytes = fileSize(csv);
  uint64_t rows = 0;
  for (const auto& [key, stream] : withQuaternion.streams) rows = std::max(rows, stream.count);

  Result result;
  result.floor = floorSeconds(recording, csvBytes, scratch);
  const double baseline = seconds([&] { reference::exportCsv(csv.c_str(), withQuaternion.settings, withQuaternion.streams); });
  result.read = seconds([&] { readRecording(recording.c_str(), csv.c_str()); });
  // What the API and the command line run: read with its quality report.
  const double withQuality = seconds([&] {
    QualityReport quality;
    readRecording(recording.c_str(), csv.c_str(), {}, &quality);
  });
  ParseStats stats;
  {
    Recording r;
    parseRecordingFile(r.settings, r.streams, recording.c_str(), &stats);
  }
  const double reportOnly = seconds([&] { qualityReport(parsedOnce.settings, parsedOnce.streams, stats); });
  const double parse = result.parse = seconds([&] {
    Recording r;
    parseRecordingFile(r.settings, r.streams, recording.c_str());
  });
  // The stage alone: each run starts from a fresh copy of the parsed streams, made untimed.
  StreamMap copy;
  const auto freshCopy = [&] { copy = parsedOnce.streams; };
  const double orientation = result.orientation =
      seconds([&] { estimateOrientation(parsedOnce.settings, copy); }, freshCopy);
  ConversionOptions accurateOptions;
  accurateOptions.estimator = Estimator::Accurate;
  const double readAccurate = seconds([&] { readRecording(recording.c_str(), csv.c_str(), accurateOptions); });
  const double accurate = seconds([&] { estimateOrientation(parsedOnce.settings, copy, Estimator::Accurate); }, freshCopy);
  const double csvOnly = result.csv = seconds([&] { exportCsv(csv.c_str(), withQuaternion.settings, withQuaternion.streams); });
  // What read would cost without the orientation stage (and its four columns).
  const double withoutFilter = seconds([&] {
    Recording r;
    parseRecordingFile(r.settings, r.streams, recording.c_str());
    exportCsv(csv.c_str(), r.settings, r.streams);
  });

  std::printf("\n%s: %s, %.1f MB in, %.1f MB CSV, %llu rows\n", title.c_str(), recording.c_str(), fileSize(recording) / 1e6,
              csvBytes / 1e6, static_cast<unsigned long long>(rows));
  std::printf("| %-28s | %9s | %9s | %8s | %6s |\n", "", "seconds", "Mrows/s", "MB/s out", "×floor");
  std::printf("|------------------------------|-----------|-----------|----------|--------|\n");
  row("floor (read in + write out)", result.floor, rows, csvBytes, result.floor);
  row("baseline snprintf export", baseline, rows, csvBytes, result.floor);
  row("read end to end", result.read, rows, csvBytes, result.floor);
  row("  parse", parse, rows, fileSize(recording), result.floor);
  row("  orientation", orientation, rows, csvBytes, result.floor);
  row("  csv", csvOnly, rows, csvBytes, result.floor);
  row("read without orientation", withoutFilter, rows, csvBytes, result.floor);
  row("read, accurate orientation", readAccurate, rows, csvBytes, result.floor);
  row("  orientation, accurate", accurate, rows, csvBytes, result.floor);
  row("read with quality report", withQuality, rows, csvBytes, result.floor);
  row("  quality report alone", reportOnly, rows, csvBytes, result.floor);
  std::printf("read is %.2f× the floor and %.2f× faster than the baseline export alone\n", result.read / result.floor,
              baseline / result.read);
  std::printf("orientation adds %.3f s to read (%.0f%% of it)\n", result.read - withoutFilter,
              100.0 * (result.read - withoutFilter) / result.read);
  std::printf("the quality report adds %.1f%% to read (alone: %.1f%% of read)\n", 100.0 * (withQuality - result.read) / result.read,
              100.0 * reportOnly / result.read);
  std::printf("samples as doubles (quaternion included): %.1f MiB\n", sampleBytes(withQuaternion.streams) / 1048576.0);
  const double samples = static_cast<double>(withQuaternion.streams.at(kQuaternionKey).count);
  std::printf("orientation stage per sample: classic %.0f ns, accurate %.0f ns; "
              "read with the accurate estimator takes %.2f× read\n",
              orientation / samples * 1e9, accurate / samples * 1e9, readAccurate / result.read);
  return result;
}

// What writing the CSV beside its target and moving it into place costs
// (the file forced to the medium first), against the plain open that empties
// the target and writes into it, with and without an old CSV there.
void atomicTable(const std::string& recording, const fs::path& scratch) {
  const std::string csv = (scratch / "atomic.csv").string();
  Recording r;
  parseRecordingFile(r.settings, r.streams, recording.c_str());
  estimateOrientation(r.settings, r.streams);
  const auto inPlace = [&] {
    exportCsv(CsvFile{OutputFile::inPlace(csv.c_str(), OutputFile::Mode::Text), csv}, r.settings, r.streams);
  };
  const auto atomic = [&] { exportCsv(csv.c_str(), r.settings, r.streams); };
  const auto none = [&] { fs::remove(csv); };
  const auto old = [&] {
    if (!fs::exists(csv)) atomic();
  };
  const double inPlaceNew = seconds(inPlace, none), inPlaceOld = seconds(inPlace, old);
  const double atomicNew = seconds(atomic, none), atomicOld = seconds(atomic, old);
  const double readNew = seconds([&] { readRecording(recording.c_str(), csv.c_str()); }, none);
  const double readOld = seconds([&] { readRecording(recording.c_str(), csv.c_str()); }, old);
  std::printf("\nAtomic output, W1 one hour (%.1f MB CSV): beside the target, synced, renamed into place (s)\n",
              fileSize(csv) / 1e6);
  std::printf("| %-34s | %9s | %9s |\n", "", "no CSV", "old CSV");
  std::printf("|------------------------------------|-----------|-----------|\n");
  std::printf("| %-34s | %9.3f | %9.3f |\n", "csv stage, in place (plain open)", inPlaceNew, inPlaceOld);
  std::printf("| %-34s | %9.3f | %9.3f |\n", "csv stage, atomic", atomicNew, atomicOld);
  std::printf("| %-34s | %9.3f | %9.3f |\n", "read end to end, atomic", readNew, readOld);
  std::printf("atomic over in place: %.2f× with no CSV there, %.2f× replacing one\n", atomicNew / inPlaceNew,
              atomicOld / inPlaceOld);
}

// W4: four one-hour recordings made together.
std::vector<std::string> w4Set(const fs::path& work) {
  std::vector<std::string> w4;
  for (uint32_t i = 0; i < 4; ++i) {
    gen::RecordingRecipe recipe = workloadRecipe(3600, 10 + i);
    // Time marks: every sensor saw the same reference seconds at different
    // ticks, its clock 25 ppm apart from the one before (a tick in 40 s).
    recipe.timeMarks = gen::TimeMarksRecipe{10, 0, 1000 * (i + 1), 50, 0, 1000 * (i + 1) + 40000 + i};
    w4.push_back(ensure(work / ("w4-" + std::to_string(i) + ".bin"), recipe));
  }
  return w4;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--read") {  // child for the peak memory figure
    readRecording(argv[2], argv[3]);
    std::printf("%ld\n", ownPeakKiB());
    return 0;
  }
  if (argc > 3 && std::string(argv[1]) == "--sync") {
    readAndSyncSet(std::vector<std::string>(argv + 3, argv + argc), argv[2], false);
    std::printf("%ld\n", ownPeakKiB());
    return 0;
  }
  // --atomic: only the atomic output table; --clock: only W4 by drift against by offset.
  const bool atomicOnly = argc > 1 && std::string(argv[1]) == "--atomic";
  const bool clockOnly = argc > 1 && std::string(argv[1]) == "--clock";
  if (atomicOnly || clockOnly) --argc, ++argv;
  if (argc < 2) {
    std::fprintf(stderr, "usage: kinovar-bench-table [--atomic | --clock] <work folder> [runs]\n");
    return 2;
  }
  const fs::path work = argv[1];
  if (argc > 2) runs = std::max(1, std::atoi(argv[2]));
  fs::create_directories(work);
  const fs::path scratch = work / "scratch";
  fs::create_directories(scratch);

  if (clockOnly) {
    clockTable(w4Set(work), scratch);
    return 0;
  }
  const std::string w1 = ensure(work / "w1.bin", workloadRecipe(3600, 1));
  if (atomicOnly) {
    atomicTable(w1, scratch);
    return 0;
  }
  const std::string w1q = ensure(work / "w1-15min.bin", workloadRecipe(900, 1));
  const std::vector<std::string> w4 = w4Set(work);

  const Result full = readTable("W1, one hour", w1, scratch);
  const Result quarter = readTable("W1, 15 minutes", w1q, scratch);
  std::printf("\none hour over 15 minutes (linear: 4.00): read %.2f, parse %.2f, orientation %.2f, csv %.2f; floor %.2f\n",
              full.read / quarter.read, full.parse / quarter.parse, full.orientation / quarter.orientation,
              full.csv / quarter.csv, full.floor / quarter.floor);

  atomicTable(w1, scratch);

  Recording r;
  parseRecordingFile(r.settings, r.streams, w1.c_str());
  estimateOrientation(r.settings, r.streams);
  const double doublesMiB = sampleBytes(r.streams) / 1048576.0;
  const long peak = peakKiB("--read '" + w1 + "' '" + (scratch / "peak.csv").string() + "'");
  std::printf("peak resident memory of read on W1: %.1f MiB; limit 1.3 × %.1f + 64 = %.1f MiB\n", peak / 1024.0, doublesMiB,
              1.3 * doublesMiB + 64);

  const fs::path syncOut = scratch / "sync";
  fs::create_directories(syncOut);
  std::string status;
  const double sync = seconds([&] { status = readAndSyncSet(w4, syncOut.string(), false).failure == SetFailure::None ? "OK" : "refused"; });
  std::printf("\nW4, four one-hour recordings: readAndSync2 %.3f s (status %s) = %.2f × four W1 floors\n", sync,
              status.c_str(), sync / (4 * full.floor));
  std::string arguments = "--sync '" + syncOut.string() + "'";
  for (const std::string& path : w4) arguments += " '" + path + "'";
  std::printf("peak resident memory of readAndSync2 on W4: %.1f MiB (samples as doubles: 4 × %.1f MiB)\n",
              peakKiB(arguments) / 1024.0, doublesMiB);
  clockTable(w4, scratch);
  return 0;
}
