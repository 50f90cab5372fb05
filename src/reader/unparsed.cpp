#include "reader/unparsed.h"

#include <cerrno>
#include <cstddef>

#include "io/paths.h"

namespace kinovar {

Unparsed whyUnparsed(const char* utf8Path, int* systemError) {
  errno = 0;
  FilePtr file = openFile(utf8Path, OpenMode::ReadBinary);
  if (!file) {
    if (systemError) *systemError = errno;
    return Unparsed::Missing;
  }
  unsigned char head[512];
  const size_t size = std::fread(head, 1, sizeof head, file.get());
  if (std::ferror(file.get())) {  // a folder opens, then fails to read with EISDIR
    if (systemError) *systemError = errno;
    return Unparsed::Missing;
  }
  // A settings record starts anywhere its 5-byte header still fits the block.
  bool magic = false;
  for (size_t i = 0; i + 1 < size && i <= sizeof head - 5 && !magic; ++i) magic = head[i] == 'Q' && head[i + 1] == '7';
  if (!magic) return Unparsed::NotARecording;
  return Unparsed::CutShort;
}

}  // namespace kinovar
