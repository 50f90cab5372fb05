// Writes a synthetic recording: kinovar-gen --out FILE [options]; see usage().
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

#include "gen/generator.h"
#include "gen/sync_set.h"
#include "io/paths.h"

namespace {

int usage(std::FILE* to = stderr) {
  std::fprintf(to,
               "usage: kinovar-gen --out FILE [--seconds S] [--clock HZ] [--accel HZ] [--gyro HZ]\n"
               "                   [--baro HZ] [--events HZ] [--seed N] [--still S] [--rate DPS]\n"
               "                   [--axis X,Y,Z] [--noise COUNTS] [--start-tick N] [--swap-blocks]\n"
               "                   [--duplicate-ticks] [--unknown-kinds] [--short-final BYTES]\n"
               "                   [--cut-blocks N] [--spike SECONDS] [--flip-bit BIT]\n"
               "                   [--end-date 'YYYY-MM-DD hh:mm:ss'] [--scenario KIND:SECONDS[:NOISE_MG],...]\n"
               "                   [--created 'YYYY-MM-DD hh:mm:ss']\n"
               "                   [--postures HOLD[,TURN[,SPREAD_DEG]]] [--accel-offset X,Y,Z]\n"
               "                   [--accel-scale X,Y,Z] [--accel-temperature X,Y,Z] [--gyro-bias X,Y,Z]\n"
               "                   [--temperature-swing DEG[,PERIOD]] [--idle START,S]... [--clipped START,S]...\n"
               "       kinovar-gen --sync-set DIR --method marks|radio|stream --sensor ZERO,FIRST[,NAME[,PPM]]...\n"
               "                   [--motion-start S] [--channel N] [--radio-hz HZ] [--radio-corrupt FRACTION]\n"
               "                   [--mark-span S] [options above]\n"
               "A rate of 0 leaves that sensor out of the settings; the end date is the\n"
               "creation date plus the length unless given. A sync set writes one\n"
               "DIR/NAME.bin per --sensor (clock zero and first sample in true seconds, the\n"
               "clock's rate error in ppm). A scenario's stretches (active, nonwear, sleep,\n"
               "gap, clipped) follow one another from the first sample.\n");
  return to == stderr ? 2 : 0;
}

int run(int argc, char** argv) {
  kinovar::gen::RecordingRecipe recipe;
  std::string out;
  std::string syncDir;
  kinovar::gen::SyncSetRecipe syncSet;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return usage(stdout);
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "kinovar-gen: %s needs a value\n", arg.c_str());
        std::exit(usage());
      }
      return argv[++i];
    };
    auto rate = [&]() { return static_cast<uint16_t>(std::strtoul(value(), nullptr, 10)); };
    if (arg == "--out") out = value();
    else if (arg == "--seconds") recipe.seconds = std::strtod(value(), nullptr);
    else if (arg == "--clock") recipe.clock = rate();
    else if (arg == "--accel") recipe.accelHz = rate();
    else if (arg == "--gyro") recipe.gyroHz = rate();
    else if (arg == "--baro") recipe.baroHz = rate();
    else if (arg == "--events") {
      // The settings declare a whole rate; a rate that is not whole (0.5: one
      // event every 2 s) is kept as the time between events.
      const double hz = std::strtod(value(), nullptr);
      recipe.eventHz = hz > 0 ? static_cast<uint16_t>(std::max(1.0, std::round(hz))) : 0;
      recipe.eventPeriod = hz > 0 && hz != std::floor(hz) ? 1.0 / hz : 0;
    }
    else if (arg == "--seed") recipe.seed = static_cast<uint32_t>(std::strtoul(value(), nullptr, 10));
    else if (arg == "--still") recipe.motion.stillSeconds = std::strtod(value(), nullptr);
    else if (arg == "--rate") recipe.motion.rateDps = std::strtod(value(), nullptr);
    else if (arg == "--noise") recipe.motion.noise = std::strtod(value(), nullptr);
    else if (arg == "--start-tick") recipe.startTick = static_cast<uint32_t>(std::strtoul(value(), nullptr, 0));
    else if (arg == "--end-date" || arg == "--created") {
      kinovar::DateTimeFields& date = arg == "--created" ? recipe.createdAt : recipe.endDate.emplace();
      if (std::sscanf(value(), "%d-%d-%d %d:%d:%d", &date.year, &date.month, &date.day, &date.hour, &date.minute, &date.second) != 6)
        return usage();
    }
    else if (arg == "--axis") {
      if (std::sscanf(value(), "%lf,%lf,%lf", &recipe.motion.axis[0], &recipe.motion.axis[1], &recipe.motion.axis[2]) != 3) return usage();
    } else if (arg == "--swap-blocks") recipe.tricky.swapBlocks = true;
    else if (arg == "--duplicate-ticks") recipe.tricky.duplicateTicks = true;
    else if (arg == "--unknown-kinds") recipe.tricky.unknownKinds = true;
    else if (arg == "--short-final") recipe.tricky.shortFinalBlock = std::atoi(value());
    else if (arg == "--cut-blocks") recipe.tricky.cutBlocks = std::atoi(value());
    else if (arg == "--spike") recipe.tricky.spikeAt = std::strtod(value(), nullptr);
    else if (arg == "--postures") {
      kinovar::gen::Postures& p = recipe.postures;
      if (std::sscanf(value(), "%lf,%lf,%lf", &p.holdSeconds, &p.turnSeconds, &p.spreadDegrees) < 1) return usage();
    } else if (arg == "--accel-offset" || arg == "--accel-scale" || arg == "--accel-temperature" || arg == "--gyro-bias") {
      // The miscalibration in the terms of the calibration that undoes it: offset and temperature in g, g per degree C.
      kinovar::gen::Miscalibration& m = recipe.miscalibration;
      double* to = arg == "--accel-offset" ? m.offset : arg == "--accel-scale" ? m.scale
                   : arg == "--accel-temperature" ? m.temperature : recipe.motion.gyroBiasDps;
      if (std::sscanf(value(), "%lf,%lf,%lf", &to[0], &to[1], &to[2]) != 3) return usage();
    } else if (arg == "--temperature-swing") {
      kinovar::gen::TemperatureSwing& t = recipe.temperatureSwing;
      if (std::sscanf(value(), "%lf,%lf", &t.amplitude, &t.periodSeconds) < 1) return usage();
    } else if (arg == "--idle" || arg == "--clipped") {
      std::pair<double, double> stretch;
      if (std::sscanf(value(), "%lf,%lf", &stretch.first, &stretch.second) != 2) return usage();
      (arg == "--idle" ? recipe.idle : recipe.clippedBursts).push_back(stretch);
    }
    else if (arg == "--scenario") {
      if (!kinovar::gen::parseScenario(value(), recipe.scenario)) return usage();
    }
    else if (arg == "--flip-bit") recipe.tricky.flipBit = std::atoi(value());
    else if (arg == "--sync-set") syncDir = value();
    else if (arg == "--motion-start") syncSet.motionStart = std::strtod(value(), nullptr);
    else if (arg == "--channel") syncSet.radioChannel = static_cast<uint8_t>(std::strtoul(value(), nullptr, 10));
    else if (arg == "--radio-hz") syncSet.radioHz = rate();
    else if (arg == "--radio-corrupt") syncSet.radioCorrupt = std::strtod(value(), nullptr);
    else if (arg == "--mark-span") syncSet.markSpan = std::strtod(value(), nullptr);
    else if (arg == "--method") {
      const std::string method = value();
      if (method == "marks") syncSet.method = kinovar::gen::SyncMethod::TimeMarks;
      else if (method == "radio") syncSet.method = kinovar::gen::SyncMethod::RadioSettings;
      else if (method == "stream") syncSet.method = kinovar::gen::SyncMethod::RadioStream;
      else return usage();
    } else if (arg == "--sensor") {
      kinovar::gen::SyncSensor sensor;
      char name[256] = "";
      if (std::sscanf(value(), "%lf,%lf,%255[^,],%lf", &sensor.clockZero, &sensor.firstSample, name, &sensor.ppm) < 2)
        return usage();
      sensor.name = name;
      syncSet.sensors.push_back(sensor);
    }
    else {
      std::fprintf(stderr, "kinovar-gen: unknown option %s\n", arg.c_str());
      return usage();
    }
  }
  if (!syncDir.empty()) {
    syncSet.base = recipe;
    // Made when missing, as the command line's output folders are.
#ifdef _WIN32
    const std::filesystem::path folder(kinovar::utf8ToWide(syncDir.c_str()));
#else
    const std::filesystem::path folder(syncDir);
#endif
    std::error_code made;
    std::filesystem::create_directories(folder, made);
    errno = 0;
    if (made || !kinovar::gen::writeSyncSet(syncDir, syncSet)) {
      const int why = made ? made.value() : errno;
      std::fprintf(stderr, "kinovar-gen: cannot write the set into %s: %s; give a folder you may write in\n",
                   syncDir.c_str(), why ? std::strerror(why) : "a file of the set could not be written");
      return 1;
    }
    return 0;
  }
  if (out.empty()) return usage();
  if (!kinovar::gen::writeRecording(out, recipe)) {
    std::fprintf(stderr, "kinovar-gen: cannot write %s\n", out.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

#ifdef _WIN32
// The narrow argv of Windows is in the ANSI code page, which cannot name
// every folder; the wide one is, and goes on as UTF-8 like everywhere else.
int wmain(int argc, wchar_t** wide) {
  std::vector<std::string> args(static_cast<size_t>(argc));
  std::vector<char*> argv;
  for (int i = 0; i < argc; ++i) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    args[i].resize(size > 0 ? static_cast<size_t>(size) : 1);
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, args[i].data(), size, nullptr, nullptr);
    args[i].pop_back();  // the NUL the call wrote
    argv.push_back(args[i].data());
  }
  argv.push_back(nullptr);
  return run(argc, argv.data());
}
#else
int main(int argc, char** argv) { return run(argc, argv); }
#endif
