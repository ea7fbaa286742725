// Sum blocks hashed, and checked on first read.
#include "engine/format/block_sums.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace lumvero {

namespace {

Hash32 block_sum(const unsigned char* data, std::uint64_t bytes, std::uint64_t block) {
  const std::uint64_t at = block * kSumBlockBytes;
  return blake3_digest(data + at, static_cast<std::size_t>(std::min(kSumBlockBytes, bytes - at)));
}

}  // namespace

void compute_block_sums(const unsigned char* data, std::uint64_t bytes, std::uint64_t begin,
                        std::uint64_t end, Hash32* out) {
  for (std::uint64_t b = begin; b < end; ++b) out[b] = block_sum(data, bytes, b);
}

BlockSums::BlockSums(const unsigned char* data, std::uint64_t bytes, std::vector<Hash32> sums)
    : data_(data),
      bytes_(bytes),
      sums_(std::move(sums)),
      checked_(std::make_unique<std::atomic<std::uint8_t>[]>(sums_.size())) {}

std::pair<std::uint64_t, std::uint64_t> BlockSums::blocks_of(const void* p, std::uint64_t n) const {
  const auto at = static_cast<std::uint64_t>(static_cast<const unsigned char*>(p) - data_);
  if (n == 0 || at >= bytes_) return {0, 0};
  const std::uint64_t last = std::min(at + n, bytes_) - 1;
  return {at / kSumBlockBytes, last / kSumBlockBytes + 1};
}

std::pair<std::uintptr_t, std::uintptr_t> BlockSums::wanted(const void* p, std::uint64_t n) const {
  const auto [b, e] = blocks_of(p, n);
  const auto base = reinterpret_cast<std::uintptr_t>(data_);
  for (std::uint64_t i = b; i < e; ++i)
    if (!checked(i))
      return {base + b * kSumBlockBytes, base + std::min(e * kSumBlockBytes, bytes_)};
  const auto at = reinterpret_cast<std::uintptr_t>(p);
  return {at, at + n};
}

bool BlockSums::check(const void* p, std::uint64_t n) const noexcept {
  const auto [b, e] = blocks_of(p, n);
  std::uint64_t first = e;
  for (std::uint64_t i = b; i < e && first == e; ++i)
    if (!checked(i)) first = i;
  if (first == e) return true;
  if (e - first > 1) {
    // Several blocks to hash: their reads in flight together. The mapping's
    // rows start 12 bytes into the file, so the start is rounded to a page.
    static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto lo = reinterpret_cast<std::uintptr_t>(data_ + first * kSumBlockBytes);
    const auto hi = reinterpret_cast<std::uintptr_t>(data_ + std::min(e * kSumBlockBytes, bytes_));
    (void)::madvise(reinterpret_cast<void*>(lo & ~(page - 1)), hi - (lo & ~(page - 1)),
                    MADV_WILLNEED);
  }
  bool same = true;
  for (std::uint64_t i = first; i < e; ++i) {
    if (checked(i)) continue;
    const Hash32 got = block_sum(data_, bytes_, i);
    if (std::memcmp(got.data(), sums_[i].data(), got.size()) == 0) {
      checked_[i].store(1, std::memory_order_release);
      continue;
    }
    same = false;
    std::int64_t none = -1;
    failed_.compare_exchange_strong(none, static_cast<std::int64_t>(i), std::memory_order_acq_rel);
  }
  return same;
}

}  // namespace lumvero
