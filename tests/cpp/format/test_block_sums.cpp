// Sum blocks checked on first read: a block changed before its first read
// is found (and kept as the first changed block), a block checked once is
// never hashed again (by design: a change after the first check is left to
// Index.verify), and first reads from many threads at once agree.
#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "engine/format/block_sums.h"

namespace lumvero {
namespace {

constexpr std::uint64_t kBytes = 5 * kSumBlockBytes + 1000;  // the last block short

std::vector<unsigned char> filled() {
  std::vector<unsigned char> data(kBytes);
  for (std::uint64_t i = 0; i < kBytes; ++i) data[i] = static_cast<unsigned char>(i * 131 + 7);
  return data;
}

BlockSums sums_of(const std::vector<unsigned char>& data) {
  std::vector<Hash32> sums(sum_blocks(kBytes));
  compute_block_sums(data.data(), kBytes, 0, sums.size(), sums.data());
  return BlockSums(data.data(), kBytes, std::move(sums));
}

TEST(BlockSums, EachBlockIsTheBlake3OfItsBytes) {
  const auto data = filled();
  ASSERT_EQ(sum_blocks(kBytes), 6u);
  EXPECT_EQ(sum_blocks(6 * kSumBlockBytes), 6u);
  std::vector<Hash32> sums(6);
  compute_block_sums(data.data(), kBytes, 0, 6, sums.data());
  EXPECT_EQ(sums[1], blake3_digest(data.data() + kSumBlockBytes, kSumBlockBytes));
  EXPECT_EQ(sums[5], blake3_digest(data.data() + 5 * kSumBlockBytes, 1000));
}

TEST(BlockSums, ChecksOnlyTheBlocksARangeTouches) {
  const auto data = filled();
  const BlockSums sums = sums_of(data);
  // Bytes 10 before the end of block 1 to 10 into block 2.
  EXPECT_TRUE(sums.check(data.data() + 2 * kSumBlockBytes - 10, 20));
  for (std::uint64_t b = 0; b < sums.blocks(); ++b) EXPECT_EQ(sums.checked(b), b == 1 || b == 2);
  EXPECT_TRUE(sums.check(data.data() + kBytes - 1, 1));
  EXPECT_TRUE(sums.checked(5));
  EXPECT_EQ(sums.failed(), -1);
  // Asked for ahead: whole blocks while one is unchecked, else the bytes.
  const auto base = reinterpret_cast<std::uintptr_t>(data.data());
  EXPECT_EQ(sums.wanted(data.data() + kSumBlockBytes + 5, 8),
            std::pair(base + kSumBlockBytes + 5, base + kSumBlockBytes + 13));
  EXPECT_EQ(sums.wanted(data.data() + 5, 8), std::pair(base, base + kSumBlockBytes));
}

TEST(BlockSums, ABlockChangedBeforeItsFirstReadIsFoundAndNotMarked) {
  auto data = filled();
  const BlockSums sums = sums_of(data);
  data[3 * kSumBlockBytes + 17] ^= 1;
  EXPECT_TRUE(sums.check(data.data(), 3 * kSumBlockBytes));  // blocks 0 to 2
  EXPECT_FALSE(sums.check(data.data() + 2 * kSumBlockBytes, 2 * kSumBlockBytes));
  EXPECT_EQ(sums.failed(), 3);
  EXPECT_FALSE(sums.checked(3));
  EXPECT_FALSE(sums.check(data.data() + 3 * kSumBlockBytes + 17, 1));  // hashed again
  data[kBytes - 1] ^= 1;
  EXPECT_FALSE(sums.check(data.data() + kBytes - 4, 4));
  EXPECT_EQ(sums.failed(), 3) << "the first block found changed is kept";
}

TEST(BlockSums, ABlockChangedAfterItsFirstCheckIsNotHashedAgain) {
  auto data = filled();
  const BlockSums sums = sums_of(data);
  ASSERT_TRUE(sums.check(data.data() + kSumBlockBytes, 1));
  data[kSumBlockBytes + 100] ^= 1;
  EXPECT_TRUE(sums.check(data.data() + kSumBlockBytes, kSumBlockBytes));
  EXPECT_EQ(sums.failed(), -1);
}

TEST(BlockSums, FirstReadsFromManyThreadsAgree) {
  for (const bool changed : {false, true}) {
    auto data = filled();
    const BlockSums sums = sums_of(data);
    if (changed) data[4 * kSumBlockBytes] ^= 1;
    std::vector<std::thread> threads;
    std::vector<char> same(8);
    for (int t = 0; t < 8; ++t)
      threads.emplace_back([&, t] {
        bool all = true;
        for (std::uint64_t at = t * 4096; at < kBytes; at += 8 * 4096)
          all = sums.check(data.data() + at, std::min<std::uint64_t>(4096, kBytes - at)) && all;
        same[t] = all;
      });
    for (auto& th : threads) th.join();
    for (std::uint64_t b = 0; b < sums.blocks(); ++b)
      EXPECT_EQ(sums.checked(b), !changed || b != 4);
    EXPECT_EQ(sums.failed(), changed ? 4 : -1);
    // Every thread reads pages of block 4, so each sees the change.
    for (int t = 0; t < 8; ++t) EXPECT_EQ(same[t] != 0, !changed);
  }
}

}  // namespace
}  // namespace lumvero
