// Certified exact search: answers against a brute-force reference, the
// certificate's counters, logs and texts, hand-worked bound values, and the
// batch helper.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include "engine/certify/certified.h"
#include "engine/kernels/cpu_features.h"
#include "engine/kernels/kernels.h"
#include "engine/search_engine.h"
#include "index_fixture.h"

namespace lumvero {
namespace {

using testing::bits;
using testing::brute_force;
using testing::open_index;
using testing::same_rows;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

const char* const kUpperRule = "upper_bound = partial_dot + ||q_rem||*||x||";
const char* const kLowerRule =
    "lower_bound_l2 = ||q||^2 + ||x||^2 - 2*(partial_dot + ||q_rem||*||x||)";

CertifiedResult run(const SearchEngine& e, const std::vector<float>& q, std::size_t k,
                    std::size_t bs, bool pruning) {
  auto r = e.query_certified(q, k, bs, pruning);
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error());
  return r ? std::move(*r) : CertifiedResult{};
}

// Every field except the elapsed time.
void expect_same_record(const CertifiedResult& a, const CertifiedResult& b) {
  EXPECT_TRUE(same_rows(a.results, b.results));
  EXPECT_EQ(a.method_used, b.method_used);
  EXPECT_EQ(a.bound_rule, b.bound_rule);
  EXPECT_EQ(a.block_order, b.block_order);
  ASSERT_EQ(a.threshold_evolution.size(), b.threshold_evolution.size());
  for (std::size_t i = 0; i < a.threshold_evolution.size(); ++i)
    EXPECT_EQ(bits(a.threshold_evolution[i]), bits(b.threshold_evolution[i]));
  EXPECT_EQ(a.simd_path, b.simd_path);
  EXPECT_EQ(a.compile_flags, b.compile_flags);
  ASSERT_EQ(a.pruned_bound_values.size(), b.pruned_bound_values.size());
  for (std::size_t i = 0; i < a.pruned_bound_values.size(); ++i)
    EXPECT_EQ(bits(a.pruned_bound_values[i]), bits(b.pruned_bound_values[i]));
  EXPECT_EQ(a.bound_kind, b.bound_kind);
  EXPECT_EQ(a.total_candidates, b.total_candidates);
  EXPECT_EQ(a.pruned_candidates, b.pruned_candidates);
  EXPECT_EQ(a.full_evaluated, b.full_evaluated);
  EXPECT_EQ(a.block_size, b.block_size);
  EXPECT_EQ(bits(a.kth_score), bits(b.kth_score));
  EXPECT_EQ(a.safe, b.safe);
  EXPECT_EQ(a.enable_pruning, b.enable_pruning);
}

// What the test itself reads from CPUID, to check the reported path.
// ---------------------------------------------------------------------------
// Argument checks and the empty answer
// ---------------------------------------------------------------------------

TEST(CertifiedSearch, RefusesWrongQueryLength) {
  const std::vector<float> data = testing::random_values(4 * 3, 1);
  auto e = open_index(3, 4, Metric::Dot, data);
  ASSERT_TRUE(e);
  auto r = e->query_certified(std::vector<float>{1, 2}, 2, 64, true);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "Query dimension 2 != index dimension 3");
  // The length is checked before the values and before k = 0 short-cuts.
  r = e->query_certified(std::vector<float>{kNaN, 1, 2, 3}, 0, 64, true);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "Query dimension 4 != index dimension 3");
}

TEST(CertifiedSearch, RefusesNonFiniteQueryEvenForKZero) {
  const std::vector<float> data = testing::random_values(4 * 3, 2);
  auto e = open_index(3, 4, Metric::Euclidean, data);
  ASSERT_TRUE(e);
  for (float bad : {kNaN, kInf, -kInf}) {
    for (std::size_t k : {std::size_t{0}, std::size_t{2}}) {
      auto r = e->query_certified(std::vector<float>{0.5f, bad, 0.25f}, k, 1, true);
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error(), "Query vector contains non-finite values");
    }
  }
}

void expect_empty_answer(const CertifiedResult& r, std::uint64_t rows, std::uint64_t bs,
                         bool pruning) {
  EXPECT_TRUE(r.results.empty());
  EXPECT_EQ(r.method_used, "exact-certified");
  EXPECT_EQ(r.query_time_ms, 0.0);
  EXPECT_FALSE(std::signbit(r.query_time_ms));
  EXPECT_EQ(r.bound_rule, "empty-result");
  EXPECT_TRUE(r.block_order.empty());
  EXPECT_TRUE(r.threshold_evolution.empty());
  EXPECT_EQ(r.simd_path, testing::expected_simd_path());
  EXPECT_EQ(r.compile_flags, "arch=x86_64");
  EXPECT_TRUE(r.pruned_bound_values.empty());
  EXPECT_EQ(r.bound_kind, "none");
  EXPECT_EQ(r.total_candidates, rows);
  EXPECT_EQ(r.pruned_candidates, 0u);
  EXPECT_EQ(r.full_evaluated, 0u);
  EXPECT_EQ(r.block_size, bs);
  EXPECT_EQ(bits(r.kth_score), bits(0.0f));
  EXPECT_TRUE(r.safe);
  EXPECT_EQ(r.enable_pruning, pruning);
}

TEST(CertifiedSearch, KZeroGivesTheEmptyAnswer) {
  const std::vector<float> data = testing::random_values(5 * 4, 3);
  auto e = open_index(4, 5, Metric::Cosine, data);
  ASSERT_TRUE(e);
  const std::vector<float> q = {0.1f, 0.2f, 0.3f, 0.4f};
  expect_empty_answer(run(*e, q, 0, 0, true), 5, 1, true);  // block size 0 reported as 1
  expect_empty_answer(run(*e, q, 0, 7, false), 5, 7, false);
}

TEST(CertifiedSearch, IndexWithoutRowsGivesTheEmptyAnswer) {
  for (Metric m : {Metric::Cosine, Metric::Dot, Metric::Euclidean}) {
    auto e = open_index(4, 0, m, {});
    ASSERT_TRUE(e);
    expect_empty_answer(run(*e, {1, 2, 3, 4}, 10, 64, true), 0, 64, true);
  }
}

// ---------------------------------------------------------------------------
// Hand-worked scans: every counter, log entry and bound value
// ---------------------------------------------------------------------------

// q = [1, 0.5], one dimension per block: energies 1 and 0.25, so block 0 is
// visited first, and rem is 0.5 after it and 0 after block 1.
TEST(CertifiedSearch, HandWorkedUpperBoundScan) {
  const std::vector<float> data = {
      1.0f, 0.0f,  // 0: score 1, fills the heap (k = 1)
      0.0f, 0.0f,  // 1: bound 0.001 after block 0 -> skipped
      2.0f, 0.0f,  // 2: survives both blocks, score 2 replaces row 0
      0.5f, 0.5f,  // 3: bound ~0.855 after block 0 -> skipped
      1.5f, 0.9f,  // 4: bound ~2.38 after block 0, ~1.951 after block 1 -> skipped
  };
  auto e = open_index(2, 5, Metric::Dot, data);
  ASSERT_TRUE(e);
  const std::vector<float> q = {1.0f, 0.5f};
  const CertifiedResult r = run(*e, q, 1, 1, true);

  EXPECT_EQ(r.method_used, "exact-certified-pruning");
  EXPECT_EQ(r.bound_rule, kUpperRule);
  EXPECT_EQ(r.bound_kind, "upper_bound");
  EXPECT_EQ(r.block_order, (std::vector<std::uint64_t>{0, 1}));
  EXPECT_TRUE(same_rows(r.results, {{2, 2.0f}}));
  EXPECT_EQ(r.total_candidates, 5u);
  EXPECT_EQ(r.full_evaluated, 2u);
  EXPECT_EQ(r.pruned_candidates, 3u);
  EXPECT_EQ(r.threshold_evolution, (std::vector<float>{1.0f, 2.0f}));
  EXPECT_EQ(r.kth_score, 2.0f);
  EXPECT_EQ(r.block_size, 1u);

  const double n3 = e->norms[3], n4 = e->norms[4];
  const double p4 = 1.5 + static_cast<double>(0.9f * 0.5f);
  const std::vector<float> want = {
      static_cast<float>((0.0 * 0.5 + 0.0) + 0.001),
      static_cast<float>((n3 * 0.5 + 0.5) + 0.001),
      static_cast<float>((n4 * 0.0 + p4) + 0.001),
  };
  ASSERT_EQ(r.pruned_bound_values.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i)
    EXPECT_EQ(bits(r.pruned_bound_values[i]), bits(want[i])) << "bound " << i;
  EXPECT_TRUE(r.safe);
}

TEST(CertifiedSearch, HandWorkedLowerBoundScan) {
  const std::vector<float> data = {
      1.0f, 0.5f,  // 0: distance 0, fills the heap
      0.0f, 0.0f,  // 1: LB = 1.25 - 2*0.001 after block 0 -> skipped
      1.0f, 0.5f,  // 2: LB -0.002 after both blocks, scored: an equal score never replaces
      1.0f, 0.4f,  // 3: LB ~0.008 after block 1 -> skipped
  };
  auto e = open_index(2, 4, Metric::Euclidean, data);
  ASSERT_TRUE(e);
  const std::vector<float> q = {1.0f, 0.5f};
  const CertifiedResult r = run(*e, q, 1, 1, true);

  EXPECT_EQ(r.bound_rule, kLowerRule);
  EXPECT_EQ(r.bound_kind, "lower_bound");
  EXPECT_EQ(r.block_order, (std::vector<std::uint64_t>{0, 1}));
  EXPECT_TRUE(same_rows(r.results, {{0, 0.0f}}));
  EXPECT_EQ(r.full_evaluated, 2u);
  EXPECT_EQ(r.pruned_candidates, 2u);
  EXPECT_EQ(r.threshold_evolution, (std::vector<float>{0.0f}));

  const double qe = 1.25;
  const double n3 = e->norms[3];
  const double p3 = 1.0 + static_cast<double>(0.4f * 0.5f);
  const std::vector<float> want = {
      static_cast<float>((0.0 + qe) - 2.0 * ((0.0 * 0.5 + 0.0) + 0.001)),
      static_cast<float>((e->norms_sq[3] + qe) - 2.0 * ((n3 * 0.0 + p3) + 0.001)),
  };
  ASSERT_EQ(r.pruned_bound_values.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i)
    EXPECT_EQ(bits(r.pruned_bound_values[i]), bits(want[i])) << "bound " << i;
  EXPECT_TRUE(r.safe);
}

// A bound just below the k-th score in f64 that rounds up to it in f32: the
// skip was sound, but the f32 certificate check cannot confirm it.
TEST(CertifiedSearch, SafeIsJudgedOnTheF32Bounds) {
  const float x0 = 0.999f;
  const float x1 = -2.5e-8f;
  const std::vector<float> data = {1.0f, 0.0f, x0, x1};
  auto e = open_index(2, 2, Metric::Dot, data);
  ASSERT_TRUE(e);
  const double bound = (0.0 + (double(x0) + double(x1))) + 0.001;
  ASSERT_LT(bound, 1.0);                       // row 1 is skipped...
  ASSERT_EQ(static_cast<float>(bound), 1.0f);  // ...on a bound that rounds to kth
  const CertifiedResult r = run(*e, {1.0f, 1.0f}, 1, 1, true);
  EXPECT_EQ(r.pruned_candidates, 1u);
  ASSERT_EQ(r.pruned_bound_values.size(), 1u);
  EXPECT_EQ(r.pruned_bound_values[0], 1.0f);
  EXPECT_EQ(r.kth_score, 1.0f);
  EXPECT_FALSE(r.safe);
  EXPECT_TRUE(same_rows(r.results, {{0, 1.0f}}));
}

// ---------------------------------------------------------------------------
// Block handling
// ---------------------------------------------------------------------------

TEST(CertifiedSearch, BlockSizeZeroActsAsOne) {
  const std::vector<float> data = testing::random_values(40 * 6, 4);
  auto e = open_index(6, 40, Metric::Dot, data);
  ASSERT_TRUE(e);
  const std::vector<float> q = {0.1f, -0.9f, 0.3f, 0.05f, 0.7f, -0.2f};
  const CertifiedResult zero = run(*e, q, 3, 0, true);
  const CertifiedResult one = run(*e, q, 3, 1, true);
  EXPECT_EQ(zero.block_size, 1u);
  EXPECT_EQ(zero.block_order, (std::vector<std::uint64_t>{1, 4, 2, 5, 0, 3}));
  expect_same_record(zero, one);
}

TEST(CertifiedSearch, BlockSizeAtLeastDimsGivesOneBlock) {
  const std::vector<float> data = testing::random_values(30 * 5, 5);
  auto e = open_index(5, 30, Metric::Cosine, data);
  ASSERT_TRUE(e);
  const std::vector<float> q = {0.3f, 0.1f, -0.4f, 0.8f, 0.2f};
  const auto want = brute_force(*e, q, 4);
  for (std::size_t bs :
       {std::size_t{5}, std::size_t{6}, std::size_t{64}, std::numeric_limits<std::size_t>::max()}) {
    const CertifiedResult r = run(*e, q, 4, bs, true);
    EXPECT_EQ(r.block_order, (std::vector<std::uint64_t>{0})) << bs;
    EXPECT_EQ(r.block_size, bs);
    EXPECT_TRUE(same_rows(r.results, want)) << bs;
  }
}

TEST(CertifiedSearch, ZeroQueryVisitsBlocksInNaturalOrder) {
  const std::vector<float> data = testing::random_values(20 * 10, 6);
  for (Metric m : {Metric::Dot, Metric::Euclidean}) {
    auto e = open_index(10, 20, m, data);
    ASSERT_TRUE(e);
    const std::vector<float> q(10, 0.0f);
    const CertifiedResult r = run(*e, q, 2, 3, true);
    EXPECT_EQ(r.block_order, (std::vector<std::uint64_t>{0, 1, 2, 3}));
    EXPECT_TRUE(same_rows(r.results, brute_force(*e, q, 2)));
    EXPECT_EQ(r.full_evaluated + r.pruned_candidates, 20u);
  }
  // -0.0 squares to +0.0 as well.
  auto e = open_index(10, 20, Metric::Dot, data);
  ASSERT_TRUE(e);
  std::vector<float> q(10, -0.0f);
  EXPECT_EQ(run(*e, q, 2, 1, true).block_order,
            (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST(CertifiedSearch, BlockOrderByEnergyThenIndex) {
  const std::vector<float> data = testing::random_values(8 * 10, 7);
  auto e = open_index(10, 8, Metric::Dot, data);
  ASSERT_TRUE(e);
  // Blocks of 3: energies 1, 4, 1, 4 (the last block holds one dimension).
  const std::vector<float> q = {1, 0, 0, 0, 2, 0, 0, 0, -1, -2};
  EXPECT_EQ(run(*e, q, 1, 3, true).block_order, (std::vector<std::uint64_t>{1, 3, 0, 2}));

  // Against energies recomputed here in f64 for random queries and widths.
  for (std::uint32_t seed = 0; seed < 20; ++seed) {
    const std::vector<float> rq = testing::random_values(10, 100 + seed);
    for (std::size_t bs : {1, 2, 3, 4, 7}) {
      std::vector<std::pair<double, std::uint64_t>> energy;
      for (std::size_t s = 0; s < 10; s += bs) {
        double acc = 0.0;
        for (std::size_t d = s; d < std::min<std::size_t>(s + bs, 10); ++d)
          acc += double(rq[d]) * double(rq[d]);
        energy.emplace_back(-acc, energy.size());
      }
      std::sort(energy.begin(), energy.end());
      std::vector<std::uint64_t> want;
      for (const auto& p : energy) want.push_back(p.second);
      EXPECT_EQ(run(*e, rq, 2, bs, true).block_order, want) << "seed " << seed << " bs " << bs;
    }
  }
}

// ---------------------------------------------------------------------------
// Scan behaviour
// ---------------------------------------------------------------------------

TEST(CertifiedSearch, WithoutPruningEveryRowIsScored) {
  const std::vector<float> data = testing::random_values(200 * 12, 8);
  for (Metric m : {Metric::Cosine, Metric::Dot, Metric::Euclidean}) {
    auto e = open_index(12, 200, m, data);
    ASSERT_TRUE(e);
    const std::vector<float> q = testing::random_values(12, 9);
    const CertifiedResult r = run(*e, q, 5, 4, false);
    EXPECT_EQ(r.method_used, "exact-certified-no-pruning");
    EXPECT_EQ(r.pruned_candidates, 0u);
    EXPECT_EQ(r.full_evaluated, 200u);
    EXPECT_TRUE(r.pruned_bound_values.empty());
    EXPECT_TRUE(r.safe);
    EXPECT_FALSE(r.enable_pruning);
    EXPECT_EQ(r.block_order.size(), 3u);  // still reported
    EXPECT_TRUE(same_rows(r.results, brute_force(*e, q, 5)));
    EXPECT_EQ(r.bound_kind, is_distance(m) ? "lower_bound" : "upper_bound");
    EXPECT_GE(r.query_time_ms, 0.0);
    EXPECT_TRUE(std::isfinite(r.query_time_ms));
  }
}

TEST(CertifiedSearch, KAtLeastRowsScoresEveryRow) {
  // The last row is the worst, so the single threshold entry shows it was
  // logged when the last row filled the heap.
  const std::vector<float> data = {0.9f, 0.1f, 0.5f, 0.5f, 0.2f, 0.8f, 0.7f, 0.7f, -1.0f, -1.0f};
  auto e = open_index(2, 5, Metric::Dot, data);
  ASSERT_TRUE(e);
  const std::vector<float> q = {1.0f, 1.0f};
  for (std::size_t k : {std::size_t{5}, std::size_t{6}, std::size_t{1000}}) {
    const CertifiedResult r = run(*e, q, k, 1, true);
    EXPECT_EQ(r.full_evaluated, 5u);
    EXPECT_EQ(r.pruned_candidates, 0u);
    EXPECT_EQ(r.threshold_evolution, (std::vector<float>{-2.0f}));
    EXPECT_EQ(r.kth_score, -2.0f);
    EXPECT_TRUE(same_rows(r.results, brute_force(*e, q, 5)));
    EXPECT_TRUE(r.safe);
  }
}

TEST(CertifiedSearch, LogsStopAt2048WhileCountersContinue) {
  // Rows 0..2999 score 1..3000 (each replaces the k-th), rows 3000..5999
  // score 0 and are skipped on the bound 0.001.
  constexpr std::uint32_t kRising = 3000, kLow = 3000;
  std::vector<float> data;
  for (std::uint32_t i = 0; i < kRising; ++i) data.push_back(static_cast<float>(i + 1));
  data.resize(kRising + kLow, 0.0f);
  auto e = open_index(1, kRising + kLow, Metric::Dot, data);
  ASSERT_TRUE(e);
  const CertifiedResult r = run(*e, {1.0f}, 1, 64, true);
  EXPECT_EQ(r.full_evaluated, kRising);
  EXPECT_EQ(r.pruned_candidates, kLow);
  ASSERT_EQ(r.threshold_evolution.size(), 2048u);
  for (std::size_t i = 0; i < 2048; ++i)
    ASSERT_EQ(r.threshold_evolution[i], static_cast<float>(i + 1)) << i;
  ASSERT_EQ(r.pruned_bound_values.size(), 2048u);
  for (float b : r.pruned_bound_values) ASSERT_EQ(bits(b), bits(static_cast<float>(0.001)));
  EXPECT_TRUE(same_rows(r.results, {{kRising - 1, 3000.0f}}));
  EXPECT_TRUE(r.safe);

  const CertifiedResult off = run(*e, {1.0f}, 1, 64, false);
  EXPECT_EQ(off.full_evaluated, kRising + kLow);
  EXPECT_EQ(off.threshold_evolution.size(), 2048u);
}

TEST(CertifiedSearch, NonFiniteRowsAreScoredAndDropped) {
  const std::vector<float> data = {
      kNaN, 1.0f,  // 0: never enters the heap
      0.5f, 0.5f,  // 1
      0.9f, 0.9f,  // 2: fills the heap (k = 2)
      kInf, 0.0f,  // 3: bound is not a number -> scored in full, dropped
      1.0f, kNaN,  // 4: same
      0.1f, 0.1f,  // 5: skipped
  };
  auto e = open_index(2, 6, Metric::Dot, data);
  ASSERT_TRUE(e);
  const std::vector<float> q = {1.0f, 1.0f};
  const CertifiedResult r = run(*e, q, 2, 1, true);
  EXPECT_TRUE(same_rows(r.results, {{2, 1.8f}, {1, 1.0f}}));
  EXPECT_EQ(r.full_evaluated, 5u);
  EXPECT_EQ(r.pruned_candidates, 1u);
  EXPECT_EQ(r.threshold_evolution, (std::vector<float>{1.0f}));
  EXPECT_TRUE(r.safe);

  // Nothing usable at all: no results, k-th score 0.
  const std::vector<float> bad = {kNaN, 0.0f, kInf, 1.0f};
  auto e2 = open_index(2, 2, Metric::Euclidean, bad);
  ASSERT_TRUE(e2);
  const CertifiedResult r2 = run(*e2, q, 1, 1, true);
  EXPECT_TRUE(r2.results.empty());
  EXPECT_EQ(r2.full_evaluated, 2u);
  EXPECT_EQ(bits(r2.kth_score), bits(0.0f));
  EXPECT_TRUE(r2.threshold_evolution.empty());
  EXPECT_TRUE(r2.safe);
  EXPECT_EQ(r2.method_used, "exact-certified-pruning");
}

// The k-th score never gets worse, and the last log entry is the final one.
void expect_threshold_history(const CertifiedResult& r, Metric m) {
  for (std::size_t i = 1; i < r.threshold_evolution.size(); ++i) {
    const float prev = r.threshold_evolution[i - 1], cur = r.threshold_evolution[i];
    if (is_distance(m))
      EXPECT_LE(cur, prev) << i;
    else
      EXPECT_GE(cur, prev) << i;
  }
  if (!r.results.empty() && r.threshold_evolution.size() < certified::kLogCap) {
    ASSERT_FALSE(r.threshold_evolution.empty());
    EXPECT_EQ(bits(r.threshold_evolution.back()), bits(r.kth_score));
  }
}

class CertifiedVsBruteForce
    : public ::testing::TestWithParam<std::tuple<Metric, std::size_t, std::size_t>> {};

TEST_P(CertifiedVsBruteForce, SameRowsAndScoresWithAndWithoutPruning) {
  const auto [metric, bs, k] = GetParam();
  constexpr std::uint32_t kDims = 37, kRows = 300;
  const std::vector<float> data = testing::random_values(kDims * kRows, 11);
  auto e = open_index(kDims, kRows, metric, data);
  ASSERT_TRUE(e);
  for (std::uint32_t seed = 0; seed < 4; ++seed) {
    const std::vector<float> q = testing::random_values(kDims, 50 + seed);
    const auto want = brute_force(*e, q, k);
    const CertifiedResult on = run(*e, q, k, bs, true);
    const CertifiedResult off = run(*e, q, k, bs, false);
    EXPECT_TRUE(same_rows(on.results, want));
    EXPECT_TRUE(same_rows(off.results, want));
    EXPECT_EQ(bits(on.kth_score), bits(want.back().score));
    EXPECT_TRUE(on.safe);
    EXPECT_EQ(on.full_evaluated + on.pruned_candidates, kRows);
    EXPECT_EQ(on.pruned_bound_values.size(), on.pruned_candidates);
    EXPECT_EQ(on.block_size, std::max<std::size_t>(bs, 1));
    expect_threshold_history(on, metric);
    expect_threshold_history(off, metric);
  }
}

std::string grid_name(
    const ::testing::TestParamInfo<std::tuple<Metric, std::size_t, std::size_t>>& p) {
  const auto& [metric, bs, k] = p.param;
  return std::string(metric_name(metric)) + "_bs" + std::to_string(bs) + "_k" + std::to_string(k);
}

INSTANTIATE_TEST_SUITE_P(
    Grid, CertifiedVsBruteForce,
    ::testing::Combine(::testing::Values(Metric::Cosine, Metric::Dot, Metric::Euclidean),
                       ::testing::Values(std::size_t{0}, std::size_t{1}, std::size_t{3},
                                         std::size_t{8}, std::size_t{16}, std::size_t{64}),
                       ::testing::Values(std::size_t{1}, std::size_t{5}, std::size_t{50})),
    grid_name);

TEST(CertifiedSearch, PruningSkipsMostRowsOnClusteredData) {
  constexpr std::size_t kDims = 64, kRows = 4000;
  const auto data = testing::clustered_unit_rows(kRows, kDims, 16, 0.05f, 21);
  for (Metric m : {Metric::Cosine, Metric::Euclidean}) {
    auto e = open_index(kDims, kRows, m, data.rows);
    ASSERT_TRUE(e);
    for (std::size_t c : {0, 5, 11}) {
      const auto q = testing::query_near(data, kDims, c, 0.02f, 300 + c);
      const CertifiedResult r = run(*e, q, 10, 16, true);
      EXPECT_GT(r.pruned_candidates, kRows / 2) << "cluster " << c;
      EXPECT_TRUE(same_rows(r.results, brute_force(*e, q, 10)));
      EXPECT_TRUE(r.safe);
      EXPECT_EQ(r.full_evaluated + r.pruned_candidates, kRows);
      // Every returned row is from the query's cluster.
      for (const ScoredRow& s : r.results) EXPECT_EQ(s.idx % 16, c);
    }
  }
}

TEST(CertifiedSearch, ReportsTextsAndProcessorPath) {
  const std::vector<float> data = testing::random_values(10 * 4, 12);
  auto e = open_index(4, 10, Metric::Cosine, data);
  ASSERT_TRUE(e);
  const CertifiedResult r = run(*e, {1, 0, 0, 0}, 3, 2, true);
  EXPECT_EQ(r.simd_path, testing::expected_simd_path());
  EXPECT_EQ(r.simd_path, cpu::simd_path_name());
  EXPECT_EQ(r.compile_flags, "arch=x86_64");
  EXPECT_EQ(r.bound_rule, kUpperRule);
  EXPECT_EQ(r.total_candidates, 10u);
}

// Designated initialisers must follow declaration order, so this only
// compiles while the record's fields keep their documented order.
// ---------------------------------------------------------------------------
// Batch
// ---------------------------------------------------------------------------

TEST(CertifiedBatch, ResultsInQueryOrder) {
  constexpr std::uint32_t kDims = 16, kRows = 500, kQueries = 23;
  const std::vector<float> data = testing::random_values(kDims * kRows, 13);
  auto e = open_index(kDims, kRows, Metric::Euclidean, data);
  ASSERT_TRUE(e);
  const std::vector<float> qs = testing::random_values(kDims * kQueries, 14);
  for (bool pruning : {true, false}) {
    auto batch = query_certified_batch(*e, qs, kDims, 7, 4, pruning);
    ASSERT_TRUE(batch) << batch.error();
    ASSERT_EQ(batch->size(), kQueries);
    for (std::size_t i = 0; i < kQueries; ++i) {
      const std::vector<float> q(qs.begin() + i * kDims, qs.begin() + (i + 1) * kDims);
      SCOPED_TRACE(i);
      expect_same_record((*batch)[i], run(*e, q, 7, 4, pruning));
      EXPECT_TRUE(same_rows((*batch)[i].results, brute_force(*e, q, 7)));
    }
  }
}

TEST(CertifiedBatch, AnyBadQueryFailsTheWholeCall) {
  constexpr std::uint32_t kDims = 8, kRows = 50, kQueries = 9;
  const std::vector<float> data = testing::random_values(kDims * kRows, 15);
  auto e = open_index(kDims, kRows, Metric::Dot, data);
  ASSERT_TRUE(e);
  std::vector<float> qs = testing::random_values(kDims * kQueries, 16);
  qs[5 * kDims + 3] = kNaN;
  qs[8 * kDims] = -kInf;
  for (std::size_t k : {std::size_t{0}, std::size_t{3}}) {
    auto batch = query_certified_batch(*e, qs, kDims, k, 2, true);
    ASSERT_FALSE(batch);
    EXPECT_EQ(batch.error(), "Query vector contains non-finite values");
  }
}

TEST(CertifiedBatch, NoQueriesGiveAnEmptyList) {
  const std::vector<float> data = testing::random_values(4 * 4, 17);
  auto e = open_index(4, 4, Metric::Dot, data);
  ASSERT_TRUE(e);
  auto batch = query_certified_batch(*e, {}, 4, 3, 64, true);
  ASSERT_TRUE(batch);
  EXPECT_TRUE(batch->empty());
}

TEST(CertifiedBatch, ShapeChecksUseTheCorrectlyEncodedText) {
  const std::vector<float> data = testing::random_values(4 * 6, 20);
  auto e = open_index(4, 6, Metric::Dot, data);
  ASSERT_TRUE(e);
  const std::vector<float> qs = testing::random_values(12, 21);
  auto zero = query_certified_batch(*e, {}, 0, 3, 4, true);
  ASSERT_FALSE(zero);
  EXPECT_EQ(zero.error(), "queries must have at least one column");
  auto ragged = query_certified_batch(*e, std::span<const float>(qs).first(10), 4, 3, 4, true);
  ASSERT_FALSE(ragged);
  EXPECT_EQ(ragged.error(), "queries.len() n\xC3\xA3o \xC3\xA9 m\xC3\xBAltiplo de dims");
  auto wide = query_certified_batch(*e, qs, 6, 3, 4, true);
  ASSERT_FALSE(wide);
  EXPECT_EQ(wide.error(), "Query dimensions 6 != index dimensions 4");
}

TEST(CertifiedBatch, KZeroGivesEmptyAnswersPerQuery) {
  const std::vector<float> data = testing::random_values(4 * 6, 18);
  auto e = open_index(4, 6, Metric::Cosine, data);
  ASSERT_TRUE(e);
  const std::vector<float> qs = testing::random_values(4 * 3, 19);
  auto batch = query_certified_batch(*e, qs, 4, 0, 0, false);
  ASSERT_TRUE(batch);
  ASSERT_EQ(batch->size(), 3u);
  for (const CertifiedResult& r : *batch) expect_empty_answer(r, 6, 1, false);
}

}  // namespace
}  // namespace lumvero
