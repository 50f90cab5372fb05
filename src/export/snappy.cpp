#include "export/snappy.h"

#include <cstring>

namespace kinovar {
namespace {

uint32_t load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

uint32_t hashOf(uint32_t v, int shift) { return (v * 0x1e35a7bdu) >> shift; }

void varint(std::vector<uint8_t>& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<uint8_t>(v));
}

void literal(std::vector<uint8_t>& out, const uint8_t* from, size_t n) {
  const size_t m = n - 1;
  if (m < 60) {
    out.push_back(static_cast<uint8_t>(m << 2));
  } else {
    int bytes = m < (1u << 8) ? 1 : m < (1u << 16) ? 2 : m < (1u << 24) ? 3 : 4;
    out.push_back(static_cast<uint8_t>((59 + bytes) << 2));
    for (int b = 0; b < bytes; ++b) out.push_back(static_cast<uint8_t>(m >> (8 * b)));
  }
  out.insert(out.end(), from, from + n);
}

// Copies of at most 64 bytes each; the short form where it fits.
void copy(std::vector<uint8_t>& out, size_t offset, size_t n) {
  while (n > 0) {
    // Keep at least 4 for the last piece, which the short form needs.
    size_t take = n > 64 ? (n - 64 < 4 ? 60 : 64) : n;
    if (take >= 4 && take < 12 && offset < 2048) {
      out.push_back(static_cast<uint8_t>(1 | ((take - 4) << 2) | ((offset >> 8) << 5)));
      out.push_back(static_cast<uint8_t>(offset));
    } else {
      out.push_back(static_cast<uint8_t>(2 | ((take - 1) << 2)));
      out.push_back(static_cast<uint8_t>(offset));
      out.push_back(static_cast<uint8_t>(offset >> 8));
    }
    n -= take;
  }
}

}  // namespace

void snappyCompress(const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
  varint(out, size);
  if (size < 16) {
    if (size) literal(out, data, size);
    return;
  }
  // Positions by the hash of their four bytes; matches reach 64 KiB back at
  // most, which the two-byte form holds, so no blocks are needed.
  constexpr int kBits = 14;
  constexpr size_t kWindow = 65535;
  static thread_local uint32_t table[1 << kBits];
  std::memset(table, 0, sizeof table);
  const int shift = 32 - kBits;
  const size_t limit = size - 4;  // the last position a match may start at
  size_t pending = 0;             // where the bytes not yet emitted start
  size_t at = 1;
  uint32_t skip = 32;  // incompressible stretches are crossed faster and faster
  while (at <= limit) {
    const uint32_t here = load32(data + at);
    const uint32_t h = hashOf(here, shift);
    const size_t candidate = table[h];
    table[h] = static_cast<uint32_t>(at);
    if (candidate < at && at - candidate <= kWindow && load32(data + candidate) == here) {
      if (at > pending) literal(out, data + pending, at - pending);
      size_t n = 4;
      while (at + n < size && data[candidate + n] == data[at + n]) ++n;
      copy(out, at - candidate, n);
      at += n;
      pending = at;
      skip = 32;
      if (at - 1 <= limit) table[hashOf(load32(data + at - 1), shift)] = static_cast<uint32_t>(at - 1);
      continue;
    }
    at += skip++ >> 5;
  }
  if (pending < size) literal(out, data + pending, size - pending);
}

}  // namespace kinovar
