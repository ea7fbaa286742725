// explain and compare: contributions against an independent reference, the
// magnitude order and its ties, residuals, totals and the argument checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "engine/certify/explain.h"
#include "engine/kernels/kernels.h"
#include "engine/search_engine.h"
#include "index_fixture.h"

namespace lumvero {
namespace {

using testing::bits;
using testing::open_index;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// ---------------------------------------------------------------------------
// Reference: every f32 operation is done in double and rounded once to float.
// A double holds more than twice float's precision, so this gives exactly the
// correctly rounded float result, without relying on how the compiler emits
// float arithmetic.
// ---------------------------------------------------------------------------
float add(float a, float b) { return static_cast<float>(double(a) + double(b)); }
float sub(float a, float b) { return static_cast<float>(double(a) - double(b)); }
float mul(float a, float b) { return static_cast<float>(double(a) * double(b)); }

struct RefBlock {
  std::uint64_t id, start, end;
  float c;
};

template <class Term>
std::vector<RefBlock> ref_blocks(std::size_t dims, std::size_t w, Term term) {
  std::vector<RefBlock> out;
  for (std::size_t j = 0; j * w < dims; ++j) {
    const std::size_t s = j * w, e = std::min(dims, (j + 1) * w);
    float acc = 0.0f;
    for (std::size_t d = s; d < e; ++d) acc = add(acc, term(d));
    out.push_back({j, s, e, acc});
  }
  return out;
}

std::vector<RefBlock> ref_explain(Metric m, const float* q, const float* x, std::size_t dims,
                                  std::size_t w) {
  if (m != Metric::Euclidean)
    return ref_blocks(dims, w, [&](std::size_t d) { return mul(q[d], x[d]); });
  auto blocks = ref_blocks(dims, w, [&](std::size_t d) {
    const float diff = sub(q[d], x[d]);
    return mul(diff, diff);
  });
  for (RefBlock& b : blocks) b.c = -b.c;
  return blocks;
}

std::vector<RefBlock> ref_compare(Metric m, const float* q, const float* a, const float* b,
                                  std::size_t dims, std::size_t w) {
  if (m != Metric::Euclidean)
    return ref_blocks(dims, w, [&](std::size_t d) { return mul(sub(a[d], b[d]), q[d]); });
  auto to_b = ref_blocks(dims, w, [&](std::size_t d) {
    const float diff = sub(q[d], b[d]);
    return mul(diff, diff);
  });
  const auto to_a = ref_blocks(dims, w, [&](std::size_t d) {
    const float diff = sub(q[d], a[d]);
    return mul(diff, diff);
  });
  for (std::size_t i = 0; i < to_b.size(); ++i) to_b[i].c = sub(to_b[i].c, to_a[i].c);
  return to_b;
}

// Magnitude bits descending, then block id ascending, with a plain sort.
void ref_sort(std::vector<RefBlock>& blocks) {
  std::sort(blocks.begin(), blocks.end(), [](const RefBlock& a, const RefBlock& b) {
    const std::uint32_t ka = bits(a.c) & 0x7fffffffu, kb = bits(b.c) & 0x7fffffffu;
    return std::tie(kb, a.id) < std::tie(ka, b.id);
  });
}

float ref_residual(const std::vector<RefBlock>& sorted, std::size_t top) {
  float acc = 0.0f;
  for (std::size_t i = top; i < sorted.size(); ++i) acc = add(acc, sorted[i].c);
  return acc;
}

void expect_listing(const std::vector<BlockContribution>& got, std::vector<RefBlock> want,
                    std::uint64_t num_blocks, float residual, std::size_t top) {
  EXPECT_EQ(num_blocks, want.size());
  ref_sort(want);
  const std::size_t listed = std::min(top, want.size());
  ASSERT_EQ(got.size(), listed);
  for (std::size_t i = 0; i < listed; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(got[i].block_id, want[i].id);
    EXPECT_EQ(got[i].start, want[i].start);
    EXPECT_EQ(got[i].end, want[i].end);
    EXPECT_EQ(bits(got[i].contribution), bits(want[i].c));
  }
  EXPECT_EQ(bits(residual), bits(ref_residual(want, top)));
}

std::vector<std::uint64_t> ids(const std::vector<BlockContribution>& blocks) {
  std::vector<std::uint64_t> out;
  for (const auto& b : blocks) out.push_back(b.block_id);
  return out;
}

Explanation must_explain(const SearchEngine& e, const std::vector<float>& q, std::uint64_t idx,
                         std::uint64_t w, std::uint64_t top) {
  auto r = explain(e, q, idx, w, top);
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error());
  return r ? std::move(*r) : Explanation{};
}

Comparison must_compare(const SearchEngine& e, const std::vector<float>& q, std::uint64_t a,
                        std::uint64_t b, std::uint64_t w, std::uint64_t top) {
  auto r = compare(e, q, a, b, w, top);
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error());
  return r ? std::move(*r) : Comparison{};
}

// ---------------------------------------------------------------------------
// Against the reference
// ---------------------------------------------------------------------------

class ExplainGrid : public ::testing::TestWithParam<std::tuple<Metric, std::size_t, std::size_t>> {
};

TEST_P(ExplainGrid, ExplainMatchesReference) {
  const auto [metric, w, top] = GetParam();
  constexpr std::uint32_t kDims = 37, kRows = 12;
  const std::vector<float> data = testing::random_values(kDims * kRows, 31);
  auto e = open_index(kDims, kRows, metric, data);
  ASSERT_TRUE(e);
  const std::vector<float> q = testing::random_values(kDims, 32);
  for (std::uint64_t idx : {0u, 5u, 11u}) {
    SCOPED_TRACE(idx);
    const Explanation r = must_explain(*e, q, idx, w, top);
    const float score = kernels::compute_score(metric, q.data(), e->row(idx), kDims);
    EXPECT_EQ(bits(r.score_total), bits(metric == Metric::Euclidean ? -score : score));
    expect_listing(r.blocks, ref_explain(metric, q.data(), e->row(idx), kDims, w), r.num_blocks,
                   r.residual, top);
  }
}

TEST_P(ExplainGrid, CompareMatchesReference) {
  const auto [metric, w, top] = GetParam();
  constexpr std::uint32_t kDims = 37, kRows = 12;
  const std::vector<float> data = testing::random_values(kDims * kRows, 33);
  auto e = open_index(kDims, kRows, metric, data);
  ASSERT_TRUE(e);
  const std::vector<float> q = testing::random_values(kDims, 34);
  for (auto [a, b] : {std::pair{0u, 1u}, std::pair{7u, 3u}, std::pair{11u, 0u}}) {
    SCOPED_TRACE(a);
    const Comparison r = must_compare(*e, q, a, b, w, top);
    const float sa = kernels::compute_score(metric, q.data(), e->row(a), kDims);
    const float sb = kernels::compute_score(metric, q.data(), e->row(b), kDims);
    EXPECT_EQ(bits(r.score_a), bits(sa));
    EXPECT_EQ(bits(r.score_b), bits(sb));
    EXPECT_EQ(bits(r.delta_score_space),
              bits(metric == Metric::Euclidean ? sub(sb, sa) : sub(sa, sb)));
    expect_listing(r.blocks, ref_compare(metric, q.data(), e->row(a), e->row(b), kDims, w),
                   r.num_blocks, r.residual, top);
  }
}

std::string grid_name(
    const ::testing::TestParamInfo<std::tuple<Metric, std::size_t, std::size_t>>& p) {
  const auto& [metric, bs, top] = p.param;
  return std::string(metric_name(metric)) + "_bs" + std::to_string(bs) + "_top" +
         std::to_string(top);
}

INSTANTIATE_TEST_SUITE_P(
    Grid, ExplainGrid,
    ::testing::Combine(::testing::Values(Metric::Cosine, Metric::Dot, Metric::Euclidean),
                       ::testing::Values(std::size_t{1}, std::size_t{3}, std::size_t{8},
                                         std::size_t{16}, std::size_t{37}, std::size_t{100}),
                       ::testing::Values(std::size_t{1}, std::size_t{2}, std::size_t{5},
                                         std::size_t{1000})),
    grid_name);

// ---------------------------------------------------------------------------
// Argument checks, in their order
// ---------------------------------------------------------------------------

TEST(ExplainChecks, MessagesAndOrder) {
  const std::vector<float> data = testing::random_values(3 * 4, 35);
  auto e = open_index(4, 3, Metric::Dot, data);
  ASSERT_TRUE(e);
  const std::vector<float> q = {1, 2, 3, 4};
  const std::vector<float> short_q = {1, 2, 3};

  auto x = explain(*e, short_q, 99, 0, 0);
  ASSERT_FALSE(x);
  EXPECT_EQ(x.error(), "Query dimensions 3 != index dimensions 4");
  x = explain(*e, q, 3, 0, 0);  // the index is checked before the sizes
  ASSERT_FALSE(x);
  EXPECT_EQ(x.error(), "Index out of bounds");
  x = explain(*e, q, 2, 0, 0);
  ASSERT_FALSE(x);
  EXPECT_EQ(x.error(), "block_size must be > 0");
  x = explain(*e, q, 2, 1, 0);
  ASSERT_FALSE(x);
  EXPECT_EQ(x.error(), "top_blocks must be > 0");
  EXPECT_TRUE(explain(*e, q, 2, 1, 1));

  auto c = compare(*e, std::vector<float>(5, 0.0f), 7, 8, 0, 0);
  ASSERT_FALSE(c);
  EXPECT_EQ(c.error(), "Query dimensions 5 != index dimensions 4");
  c = compare(*e, q, 0, 3, 0, 0);
  ASSERT_FALSE(c);
  EXPECT_EQ(c.error(), "Index out of bounds");
  c = compare(*e, q, UINT64_MAX, 0, 1, 1);
  ASSERT_FALSE(c);
  EXPECT_EQ(c.error(), "Index out of bounds");
  c = compare(*e, q, 0, 1, 0, 1);
  ASSERT_FALSE(c);
  EXPECT_EQ(c.error(), "block_size must be > 0");
  c = compare(*e, q, 0, 1, 2, 0);
  ASSERT_FALSE(c);
  EXPECT_EQ(c.error(), "top_blocks must be > 0");
  EXPECT_TRUE(compare(*e, q, 2, 2, 1, 1));
}

// ---------------------------------------------------------------------------
// Block layout, order and residual
// ---------------------------------------------------------------------------

TEST(Explain, BlockSizeAtLeastDimsGivesOneBlock) {
  const std::vector<float> data = testing::random_values(2 * 9, 36);
  auto e = open_index(9, 2, Metric::Cosine, data);
  ASSERT_TRUE(e);
  const std::vector<float> q = testing::random_values(9, 37);
  for (std::uint64_t w : {std::uint64_t{9}, std::uint64_t{10}, UINT64_MAX}) {
    const Explanation r = must_explain(*e, q, 1, w, 3);
    EXPECT_EQ(r.num_blocks, 1u);
    ASSERT_EQ(r.blocks.size(), 1u);
    EXPECT_EQ(r.blocks[0].block_id, 0u);
    EXPECT_EQ(r.blocks[0].start, 0u);
    EXPECT_EQ(r.blocks[0].end, 9u);
    EXPECT_EQ(bits(r.residual), bits(0.0f));
  }
}

TEST(Explain, ListsEveryBlockWhenTopBlocksCoversThem) {
  const std::vector<float> data = testing::random_values(1 * 10, 38);
  auto e = open_index(10, 1, Metric::Dot, data);
  ASSERT_TRUE(e);
  const std::vector<float> q = testing::random_values(10, 39);
  for (std::uint64_t top : {std::uint64_t{4}, std::uint64_t{5}, UINT64_MAX}) {
    const Explanation r = must_explain(*e, q, 0, 3, top);
    EXPECT_EQ(r.num_blocks, 4u);
    EXPECT_EQ(r.blocks.size(), 4u);
    EXPECT_EQ(bits(r.residual), bits(0.0f));
    std::vector<std::uint64_t> seen = ids(r.blocks);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::uint64_t>{0, 1, 2, 3}));
    for (const auto& b : r.blocks) {
      EXPECT_EQ(b.start, b.block_id * 3);
      EXPECT_EQ(b.end, std::min<std::uint64_t>(b.start + 3, 10));
    }
  }
}

TEST(Explain, SingleDimensionBlocksLowestDimensionWinsATie) {
  auto e = open_index(4, 1, Metric::Dot, std::vector<float>{0.5f, -2.0f, 2.0f, 1.0f});
  ASSERT_TRUE(e);
  const Explanation r = must_explain(*e, {1, 1, 1, 1}, 0, 1, 1);
  ASSERT_EQ(r.blocks.size(), 1u);
  EXPECT_EQ(r.blocks[0].block_id, 1u);
  EXPECT_EQ(r.blocks[0].start, 1u);
  EXPECT_EQ(r.blocks[0].end, 2u);
  EXPECT_EQ(r.blocks[0].contribution, -2.0f);
  EXPECT_EQ(r.residual, 3.5f);  // 2 + 1 + 0.5
  EXPECT_EQ(r.num_blocks, 4u);
}

TEST(Explain, OppositeSignsOfEqualMagnitudeKeepBlockOrder) {
  auto e =
      open_index(3, 2, Metric::Dot, std::vector<float>{0.5f, -0.5f, 0.25f, -0.5f, 0.5f, 0.75f});
  ASSERT_TRUE(e);
  const std::vector<float> q = {1, 1, 1};
  EXPECT_EQ(ids(must_explain(*e, q, 0, 1, 10).blocks), (std::vector<std::uint64_t>{0, 1, 2}));
  EXPECT_EQ(ids(must_explain(*e, q, 1, 1, 10).blocks), (std::vector<std::uint64_t>{2, 0, 1}));
}

TEST(Explain, ResidualIsSummedInSortedOrder) {
  // Sorted: 2e8 (listed), then 1e8, -1e8, 1 -> 1e8 - 1e8 + 1 = 1. In natural
  // order the 1 would be absorbed by 1e8 and the residual would be 0.
  auto e = open_index(4, 1, Metric::Dot, std::vector<float>{1.0f, 1e8f, -1e8f, 2e8f});
  ASSERT_TRUE(e);
  const Explanation r = must_explain(*e, {1, 1, 1, 1}, 0, 1, 1);
  ASSERT_EQ(r.blocks.size(), 1u);
  EXPECT_EQ(r.blocks[0].block_id, 3u);
  EXPECT_EQ(r.residual, 1.0f);
}

TEST(Explain, NonFiniteQueryIsReportedWithNaNFirst) {
  auto e = open_index(8, 1, Metric::Dot, std::vector<float>(8, 1.0f));
  ASSERT_TRUE(e);
  // Blocks of 2: [inf+1] = inf, [2], [NaN+1] = NaN, [NaN] = NaN.
  const std::vector<float> q = {kInf, 1, 1, 1, kNaN, 1, 1, kNaN};
  const Explanation r = must_explain(*e, q, 0, 2, 3);
  EXPECT_TRUE(std::isnan(r.score_total));
  EXPECT_EQ(ids(r.blocks), (std::vector<std::uint64_t>{2, 3, 0}));
  EXPECT_TRUE(std::isnan(r.blocks[0].contribution));
  EXPECT_TRUE(std::isnan(r.blocks[1].contribution));
  EXPECT_EQ(r.blocks[2].contribution, kInf);
  EXPECT_EQ(r.residual, 2.0f);

  // Under euclidean the sign flip leaves NaN first as well.
  auto l2 = open_index(4, 1, Metric::Euclidean, std::vector<float>{0, 0, 0, 0});
  ASSERT_TRUE(l2);
  const Explanation r2 = must_explain(*l2, {3, 0, 0, kNaN}, 0, 1, 2);
  EXPECT_EQ(ids(r2.blocks), (std::vector<std::uint64_t>{3, 0}));
  EXPECT_EQ(r2.blocks[1].contribution, -9.0f);
  EXPECT_EQ(bits(r2.residual), bits(0.0f));  // -0 + -0 from +0

  const Comparison c = must_compare(*e, q, 0, 0, 4, 1);
  EXPECT_TRUE(std::isnan(c.score_a));
  EXPECT_TRUE(std::isnan(c.delta_score_space));
}

// ---------------------------------------------------------------------------
// Signs and self-comparison
// ---------------------------------------------------------------------------

TEST(Explain, EuclideanContributionsAreNonPositive) {
  constexpr std::uint32_t kDims = 21, kRows = 5;
  std::vector<float> data = testing::random_values(kDims * kRows, 40);
  const std::vector<float> q = testing::random_values(kDims, 41);
  std::copy(q.begin(), q.end(), data.begin() + 2 * kDims);  // row 2 equals the query
  auto e = open_index(kDims, kRows, Metric::Euclidean, data);
  ASSERT_TRUE(e);
  for (std::uint64_t idx = 0; idx < kRows; ++idx) {
    const Explanation r = must_explain(*e, q, idx, 4, 100);
    EXPECT_LE(r.score_total, 0.0f);
    for (const auto& b : r.blocks) EXPECT_LE(b.contribution, 0.0f);
    if (idx == 2) {
      EXPECT_EQ(r.score_total, 0.0f);
      EXPECT_EQ(ids(r.blocks), (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5}));
    } else {
      EXPECT_LT(r.score_total, 0.0f);
    }
  }
}

TEST(Compare, RowWithItselfIsAllZero) {
  constexpr std::uint32_t kDims = 19, kRows = 4;
  const std::vector<float> data = testing::random_values(kDims * kRows, 42);
  const std::vector<float> q = testing::random_values(kDims, 43);
  for (Metric m : {Metric::Cosine, Metric::Dot, Metric::Euclidean}) {
    auto e = open_index(kDims, kRows, m, data);
    ASSERT_TRUE(e);
    const Comparison r = must_compare(*e, q, 3, 3, 5, 10);
    EXPECT_EQ(bits(r.score_a), bits(r.score_b));
    EXPECT_EQ(bits(r.delta_score_space), bits(0.0f));
    EXPECT_EQ(r.num_blocks, 4u);
    EXPECT_EQ(ids(r.blocks), (std::vector<std::uint64_t>{0, 1, 2, 3}));
    for (const auto& b : r.blocks) EXPECT_EQ(b.contribution, 0.0f);
    EXPECT_EQ(bits(r.residual), bits(0.0f));
  }
}

TEST(Compare, PositiveDeltaMeansRowAIsBetter) {
  // Row 0 is the query itself; row 1 is far away.
  const std::vector<float> data = {0.6f, 0.8f, 0.0f, -0.8f, 0.6f, 0.0f};
  const std::vector<float> q = {0.6f, 0.8f, 0.0f};
  for (Metric m : {Metric::Dot, Metric::Euclidean}) {
    auto e = open_index(3, 2, m, data);
    ASSERT_TRUE(e);
    EXPECT_GT(must_compare(*e, q, 0, 1, 1, 3).delta_score_space, 0.0f);
    EXPECT_LT(must_compare(*e, q, 1, 0, 1, 3).delta_score_space, 0.0f);
  }
}

TEST(Explain, ZeroDimensionIndexHasNoBlocks) {
  auto e = open_index(0, 3, Metric::Euclidean, {});
  ASSERT_TRUE(e);
  const Explanation r = must_explain(*e, {}, 2, 4, 1);
  EXPECT_EQ(r.num_blocks, 0u);
  EXPECT_TRUE(r.blocks.empty());
  EXPECT_EQ(r.residual, 0.0f);
  EXPECT_EQ(r.score_total, 0.0f);
  const Comparison c = must_compare(*e, {}, 0, 2, 4, 1);
  EXPECT_EQ(c.num_blocks, 0u);
  EXPECT_EQ(c.delta_score_space, 0.0f);
}

TEST(ExplainDetail, SortAndFoldDirectly) {
  std::vector<BlockContribution> blocks = {
      {0, 0, 1, 1.0f}, {1, 1, 2, -kInf}, {2, 2, 3, -kNaN}, {3, 3, 4, 0.5f}, {4, 4, 5, -1.0f}};
  explain_detail::sort_by_magnitude(blocks);
  EXPECT_EQ(ids(blocks), (std::vector<std::uint64_t>{2, 1, 0, 4, 3}));
  const float residual = explain_detail::fold_residual(blocks, 3);
  EXPECT_EQ(ids(blocks), (std::vector<std::uint64_t>{2, 1, 0}));
  EXPECT_EQ(residual, -0.5f);

  // +0.0 and -0.0 have different bit patterns but compare equal: a tie.
  std::vector<BlockContribution> zeros = {
      {0, 0, 1, 0.0f}, {1, 1, 2, -0.0f}, {2, 2, 3, 0.0f}, {3, 3, 4, -0.0f}};
  explain_detail::sort_by_magnitude(zeros);
  EXPECT_EQ(ids(zeros), (std::vector<std::uint64_t>{0, 1, 2, 3}));
}

}  // namespace
}  // namespace lumvero
