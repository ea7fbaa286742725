// Cutting scans into tasks and timing them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "engine/format/dim_blocks.h"
#include "engine/search/scan.h"

namespace lumvero {
namespace {

TEST(Scan, ChunkRowsWorkedExamples) {
  // 100,000 x 128 cosine, 8 threads: budget 62,500, threads 3,125, cap 8,000.
  EXPECT_EQ(chunk_rows(100000, 128, Metric::Cosine, 8), 8000u);
  // Same with 1,024 dims: budget 15,625 under the 32,000 cap.
  EXPECT_EQ(chunk_rows(100000, 1024, Metric::Cosine, 8), 15625u);
  // 384 dims on 2 threads: budget 26,041, cap 16,000.
  EXPECT_EQ(chunk_rows(100000, 384, Metric::Dot, 2), 16000u);
  // 256 dims on 8 threads: 8M / 256 = 31,250, capped at 8,000.
  EXPECT_EQ(chunk_rows(100000, 256, Metric::Cosine, 8), 8000u);
  // 768 dims similarity: 16M / 768 = 20,833.
  EXPECT_EQ(chunk_rows(1000000, 768, Metric::Cosine, 2), 32000u);
  EXPECT_EQ(chunk_rows(30000, 768, Metric::Cosine, 2), 20833u);
  // Euclidean budget 3M: 3M / 512 = 5,859 beats rows / (4 * 1) = 2,500.
  EXPECT_EQ(chunk_rows(10000, 512, Metric::Euclidean, 1), 5859u);
  // by_threads governs when the budget is small: 3M / 2,000 = 1,500 < 40,000 / 4.
  EXPECT_EQ(chunk_rows(40000, 2000, Metric::Euclidean, 1), 10000u);
  // A budget below the dimension count gives 0 from the budget term.
  EXPECT_EQ(chunk_rows(1000, 4000000, Metric::Euclidean, 1), 250u);
  EXPECT_EQ(chunk_rows(3, 4000000, Metric::Euclidean, 1), 1u);
  // Never more than the rows, never less than one; threads 0 counts as 1.
  EXPECT_EQ(chunk_rows(10, 8, Metric::Euclidean, 4), 10u);
  EXPECT_EQ(chunk_rows(100, 0, Metric::Cosine, 0), 100u);
  EXPECT_EQ(chunk_rows(0, 64, Metric::Cosine, 2), 1u);
}

TEST(Scan, BalancedPiecesWorkedExamples) {
  using V = std::vector<RowRange>;
  // Seven chunks of 16,000 rows (the last 4,000) on two threads: each halved.
  const V big = balanced_pieces(100000, 16000, 2);
  ASSERT_EQ(big.size(), 14u);
  EXPECT_EQ(big[0], RowRange(0, 8000));
  EXPECT_EQ(big[1], RowRange(8000, 16000));
  EXPECT_EQ(big[12], RowRange(96000, 98000));
  EXPECT_EQ(big[13], RowRange(98000, 100000));
  // Enough chunks already: one piece each.
  EXPECT_EQ(balanced_pieces(10, 3, 1), (V{{0, 3}, {3, 6}, {6, 9}, {9, 10}}));
  // One short chunk for many threads: single rows, never empty pieces.
  EXPECT_EQ(balanced_pieces(5, 5, 4), (V{{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}}));
  EXPECT_EQ(balanced_pieces(7, 100, 1), (V{{0, 1}, {1, 3}, {3, 5}, {5, 7}}));
  EXPECT_TRUE(balanced_pieces(0, 10, 2).empty());
}

TEST(Scan, BalancedPiecesCoverTheRowsWithinChunks) {
  for (const std::uint64_t rows : {1u, 2u, 17u, 1000u, 99999u}) {
    for (const std::size_t len : {1u, 3u, 64u, 1000u, 200000u}) {
      for (const std::size_t threads : {0u, 1u, 2u, 7u}) {
        const auto pieces = balanced_pieces(rows, len, threads);
        std::uint64_t next = 0;
        for (const auto& [b, e] : pieces) {
          EXPECT_EQ(b, next);
          EXPECT_LT(b, e);
          EXPECT_EQ(b / len, (e - 1) / len) << "piece crosses a chunk boundary";
          next = e;
        }
        EXPECT_EQ(next, rows);
        EXPECT_GE(pieces.size(),
                  std::min<std::uint64_t>(rows, 4 * std::max<std::size_t>(threads, 1)));
      }
    }
  }
}

TEST(Scan, ElapsedMilliseconds) {
  const SearchClock::time_point t0{};
  EXPECT_EQ(elapsed_ms(t0, t0), 0.0);
  EXPECT_EQ(elapsed_ms(t0 + std::chrono::seconds(1), t0), 0.0);  // negative counts as 0
  EXPECT_EQ(elapsed_ms(t0, t0 + std::chrono::milliseconds(1500)), 1500.0);
  EXPECT_DOUBLE_EQ(elapsed_ms(t0, t0 + std::chrono::nanoseconds(2000000123)), 2000.000123);
}

TEST(DimBlocks, MakeBlocksCoversTheDimensions) {
  EXPECT_TRUE(make_blocks(0, 4).empty());
  EXPECT_EQ(make_blocks(10, 4), (std::vector<DimBlock>{{0, 4}, {4, 8}, {8, 10}}));
  EXPECT_EQ(make_blocks(8, 4), (std::vector<DimBlock>{{0, 4}, {4, 8}}));
  EXPECT_EQ(make_blocks(3, UINT64_MAX), (std::vector<DimBlock>{{0, 3}}));
  EXPECT_EQ(make_blocks(3, 1), (std::vector<DimBlock>{{0, 1}, {1, 2}, {2, 3}}));
}

TEST(DimBlocks, EnergyOrderUsesTotalOrder) {
  // -0.0 ranks below +0.0 under totalOrder; equal energies keep index order.
  const std::vector<double> energies = {0.0, 2.0, -0.0, 2.0, 0.5, 0.0};
  EXPECT_EQ(energy_order(energies), (std::vector<std::uint64_t>{1, 3, 4, 0, 5, 2}));
}

}  // namespace
}  // namespace lumvero
