// Scratch folders and file helpers for tests.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

class TempDir {
 public:
  TempDir() {
    std::random_device seed;
    dir_ = std::filesystem::temp_directory_path() / ("kinovar-test-" + std::to_string(seed()) + std::to_string(seed()));
    std::filesystem::create_directories(dir_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  size_t entries() const {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir_), std::filesystem::directory_iterator()));
  }

 private:
  std::filesystem::path dir_;
};

inline std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::vector<uint8_t> readBytes(const std::string& path) {
  const std::string text = readText(path);
  return std::vector<uint8_t>(text.begin(), text.end());
}

// A text file's content with "\n" line ends: on Windows every line must
// end in "\r\n" (text mode) and the CRs are taken out; a stray one stays.
inline std::string textLines(const std::string& text) {
#ifdef _WIN32
  std::string lines;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) lines += "<bare LF>";
    lines += text[i];
  }
  return lines;
#else
  return text;
#endif
}

inline void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>

// Runs `write` with the file size limited to `bytes`, so that it fails
// part-way as on a full medium (EFBIG instead of the signal).
template <typename Write>
bool withFileSizeLimit(rlim_t bytes, Write&& write) {
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &previous);
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = bytes;
  setrlimit(RLIMIT_FSIZE, &small);
  const bool written = write();
  setrlimit(RLIMIT_FSIZE, &saved);
  sigaction(SIGXFSZ, &previous, nullptr);
  return written;
}
#endif
