// The tables computed when an index is opened: squared norms (rows are
// processed several at a time, which must not change a bit), block norms, and
// the size thresholds that decide block widths and whether block norms exist.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "engine/format/dim_blocks.h"
#include "engine/format/row_norms.h"
#include "index_fixture.h"

namespace lumvero {
namespace {

using testing::bits;

// Plain left-to-right f64 sum of squares over [begin, end) of one row.
double ref_norm_sq(const float* row, std::uint64_t begin, std::uint64_t end) {
  double s = 0.0;
  for (std::uint64_t d = begin; d < end; ++d) s += static_cast<double>(row[d]) * row[d];
  return s;
}

TEST(RowNorms, GroupedRowsMatchOneRowAtATime) {
  // Row counts around the group width, so full groups and the remainder both run.
  for (const std::uint64_t rows : {1u, 7u, 8u, 9u, 23u, 64u}) {
    for (const std::uint64_t dims : {1u, 5u, 16u, 37u}) {
      const std::vector<float> data = testing::random_matrix(rows, dims, 7 * rows + dims);
      const std::vector<DimBlock> blocks = make_blocks(dims, 16);
      std::vector<double> norms(rows), block_norms(rows * blocks.size());
      compute_row_norms(data.data(), rows, dims, blocks, norms.data(), block_norms.data());
      for (std::uint64_t r = 0; r < rows; ++r) {
        const float* row = data.data() + r * dims;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(norms[r]),
                  std::bit_cast<std::uint64_t>(ref_norm_sq(row, 0, dims)))
            << rows << "x" << dims << " row " << r;
        for (std::size_t b = 0; b < blocks.size(); ++b)
          EXPECT_EQ(
              std::bit_cast<std::uint64_t>(block_norms[r * blocks.size() + b]),
              std::bit_cast<std::uint64_t>(ref_norm_sq(row, blocks[b].first, blocks[b].second)))
              << rows << "x" << dims << " row " << r << " block " << b;
      }
    }
  }
}

TEST(RowNorms, BlockWidthThresholds) {
  EXPECT_EQ(block_size_for(249999, 255), 16u);
  EXPECT_EQ(block_size_for(249999, 256), 32u);
  EXPECT_EQ(block_size_for(249999, 768), 32u);
  EXPECT_EQ(block_size_for(250000, 767), 32u);
  EXPECT_EQ(block_size_for(250000, 768), 64u);
  EXPECT_EQ(block_size_for(250000, 8), 32u);
}

TEST(RowNorms, BlockNormsOnlyForLargeSimilarityIndexes) {
  EXPECT_TRUE(wants_block_norms(Metric::Cosine, 10000, 64));
  EXPECT_TRUE(wants_block_norms(Metric::Dot, 10000, 64));
  EXPECT_FALSE(wants_block_norms(Metric::Euclidean, 10000, 64));
  EXPECT_FALSE(wants_block_norms(Metric::Cosine, 9999, 64));
  EXPECT_FALSE(wants_block_norms(Metric::Cosine, 10000, 63));
}

TEST(RowNorms, OpenedEngineCarriesTheTables) {
  const std::vector<float> data = testing::random_matrix(10000, 64, 3);
  auto e = testing::open_index(64, 10000, Metric::Dot, data);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->block_size, 16u);
  ASSERT_EQ(e->blocks.size(), 4u);
  ASSERT_TRUE(e->block_norms_sq.has_value());
  ASSERT_EQ(e->block_norms_sq->size(), 4u * 10000);
  for (const std::uint64_t r : {0u, 1u, 4999u, 9999u}) {
    const double n = ref_norm_sq(data.data() + r * 64, 0, 64);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(e->norms_sq[r]), std::bit_cast<std::uint64_t>(n));
    EXPECT_EQ(bits(e->norms[r]), bits(static_cast<float>(std::sqrt(n))));
  }
  auto l2 = testing::open_index(64, 10000, Metric::Euclidean, data);
  ASSERT_TRUE(l2);
  EXPECT_FALSE(l2->block_norms_sq.has_value());
}

}  // namespace
}  // namespace lumvero
