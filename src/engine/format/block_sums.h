// The BLAKE3 of every sum block of a row file's rows, and the check of a
// mapped run against them on its first read.
//
// A sum block is kSumBlockBytes of a row file's rows: block i holds the
// bytes [12 + i * kSumBlockBytes, 12 + (i + 1) * kSumBlockBytes) of the file
// (the last one shorter), so the 12-byte header, checked at load and never
// read by a search, is in none. The codes file (codes_file.h, version 3)
// keeps one 32-byte BLAKE3 per block beside the codes.
//
// A mapped run carries its BlockSums: the first read of any of its rows
// hashes the blocks holding them and compares; a match marks a block
// checked, and it is never hashed again (a block changed after its first
// check is not seen until Index.verify reads the whole file). A mismatch is
// kept as the first changed block (failed()), for whoever started the work
// to look at afterwards and discard that work, as with Mapping::damaged().
// check() runs on pool threads: atomics only, no allocation, no exception.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/format/content_hash.h"

namespace lumvero {

// Bytes of rows per sum block (a multiple of every page size in use).
inline constexpr std::uint64_t kSumBlockBytes = std::uint64_t{64} << 10;

// Sum blocks of `bytes` bytes of rows.
constexpr std::uint64_t sum_blocks(std::uint64_t bytes) {
  return bytes / kSumBlockBytes + (bytes % kSumBlockBytes != 0);
}

// The sums of blocks [begin, end) of the `bytes` bytes at data into
// out[begin, end).
void compute_block_sums(const unsigned char* data, std::uint64_t bytes, std::uint64_t begin,
                        std::uint64_t end, Hash32* out);

class BlockSums {
 public:
  // `bytes` bytes of rows at `data` (a mapping that outlives this), with one
  // sum per block.
  BlockSums(const unsigned char* data, std::uint64_t bytes, std::vector<Hash32> sums);

  std::uint64_t blocks() const { return sums_.size(); }
  bool checked(std::uint64_t block) const {
    return checked_[block].load(std::memory_order_acquire) != 0;
  }
  // The first block found changed, or -1.
  std::int64_t failed() const { return failed_.load(std::memory_order_acquire); }

  // Checks the blocks holding any of the n bytes at p (inside the rows)
  // that are not checked yet; their pages are asked for together first.
  // False when one of them differs from its sum.
  bool check(const void* p, std::uint64_t n) const noexcept;

  // The stretch of addresses to ask for before reading the n bytes at p:
  // the whole blocks when one of them is not checked yet (check() will hash
  // them), else the bytes themselves.
  std::pair<std::uintptr_t, std::uintptr_t> wanted(const void* p, std::uint64_t n) const;

 private:
  std::pair<std::uint64_t, std::uint64_t> blocks_of(const void* p, std::uint64_t n) const;

  const unsigned char* data_;
  std::uint64_t bytes_;
  std::vector<Hash32> sums_;
  std::unique_ptr<std::atomic<std::uint8_t>[]> checked_;
  mutable std::atomic<std::int64_t> failed_{-1};
};

}  // namespace lumvero
