// Writes the seed corpora of every fuzz target from generated recordings:
// make_seeds OUTPUT_FOLDER gives OUTPUT_FOLDER/<target>/<seed>.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "export/csv.h"
#include "gen/generator.h"
#include "orientation/orientation.h"
#include "reader/parser.h"
#include "settings/base64.h"

using namespace kinovar;
using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

namespace {

fs::path root;

void put(const std::string& target, const std::string& name, const Bytes& bytes) {
  fs::create_directories(root / target);
  std::ofstream out(root / target / name, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void put(const std::string& target, const std::string& name, const std::string& text) {
  put(target, name, Bytes(text.begin(), text.end()));
}

// Short recordings keep every execution fast; the variety is in the layout.
std::vector<std::pair<std::string, gen::RecordingRecipe>> recordings() {
  std::vector<std::pair<std::string, gen::RecordingRecipe>> out;
  gen::RecordingRecipe base;
  base.seconds = 0.4;
  base.clock = 100;
  base.motion.stillSeconds = 0.2;
  out.emplace_back("plain", base);

  gen::RecordingRecipe s = base;
  s.eventHz = 5;
  s.tricky.swapBlocks = s.tricky.duplicateTicks = s.tricky.unknownKinds = true;
  s.tricky.shortFinalBlock = 100;
  out.emplace_back("tricky", s);

  s = base;
  s.clock = 1024;
  s.accelHz = 64;
  s.gyroHz = 32;
  s.baroHz = 0;
  s.startTick = 0xFFFFFFF0u;
  s.motion.noise = 20;
  out.emplace_back("wrap", s);

  s = base;
  s.radioMode = 0;
  s.radio = gen::RadioSettings{1, 1000, 1500, 3};
  s.radioTime = gen::RadioTimeRecipe{};
  s.timeMarks = gen::TimeMarksRecipe{12, 500, 100, 13, 500, 200};
  s.extraRecords = {gen::settingsRecord(3, 5, {1, 2, 3}), gen::settingsRecord(4, 0, {}),
                    gen::settingsRecord(3, 7, {0x18, 0, 0, 0, 10, 0, 0, 0}), gen::settingsRecord(1, 2, {0, 0, 0, 123})};
  out.emplace_back("radio", s);
  return out;
}

void parserAndSettingsSeeds() {
  for (const auto& [name, recipe] : recordings()) {
    const Bytes bytes = gen::buildRecording(recipe);
    put("parser", name, bytes);
    put("settings_block", name, Bytes(bytes.begin(), bytes.begin() + 512));
  }
  put("parser", "empty", Bytes{});
  put("settings_block", "short", gen::settingsRecord(3, 21, {0, 7}));
}

// Classic CSV exports of the recordings as the viewer is handed them: whole,
// with Windows line ends, and cut or damaged the ways files are.
void classicCsvSeeds() {
  fs::create_directories(root / "classic_csv");
  std::string whole;
  for (const auto& [name, recipe] : recordings()) {
    const Bytes bytes = gen::buildRecording(recipe);
    Recording r;
    parseRecording(r.settings, r.streams, bytes);
    estimateOrientation(r.settings, r.streams);
    const std::string path = (root / "classic_csv" / name).string();
    if (!exportCsv(path.c_str(), r.settings, r.streams)) std::fprintf(stderr, "cannot write %s\n", path.c_str());
    if (name != "plain") continue;
    std::ifstream in(path, std::ios::binary);
    whole.assign(std::istreambuf_iterator<char>(in), {});
  }
  std::string crlf;
  for (char c : whole) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  put("classic_csv", "crlf", crlf);
  const size_t firstRow = whole.find('\n', whole.find("\n[s],") + 1) + 1;
  put("classic_csv", "cut-header", whole.substr(0, whole.find('\n', 40)));
  put("classic_csv", "headers-only", whole.substr(0, firstRow));
  put("classic_csv", "cut-row", whole.substr(0, firstRow + (whole.size() - firstRow) / 2));
  std::string edited = whole;
  edited[whole.find(',', firstRow) + 1] = 'x';
  put("classic_csv", "bad-cell", edited);
  put("classic_csv", "not-ours", std::string("time,x\n0.1,2\n"));
}

void syncSeeds() {
  gen::RecordingRecipe a = recordings()[0].second;
  a.seconds = 0.3;
  a.baroHz = 0;
  auto pair = [](const std::string& name, const gen::RecordingRecipe& x, const gen::RecordingRecipe& y) {
    const Bytes first = gen::buildRecording(x), second = gen::buildRecording(y);
    Bytes input = {static_cast<uint8_t>(first.size() >> 8), static_cast<uint8_t>(first.size())};
    input.insert(input.end(), first.begin(), first.end());
    input.insert(input.end(), second.begin(), second.end());
    put("sync", name, input);
  };
  gen::RecordingRecipe b = a;
  a.timeMarks = gen::TimeMarksRecipe{12, 500, 100, 13, 500, 200};
  b.timeMarks = gen::TimeMarksRecipe{12, 0, 40, 13, 0, 140};
  b.seed = 2;
  pair("marks", a, b);

  a.timeMarks.reset();
  b.timeMarks.reset();
  a.radioMode = 0;
  b.radioMode = 1;
  b.radio = gen::RadioSettings{1, 1000, 1500, 0};
  a.radioTime = gen::RadioTimeRecipe{0x17, 10, 2, 0, 0};
  pair("radio-settings", a, b);

  a.radioMode.reset();
  a.radioTime = gen::RadioTimeRecipe{0x17, 10, 0, 5, 0};
  b.radioTime = gen::RadioTimeRecipe{0x17, 10, 1, 5, 250};
  b.startTick = 40;
  pair("radio-stream", a, b);
}

void textSeeds() {
  const Bytes unknown = gen::settingsRecord(3, 5, {1, 2, 3});
  const std::string b64 = encodeBase64(unknown);
  put("write_config", "full",
      "unknownFrames," + b64 + ":gyro,100,2000,0,0,0,10000,10000,10000:accel,100,16,-5,3,0,9990,10010,10000"
      ":baro,25:device,1234,3,7:firmware,1,2,3:radio,1,5");
  put("write_config", "device", std::string("device,305419896,3,7"));
  put("write_config", "empty", std::string());
  put("write_config", "odd", std::string("radio, +1 ,2x::baro,300:"));
  put("base64", "record", b64);
  put("base64", "padded", std::string("QQ=="));
  put("base64", "all", encodeBase64(gen::buildRecording(recordings()[3].second)).substr(0, 700));
  put("utf8", "ascii", std::string("/data/session 1/rec01.BIN"));
  put("utf8", "mixed", std::string("/tmp/s\xC3\xA9" "ance \xE4\xB8\xAD \xF0\x9F\x98\x80/capteur.tar.gz"));
  put("utf8", "cut", std::string("a\xE2\x82"));
  put("utf8", "long-forms", std::string("\xF8\x88\x80\x80\x80\xFC\x84\x80\x80\x80\x80\xC0\x80\xED\xA0\x80"));
  put("utf8", "windows", std::string("C:\\Users\\\xC3\xA9l\xC3\xA8ve\\rec01.BIN"));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds OUTPUT_FOLDER\n");
    return 2;
  }
  root = argv[1];
  parserAndSettingsSeeds();
  classicCsvSeeds();
  syncSeeds();
  textSeeds();
  return 0;
}
