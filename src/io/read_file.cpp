#include "io/read_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "io/memory.h"
#include "io/paths.h"

#include <sys/stat.h>
#include <sys/types.h>

namespace kinovar {

bool readFile(const char* utf8Path, std::vector<uint8_t>& bytes, int* systemError, size_t limit, uint64_t offset) {
  bytes.clear();
  errno = 0;
  FilePtr file = openFile(utf8Path, OpenMode::ReadBinary);
  if (!file) {
    if (systemError) *systemError = errno;
    return false;
  }
  // The size only sizes the buffer; a folder or a device reads as it reads.
  size_t size = 0;
#ifdef _WIN32
  struct _stat64 info;
  if (_fstat64(_fileno(file.get()), &info) == 0 && (info.st_mode & _S_IFREG)) size = static_cast<size_t>(info.st_size);
#else
  struct stat info;
  if (fstat(fileno(file.get()), &info) == 0 && S_ISREG(info.st_mode)) size = static_cast<size_t>(info.st_size);
#endif
  if (offset > 0) {
#ifdef _WIN32
    const int moved = _fseeki64(file.get(), static_cast<int64_t>(offset), SEEK_SET);
#else
    const int moved = fseeko(file.get(), static_cast<off_t>(offset), SEEK_SET);
#endif
    if (moved != 0) {
      if (systemError) *systemError = errno;
      return false;
    }
    size = size > offset ? size - static_cast<size_t>(offset) : 0;
  }
  // One byte more than the size, so that a file that grew is still read to its end.
  resizeLarge(bytes, std::min(limit, size + 1));
  size_t used = 0;
  for (size_t got; used < bytes.size() && (got = std::fread(bytes.data() + used, 1, bytes.size() - used, file.get())) > 0;) {
    used += got;
    if (used == bytes.size() && used < limit) bytes.resize(std::min(limit, bytes.size() * 2));
  }
  bytes.resize(used);
  if (std::ferror(file.get())) {  // a folder opens, then fails to read with EISDIR
    if (systemError) *systemError = errno;
    return false;
  }
  return true;
}

}  // namespace kinovar
