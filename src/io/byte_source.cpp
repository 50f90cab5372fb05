#include "io/byte_source.h"

#include <cerrno>
#include <cstdio>

namespace kinovar {

namespace {

class FileReader : public ByteReader {
 public:
  explicit FileReader(FilePtr file) : file_(std::move(file)) {}
  size_t read(uint8_t* out, size_t n) override {
    const size_t got = std::fread(out, 1, n, file_.get());
    if (got < n && std::ferror(file_.get()) && !failed_) failed_ = true, error_ = errno;
    return got;
  }
  bool failed() const override { return failed_; }
  int error() const override { return error_; }

 private:
  FilePtr file_;
  bool failed_ = false;
  int error_ = 0;
};

class FileSource : public ByteSource {
 public:
  explicit FileSource(std::string path) : path_(std::move(path)) {}
  std::unique_ptr<ByteReader> open(uint64_t offset, int& error) const override {
    errno = 0;
    FilePtr file = openFile(path_.c_str(), OpenMode::ReadBinary);
    if (file && offset) {
#ifdef _WIN32
      if (_fseeki64(file.get(), static_cast<int64_t>(offset), SEEK_SET) != 0) file.reset();
#else
      if (fseeko(file.get(), static_cast<off_t>(offset), SEEK_SET) != 0) file.reset();
#endif
    }
    if (!file) {
      error = errno;
      return nullptr;
    }
    return std::make_unique<FileReader>(std::move(file));
  }

 private:
  std::string path_;
};

}  // namespace

std::shared_ptr<const ByteSource> fileSource(std::string utf8Path) {
  return std::make_shared<FileSource>(std::move(utf8Path));
}

FilePtr scratchFile() { return FilePtr(std::tmpfile()); }

}  // namespace kinovar
