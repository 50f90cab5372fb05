#include "reader/stream_reader.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <queue>
#include <stdexcept>
#include <string>

#include "io/byte_source.h"
#include "reader/frames.h"
#include "settings/settings_record.h"

namespace kinovar {

using frames::kBlockSize;
using frames::kFramesPerBlock;
using frames::Routing;

namespace {

constexpr size_t kPieceBytes = 1 << 20;
// Frames of a stream found out of order that are sorted in memory at once;
// beyond that they are sorted in runs kept in a temporary file and merged.
constexpr uint64_t kRunFrames = 1 << 21;

struct RawFrame {
  int64_t tick;
  uint8_t payload[6];
};

// How one block's frames get their ticks: signed 32-bit, or from the
// block's unwrapped base.
struct BlockClock {
  bool signedTicks = true;
  int64_t base = 0;
  int64_t tick(const uint8_t* block, size_t k) const {
    return signedTicks ? frames::frameTick(block, k) : base + block[8 + 8 * k + 1];
  }
};

// A base tick this far off both neighbours' (and four times further than
// they lie apart) is a corrupt block: a block spans at most 255 ticks, so
// neighbours in a steady recording lie within about 512.
constexpr int64_t kFarTicks = 1024;

// A sorted run of a stream's frames in the spill file.
struct Run {
  uint64_t offset = 0;
  uint64_t frames = 0;
};

// The temporary file sorted runs go to: the system's, unnamed, so that it
// goes with the process whatever ends it.
struct SpillFile {
  FilePtr file;
  uint64_t size = 0;
  std::mutex mutex;  // cursors on several threads share the file position

  bool append(const RawFrame* frames, size_t n) {
    if (!file) return false;
    const bool ok = std::fwrite(frames, sizeof(RawFrame), n, file.get()) == n;
    size += n * sizeof(RawFrame);
    return ok;
  }
  size_t readAt(uint64_t offset, RawFrame* out, size_t n) {
    std::lock_guard lock(mutex);
    std::fflush(file.get());
#ifdef _WIN32
    if (_fseeki64(file.get(), static_cast<int64_t>(offset), SEEK_SET) != 0) return 0;
#else
    if (fseeko(file.get(), static_cast<off_t>(offset), SEEK_SET) != 0) return 0;
#endif
    const size_t got = std::fread(out, sizeof(RawFrame), n, file.get());
    std::fseek(file.get(), 0, SEEK_END);
    return got;
  }
};

}  // namespace

struct RecordingReader::State {
  std::span<const uint8_t> memory;
  std::shared_ptr<const ByteSource> source;  // else the bytes are in memory
  uint64_t blockBytes = 0;  // whole blocks, block 0 included
  DeviceSettings settings;
  Routing routing;
  std::array<uint64_t, Routing::kStreams> counts{};
  std::array<bool, Routing::kStreams> inOrder{};
  std::array<std::vector<RawFrame>, Routing::kStreams> sorted;  // out of order, sorted in memory
  std::array<std::vector<Run>, Routing::kStreams> runs;         // out of order, sorted in runs
  std::shared_ptr<SpillFile> spill;
  // Where every indexEvery-th frame of each stream stands (block offset,
  // frame), for cursors that start at a sample.
  uint64_t indexEvery = kDefaultChunkSamples;
  std::array<std::vector<std::pair<uint64_t, uint8_t>>, Routing::kStreams> index;
  CancelToken cancel;
  TickReading ticks = TickReading::Signed;
  // Unwrapped: the data blocks left out (ascending), and the counter's
  // turns past the signed reading from each block where they change.
  std::vector<uint64_t> leftOut;
  std::vector<std::pair<uint64_t, int64_t>> turns;

  bool isLeftOut(uint64_t block) const {
    return !leftOut.empty() && std::binary_search(leftOut.begin(), leftOut.end(), block);
  }
  BlockClock clockOf(uint64_t block, const uint8_t* bytes) const {
    // Block 0 holds the settings: its base tick is no part of the count.
    if (ticks == TickReading::Signed || block == 0) return {};
    const auto after = std::upper_bound(turns.begin(), turns.end(), block,
                                        [](uint64_t b, const std::pair<uint64_t, int64_t>& t) { return b < t.first; });
    const int64_t turn = after == turns.begin() ? 0 : std::prev(after)->second;
    return {false, static_cast<int64_t>(frames::bigInt32(bytes + 4)) + turn * (int64_t{1} << 32)};
  }
};

namespace {

// The whole blocks of a recording in pieces: all at once from memory, a
// piece at a time from a file.
class Pieces {
 public:
  explicit Pieces(const RecordingReader::State& state, uint64_t from = 0) : state_(state), done_(from), start_(from) {
    if (!state.source) return;
    int error = 0;
    bytes_ = state.source->open(from, error);
    buffer_.resize(kPieceBytes);
  }
  bool next(std::span<const uint8_t>& piece) {
    state_.cancel.check();
    start_ = done_;
    if (!state_.source) {
      if (done_ >= state_.blockBytes) return false;
      piece = state_.memory.subspan(done_, state_.blockBytes - done_);
      done_ = state_.blockBytes;
      return true;
    }
    if (!bytes_ || done_ >= state_.blockBytes) return false;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer_.size(), state_.blockBytes - done_));
    const size_t got = bytes_->read(buffer_.data(), want);
    const size_t whole = got - got % kBlockSize;
    if (whole == 0) return false;  // the file shrank since the first pass
    done_ += whole;
    piece = std::span<const uint8_t>(buffer_.data(), whole);
    return true;
  }
  // The block number of a byte of the last piece.
  uint64_t blockAt(size_t offset) const { return (start_ + offset) / kBlockSize; }

 private:
  const RecordingReader::State& state_;
  std::unique_ptr<ByteReader> bytes_;
  std::vector<uint8_t> buffer_;
  uint64_t done_ = 0;
  uint64_t start_ = 0;
};

// Calls onFrame(stream, tick, frame) for every frame of the recording that
// feeds a stream, in file order; stops early when it returns false.
template <typename OnFrame>
void forEachFrame(const RecordingReader::State& state, OnFrame&& onFrame) {
  Pieces pieces(state);
  for (std::span<const uint8_t> piece; pieces.next(piece);)
    for (size_t offset = 0; offset < piece.size(); offset += kBlockSize) {
      const uint8_t* block = piece.data() + offset;
      const uint64_t index = pieces.blockAt(offset);
      if (state.isLeftOut(index)) continue;
      const BlockClock clock = state.clockOf(index, block);
      for (size_t k = 0; k < kFramesPerBlock; ++k) {
        const int stream = state.routing.byKind[block[8 + 8 * k]];
        if (stream >= 0) onFrame(static_cast<size_t>(stream), clock.tick(block, k), block + 8 + 8 * k);
      }
    }
}

// Sizes `out` for up to max samples; trim() then packs the n read.
void prepare(SampleStream& out, uint64_t channels, uint64_t max) {
  out.channels = channels;
  out.count = max;
  if (out.values.size() < channels * max) out.values.resize(channels * max);
  if (out.times.size() < max) out.times.resize(max);
}

uint64_t trim(SampleStream& out, uint64_t n, uint64_t max) {
  for (uint64_t c = 1; c < out.channels && n < max; ++c)
    std::memmove(out.values.data() + c * n, out.values.data() + c * max, n * sizeof(double));
  out.values.resize(out.channels * n);
  out.times.resize(n);
  out.count = n;
  return n;
}

inline void store(SampleStream& out, uint64_t i, uint64_t max, uint32_t key, const DeviceSettings& settings,
                  int64_t tick, const uint8_t* payload) {
  double values[3];
  out.times[i] = tick / static_cast<double>(settings.frequency);
  frames::convert(key, settings, payload, values);
  for (uint64_t j = 0; j < out.channels; ++j) out.values[j * max + i] = values[j];
}

// A stream whose ticks rise strictly: its frames straight from the blocks.
class InOrderCursor : public StreamCursor {
 public:
  // From sample `first`: from the indexed frame at or before it, skipping the rest.
  InOrderCursor(std::shared_ptr<const RecordingReader::State> state, size_t c, uint64_t first = 0)
      : state_(std::move(state)), c_(c), pieces_(*state_, startOf(*state_, c, first)) {
    const auto& index = state_->index[c_];
    const uint64_t mark = std::min<uint64_t>(first / state_->indexEvery, index.size());
    if (mark > 0) startK_ = index[mark - 1].second;
    for (uint64_t skip = first - mark * state_->indexEvery; skip > 0;) {
      SampleStream ignored;
      const uint64_t n = read(ignored, std::min<uint64_t>(skip, state_->indexEvery));
      if (n == 0) break;
      skip -= n;
    }
  }
  static uint64_t startOf(const RecordingReader::State& state, size_t c, uint64_t first) {
    const auto& index = state.index[c];
    const uint64_t mark = std::min<uint64_t>(first / state.indexEvery, index.size());
    return mark > 0 ? index[mark - 1].first : 0;
  }

  uint64_t read(SampleStream& out, uint64_t max) override {
    // The sensors' conversion chosen once a piece, not once a frame.
    switch (Routing::keys[c_]) {
      case kAccelKey: return readAs<kAccelKey>(out, max);
      case kGyroKey: return readAs<kGyroKey>(out, max);
      default: return readAs<0>(out, max);
    }
  }

 private:
  using State = RecordingReader::State;

  // Key: the stream's key, or 0 to look it up.
  template <uint32_t Key>
  uint64_t readAs(SampleStream& out, uint64_t max) {
    const State& s = *state_;
    const uint32_t key = Key ? Key : Routing::keys[c_];
    const auto stream = static_cast<int8_t>(c_);
    prepare(out, Routing::channels[c_], max);
    uint64_t n = 0;
    while (n < max) {
      if (at_ >= piece_.size()) {
        if (!pieces_.next(piece_)) break;
        at_ = 0, k_ = startK_, startK_ = 0, entered_ = false;
      }
      const uint8_t* block = piece_.data() + at_;
      if (!entered_) {
        const uint64_t index = pieces_.blockAt(at_);
        if (s.isLeftOut(index)) {
          at_ += kBlockSize, k_ = 0;
          continue;
        }
        clock_ = s.clockOf(index, block);
        entered_ = true;
      }
      for (; k_ < kFramesPerBlock && n < max; ++k_) {
        const uint8_t* frame = block + 8 + 8 * k_;
        if (s.routing.byKind[frame[0]] == stream) store(out, n++, max, key, s.settings, clock_.tick(block, k_), frame + 2);
      }
      if (k_ == kFramesPerBlock) at_ += kBlockSize, k_ = 0, entered_ = false;
    }
    return trim(out, n, max);
  }

  std::shared_ptr<const State> state_;
  size_t c_;
  Pieces pieces_;
  std::span<const uint8_t> piece_;
  size_t at_ = 0, k_ = 0;
  size_t startK_ = 0;  // the first frame of the first piece
  BlockClock clock_;
  bool entered_ = false;  // clock_ is that of the block at at_
};

// Frames already sorted and de-duplicated, in memory.
class SortedCursor : public StreamCursor {
 public:
  SortedCursor(std::shared_ptr<const RecordingReader::State> state, size_t c, uint64_t first = 0)
      : state_(std::move(state)), c_(c), next_(static_cast<size_t>(first)) {}

  uint64_t read(SampleStream& out, uint64_t max) override {
    const std::vector<RawFrame>& sorted = state_->sorted[c_];
    prepare(out, Routing::channels[c_], max);
    uint64_t n = 0;
    for (; n < max && next_ < sorted.size(); ++n, ++next_)
      store(out, n, max, Routing::keys[c_], state_->settings, sorted[next_].tick, sorted[next_].payload);
    return trim(out, n, max);
  }

 private:
  std::shared_ptr<const RecordingReader::State> state_;
  size_t c_;
  size_t next_ = 0;
};

// Sorted runs merged: the least tick first, and among equal ticks the
// earliest run, which holds the frame first in the file; only that one is kept.
class MergeCursor : public StreamCursor {
 public:
  MergeCursor(std::shared_ptr<const RecordingReader::State> state, size_t c, const std::vector<Run>& runs)
      : state_(std::move(state)), c_(c) {
    readers_.resize(runs.size());
    for (size_t r = 0; r < runs.size(); ++r) {
      readers_[r].run = runs[r];
      if (refill(r)) heap_.push({readers_[r].frames[0].tick, r});
    }
  }

  // The next frame kept, or false at the end.
  bool next(RawFrame& frame) {
    while (!heap_.empty()) {
      const size_t r = heap_.top().second;
      heap_.pop();
      Reader& reader = readers_[r];
      frame = reader.frames[reader.at++];
      if (reader.at < reader.frames.size() || refill(r)) heap_.push({reader.frames[reader.at].tick, r});
      if (started_ && frame.tick == last_) continue;
      started_ = true, last_ = frame.tick;
      return true;
    }
    return false;
  }

  uint64_t read(SampleStream& out, uint64_t max) override {
    prepare(out, Routing::channels[c_], max);
    uint64_t n = 0;
    for (RawFrame frame; n < max && next(frame); ++n)
      store(out, n, max, Routing::keys[c_], state_->settings, frame.tick, frame.payload);
    return trim(out, n, max);
  }

 private:
  struct Reader {
    Run run;
    uint64_t done = 0;
    std::vector<RawFrame> frames;
    size_t at = 0;
  };
  bool refill(size_t r) {
    Reader& reader = readers_[r];
    const uint64_t left = reader.run.frames - reader.done;
    reader.frames.resize(static_cast<size_t>(std::min<uint64_t>(left, 4096)));
    reader.at = 0;
    if (reader.frames.empty()) return false;
    const size_t got = state_->spill->readAt(reader.run.offset + reader.done * sizeof(RawFrame), reader.frames.data(),
                                             reader.frames.size());
    reader.frames.resize(got);
    reader.done += got;
    if (got == 0) reader.done = reader.run.frames;  // unreadable: the run ends here
    return got > 0;
  }

  std::shared_ptr<const RecordingReader::State> state_;
  size_t c_;
  std::vector<Reader> readers_;
  using Head = std::pair<int64_t, size_t>;
  std::priority_queue<Head, std::vector<Head>, std::greater<Head>> heap_;
  bool started_ = false;
  int64_t last_ = 0;
};

// The first pass, a block at a time: counts, order, the blocks that go
// back in time or lie far off their neighbours, the counter's turns and the
// index of every stream. A data block is judged once the two after it are
// seen, so up to three wait here.
struct Scanner {
  RecordingReader::State& state;
  ParseStats& stats;
  std::array<int64_t, Routing::kStreams> lastTick;
  std::array<uint64_t, Routing::kStreams> frames{};
  struct Pending {
    uint64_t index;
    std::array<uint8_t, kBlockSize> bytes;
    uint32_t base() const { return static_cast<uint32_t>(frames::bigInt32(bytes.data() + 4)); }
  };
  std::deque<Pending> pending;
  // The last two data blocks kept: raw base, and the first's unwrapped base.
  uint32_t kept[2] = {};
  size_t keptCount = 0;
  int64_t lastBase = 0;
  int64_t lastTurn = 0;

  Scanner(RecordingReader::State& s, ParseStats& p) : state(s), stats(p) { lastTick.fill(INT64_MIN); }

  void block(const uint8_t* bytes, uint64_t index) {
    if (index == 0) {
      walk(bytes, 0, state.clockOf(0, bytes), 0);
      return;
    }
    Pending& p = pending.emplace_back();
    p.index = index;
    std::copy_n(bytes, kBlockSize, p.bytes.begin());
    if (pending.size() == 3) judge();
  }
  void end() {
    while (!pending.empty()) judge();
    for (size_t c = 0; c < Routing::kStreams; ++c)
      if (state.routing.built[c]) stats.streams[Routing::keys[c]].frames = frames[c];
  }

 private:
  static int64_t apart(uint32_t a, uint32_t b) { return std::llabs(static_cast<int64_t>(static_cast<int32_t>(a - b))); }
  static int64_t far(int64_t step) { return std::max(kFarTicks, 4 * step); }

  void judge() {
    const Pending b = pending.front();
    pending.pop_front();
    const uint32_t base = b.base();
    const bool next = !pending.empty(), second = pending.size() > 1;
    bool corrupt = false;
    if (keptCount > 0 && next) {
      const uint32_t p = kept[0], n = pending[0].base();
      corrupt = apart(base, p) > far(apart(p, n)) && apart(base, n) > far(apart(p, n));
    } else if (keptCount == 0 && second) {
      corrupt = apart(base, pending[0].base()) > far(apart(pending[0].base(), pending[1].base()));
    } else if (keptCount == 2 && !next) {
      corrupt = apart(base, kept[0]) > far(apart(kept[0], kept[1]));
    }
    if (corrupt) {
      ++stats.corruptBlocks;
      if (state.ticks == TickReading::Unwrapped) {
        state.leftOut.push_back(b.index);
        return;
      }
      walk(b.bytes.data(), b.index, BlockClock{}, INT64_MIN);
      return;
    }
    // Kept: its base follows the one before by their difference modulo 2^32.
    const int64_t unwrapped = keptCount ? lastBase + static_cast<int32_t>(base - kept[0]) : static_cast<int32_t>(base);
    const int64_t turn = (unwrapped - static_cast<int32_t>(base)) / (int64_t{1} << 32);
    if (turn != lastTurn) state.turns.emplace_back(b.index, turn), lastTurn = turn;
    if (keptCount && unwrapped < lastBase) ++stats.blocksBackwards;
    kept[1] = kept[0], kept[0] = base, keptCount = std::min<size_t>(keptCount + 1, 2);
    lastBase = unwrapped;
    const BlockClock clock = state.ticks == TickReading::Signed ? BlockClock{} : BlockClock{false, unwrapped};
    walk(b.bytes.data(), b.index, clock, unwrapped);
  }

  // The frames of a block read; `unwrapped`: its true base tick (INT64_MIN: none).
  void walk(const uint8_t* block, uint64_t index, const BlockClock& clock, int64_t unwrapped) {
    for (size_t k = 0; k < kFramesPerBlock; ++k) {
      const int stream = state.routing.byKind[block[8 + 8 * k]];
      if (stream < 0) continue;
      const auto c = static_cast<size_t>(stream);
      const int64_t tick = clock.tick(block, k);
      if (unwrapped != INT64_MIN && index > 0) {
        const int64_t truth = unwrapped + block[8 + 8 * k + 1];
        if (truth != static_cast<int32_t>(truth) && stats.framesPastSigned++ == 0) stats.firstPastSigned = truth;
      }
      if (frames[c] > 0 && frames[c] % state.indexEvery == 0)
        state.index[c].emplace_back(index * kBlockSize, static_cast<uint8_t>(k));
      ++frames[c];
      if (tick <= lastTick[c]) {
        state.inOrder[c] = false;
        if (tick < lastTick[c]) ++stats.streams[Routing::keys[c]].backwards;
      }
      lastTick[c] = tick;
    }
  }
};

// Sorts by tick keeping file order among equal ticks, then keeps only the
// first frame of every tick.
void sortRun(std::vector<RawFrame>& frames) {
  std::stable_sort(frames.begin(), frames.end(), [](const RawFrame& a, const RawFrame& b) { return a.tick < b.tick; });
  auto last = std::unique(frames.begin(), frames.end(), [](const RawFrame& a, const RawFrame& b) { return a.tick == b.tick; });
  frames.erase(last, frames.end());
}

}  // namespace

namespace {

class MemoryCursor : public StreamCursor {
 public:
  MemoryCursor(const SampleStream& stream, std::function<void(uint64_t)> await)
      : stream_(stream), await_(std::move(await)) {}
  uint64_t read(SampleStream& out, uint64_t max) override {
    const uint64_t n = std::min(max, stream_.count - next_);
    if (n && await_) await_(next_ + n);
    out.channels = stream_.channels;
    out.count = n;
    out.times.assign(stream_.times.begin() + static_cast<long>(next_), stream_.times.begin() + static_cast<long>(next_ + n));
    out.values.resize(stream_.channels * n);
    for (uint64_t c = 0; c < stream_.channels; ++c)
      std::copy_n(stream_.values.begin() + static_cast<long>(c * stream_.count + next_), n,
                  out.values.begin() + static_cast<long>(c * n));
    next_ += n;
    return n;
  }

 private:
  const SampleStream& stream_;
  std::function<void(uint64_t)> await_;
  uint64_t next_ = 0;
};

}  // namespace

std::unique_ptr<StreamCursor> memoryCursor(const SampleStream& stream, std::function<void(uint64_t)> await) {
  return std::make_unique<MemoryCursor>(stream, std::move(await));
}

RecordingReader::RecordingReader(uint64_t chunkSamples, CancelToken cancel, TickReading ticks)
    : chunk_(chunkSamples ? chunkSamples : kDefaultChunkSamples), state_(std::make_shared<State>()) {
  state_->indexEvery = chunk_;
  state_->cancel = std::move(cancel);
  state_->ticks = ticks;
}

TickReading RecordingReader::ticks() const { return state_->ticks; }

RecordingReader::~RecordingReader() = default;

bool RecordingReader::open(std::span<const uint8_t> bytes, const StreamMap& existing) {
  if (bytes.size() < kBlockSize) return false;
  if (!decodeSettingsBlock(settings_, bytes.data())) return false;
  state_->memory = bytes;
  state_->blockBytes = bytes.size() - bytes.size() % kBlockSize;
  stats_.tailBytes = bytes.size() - state_->blockBytes;
  std::copy_n(bytes.begin(), kBlockSize, stats_.settingsBlock.begin());
  start(existing);
  finish();
  return true;
}

bool RecordingReader::open(std::shared_ptr<const ByteSource> source, Unparsed* why, int* systemError) {
  int error = 0;
  std::unique_ptr<ByteReader> file = source->open(0, error);
  if (!file) {
    if (why) *why = Unparsed::Missing;
    if (systemError) *systemError = error;
    return false;
  }
  // Block 0 first: without settings there is nothing to scan.
  std::vector<uint8_t> piece(kPieceBytes);
  size_t used = 0;
  for (size_t got; used < kBlockSize && (got = file->read(piece.data() + used, kBlockSize - used)) > 0;) used += got;
  const auto failed = [&] {
    if (!file->failed()) return false;  // a folder opens, then fails to read with EISDIR
    if (why) *why = Unparsed::Missing;
    if (systemError) *systemError = file->error();
    return true;
  };
  if (failed()) return false;
  if (used < kBlockSize || !decodeSettingsBlock(settings_, piece.data())) {
    if (why) *why = whyUnparsed(std::span<const uint8_t>(piece.data(), used));
    return false;
  }
  std::copy_n(piece.begin(), kBlockSize, stats_.settingsBlock.begin());
  state_->source = std::move(source);
  start({});

  // The first pass: counts, order, and the blocks that go back in time.
  Scanner scanner(*state_, stats_);
  uint64_t total = kBlockSize;
  size_t carry = 0;  // bytes of a block begun in the piece before
  scanner.block(piece.data(), 0);
  for (size_t got; (got = file->read(piece.data() + carry, piece.size() - carry)) > 0;) {
    state_->cancel.check();
    const size_t have = carry + got;
    const size_t whole = have - have % kBlockSize;
    for (size_t offset = 0; offset < whole; offset += kBlockSize)
      scanner.block(piece.data() + offset, (total + offset) / kBlockSize);
    total += whole;
    carry = have - whole;
    std::memmove(piece.data(), piece.data() + whole, carry);
  }
  scanner.end();
  State& s = *state_;
  const bool read = !failed();
  s.blockBytes = total;
  stats_.tailBytes = carry;
  file.reset();
  finish();
  return read;
}

void RecordingReader::start(const StreamMap& existing) {
  State& s = *state_;
  s.routing = Routing(settings_, existing);
  s.inOrder.fill(true);
  for (size_t c = 0; c < Routing::kStreams; ++c)
    if (s.routing.built[c]) stats_.streams[Routing::keys[c]] = {};
  // A recording in memory is scanned here; a file as it is first read.
  if (s.source) return;
  Scanner scanner(s, stats_);
  for (uint64_t offset = 0; offset < s.blockBytes; offset += kBlockSize)
    scanner.block(s.memory.data() + offset, offset / kBlockSize);
  scanner.end();
}

// Streams found out of order are sorted now, in memory when they fit a run,
// else in sorted runs spilled to a temporary file and merged when read.
void RecordingReader::finish() {
  State& s = *state_;
  s.settings = settings_;
  stats_.blocks = s.blockBytes / kBlockSize;
  const uint64_t runFrames = chunk_ < kDefaultChunkSamples ? chunk_ : kRunFrames;
  std::array<std::vector<RawFrame>, Routing::kStreams> gathered;
  bool any = false;
  for (size_t c = 0; c < Routing::kStreams; ++c) any |= s.routing.built[c] && !s.inOrder[c];
  if (any) {
    // Without a temporary file the frames stay in memory, whatever their number.
    s.spill = std::make_shared<SpillFile>();
    s.spill->file = scratchFile();
    const auto spill = [&](size_t c) {
      std::vector<RawFrame>& run = gathered[c];
      sortRun(run);
      const uint64_t offset = s.spill->size;
      if (!s.spill->append(run.data(), run.size()))
        throw std::runtime_error(std::string("could not write the temporary file that sorts a stream found out of order (") +
                                 std::strerror(errno) + "): free space in the system's temporary folder and try again");
      s.runs[c].push_back({offset, run.size()});
      run.clear();
    };
    forEachFrame(s, [&](size_t c, int64_t tick, const uint8_t* frame) {
      if (s.inOrder[c]) return;
      RawFrame raw;
      raw.tick = tick;
      std::memcpy(raw.payload, frame + 2, 6);
      gathered[c].push_back(raw);
      if (gathered[c].size() >= runFrames && s.spill->file) spill(c);
    });
    for (size_t c = 0; c < Routing::kStreams; ++c) {
      if (!s.routing.built[c] || s.inOrder[c]) continue;
      if (!s.runs[c].empty() && !gathered[c].empty()) spill(c);
      if (s.runs[c].empty()) {
        sortRun(gathered[c]);
        s.sorted[c] = std::move(gathered[c]);
      }
    }
  }
  for (size_t c = 0; c < Routing::kStreams; ++c) {
    if (!s.routing.built[c]) continue;
    const uint32_t key = Routing::keys[c];
    keys_.push_back(key);
    StreamParseStats& seen = stats_.streams[key];
    if (s.inOrder[c]) {
      s.counts[c] = seen.frames;
    } else if (s.runs[c].empty()) {
      s.counts[c] = s.sorted[c].size();
    } else {
      // Merged once more into a single run, which a cursor can start anywhere in.
      MergeCursor merge(state_, c, s.runs[c]);
      const uint64_t offset = s.spill->size;
      std::vector<RawFrame> out;
      out.reserve(4096);
      const auto flush = [&] {
        if (!s.spill->append(out.data(), out.size()))
          throw std::runtime_error(std::string("could not write the temporary file that sorts a stream found out of order (") +
                                   std::strerror(errno) + "): free space in the system's temporary folder and try again");
        out.clear();
      };
      for (RawFrame frame; merge.next(frame);) {
        out.push_back(frame);
        ++s.counts[c];
        if (out.size() == 4096) flush();
      }
      flush();
      s.runs[c] = {Run{offset, s.counts[c]}};
    }
    seen.duplicates = seen.frames - s.counts[c];
  }
  std::sort(keys_.begin(), keys_.end());
}

bool RecordingReader::has(uint32_t key) const {
  const size_t c = Routing::indexOf(key);
  return c < Routing::kStreams && state_->routing.built[c];
}

uint64_t RecordingReader::count(uint32_t key) const { return has(key) ? state_->counts[Routing::indexOf(key)] : 0; }

uint64_t RecordingReader::channels(uint32_t key) const {
  return has(key) ? Routing::channels[Routing::indexOf(key)] : 0;
}

StreamMap RecordingReader::shapes() const {
  StreamMap shapes;
  for (uint32_t key : keys_) {
    SampleStream shape;
    shape.channels = channels(key);
    shape.count = count(key);
    shapes.emplace(key, std::move(shape));
  }
  return shapes;
}

std::unique_ptr<StreamCursor> RecordingReader::cursor(uint32_t key, uint64_t first) const {
  std::unique_ptr<StreamCursor> raw = rawCursor(key, first);
  if (!raw || !wrap_) return raw;
  return wrap_(key, std::min(first, count(key)), std::move(raw));
}

std::unique_ptr<StreamCursor> RecordingReader::rawCursor(uint32_t key, uint64_t first) const {
  if (!has(key)) return nullptr;
  state_->cancel.check();
  const size_t c = Routing::indexOf(key);
  first = std::min(first, count(key));
  if (state_->inOrder[c]) return std::make_unique<InOrderCursor>(state_, c, first);
  if (state_->runs[c].empty()) return std::make_unique<SortedCursor>(state_, c, first);
  const Run& run = state_->runs[c].front();
  return std::make_unique<MergeCursor>(state_, c, std::vector<Run>{{run.offset + first * sizeof(RawFrame), run.frames - first}});
}

void RecordingReader::readAll(StreamMap& streams) const {
  // Streams go in in the same order whichever way they were built.
  for (size_t c = 0; c < Routing::kStreams; ++c) {
    if (!state_->routing.built[c]) continue;
    const uint32_t key = Routing::keys[c];
    SampleStream stream(channels(key), count(key));
    if (stream.count > 0) cursor(key)->read(stream, stream.count);
    streams.emplace(key, std::move(stream));
  }
}

}  // namespace kinovar
