// Recordings read in bounded memory: a first pass over the file finds the
// settings, the streams, their sample counts and what the parse counts; each
// stream is then read in tick order, in pieces, as often as a stage needs it.
// The samples are exactly those of parseRecording, which reads through it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "io/byte_source.h"
#include "io/cancel.h"
#include "reader/parser.h"
#include "model/recording.h"
#include "reader/unparsed.h"

namespace kinovar {

// Samples per piece when the caller does not say (ConversionOptions::chunkSamples).
inline constexpr uint64_t kDefaultChunkSamples = 1 << 16;

// A stream's samples in tick order, a piece at a time.
class StreamCursor {
 public:
  virtual ~StreamCursor() = default;
  // The next samples, at most `max` (at least 1), into `out` (channel-major,
  // out.count of them); 0 at the end.
  virtual uint64_t read(SampleStream& out, uint64_t max) = 0;
};

// A cursor over a stream held in memory. `await(n)`, when given, is called
// before the first n samples are read and returns once they are final.
std::unique_ptr<StreamCursor> memoryCursor(const SampleStream& stream,
                                           std::function<void(uint64_t)> await = {});

// How frames' ticks become times. Signed: the 32-bit tick read as signed,
// as the classic table and the five functions have always read it, so a
// counter passing 2^31 jumps back 49.7 days (at 1000 Hz). Unwrapped: each
// block's base tick follows the block before by their difference modulo
// 2^32, so a counter passing 2^31 or 2^32 runs on, and a block whose base
// tick lies far off both neighbours' (a flipped bit) is left out.
enum class TickReading { Signed, Unwrapped };

class RecordingReader {
 public:
  // `chunkSamples` also bounds the frames a stream found out of order is
  // sorted in at once (0: the defaults). `cancel` is checked at every piece
  // of the file read and every cursor made.
  explicit RecordingReader(uint64_t chunkSamples = 0, CancelToken cancel = {},
                           TickReading ticks = TickReading::Signed);
  ~RecordingReader();
  RecordingReader(const RecordingReader&) = delete;
  RecordingReader& operator=(const RecordingReader&) = delete;

  // A recording's bytes that the caller keeps while the reader is used;
  // streams already in `existing` are not built. True when the settings
  // block was found.
  bool open(std::span<const uint8_t> bytes, const StreamMap& existing = {});
  // A recording's bytes from a source (a file), read in pieces. False when
  // they cannot be read to their end (the blocks read before a read error
  // still count) or are no recording; `why` and `systemError` (when given)
  // then say which.
  bool open(std::shared_ptr<const ByteSource> source, Unparsed* why = nullptr, int* systemError = nullptr);

  const DeviceSettings& settings() const { return settings_; }
  DeviceSettings& settings() { return settings_; }
  const ParseStats& stats() const { return stats_; }
  // The streams built, in stream key order.
  const std::vector<uint32_t>& keys() const { return keys_; }
  bool has(uint32_t key) const;
  uint64_t count(uint32_t key) const;
  uint64_t channels(uint32_t key) const;
  uint64_t chunkSamples() const { return chunk_; }
  TickReading ticks() const;
  // Streams of the built keys with their counts and no samples: the shape
  // tables and reports are laid out from.
  StreamMap shapes() const;
  // A new cursor at sample `first` of a built stream (null otherwise),
  // through the wrapper when one is set.
  std::unique_ptr<StreamCursor> cursor(uint32_t key, uint64_t first = 0) const;
  // The same, as the file holds it: what reports on the recording itself read.
  std::unique_ptr<StreamCursor> rawCursor(uint32_t key, uint64_t first = 0) const;
  // Every cursor made after this is handed through `wrap` (which may return
  // it as it is): how a correction of the samples reaches every stage.
  using CursorWrap = std::function<std::unique_ptr<StreamCursor>(uint32_t key, uint64_t first,
                                                                 std::unique_ptr<StreamCursor> raw)>;
  void wrapCursors(CursorWrap wrap) { wrap_ = std::move(wrap); }
  // Every built stream read whole into `streams`.
  void readAll(StreamMap& streams) const;

  struct State;

 private:
  void start(const StreamMap& existing);
  void finish();

  uint64_t chunk_;
  DeviceSettings settings_;
  ParseStats stats_;
  std::vector<uint32_t> keys_;
  std::shared_ptr<State> state_;
  CursorWrap wrap_;
};

}  // namespace kinovar
