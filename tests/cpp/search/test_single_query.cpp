// SearchEngine::query_single: validation, strategy choice, the five strategies
// against an independent brute-force reference, and the chunk sizing.
#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "engine/messages.h"
#include "engine/runtime/pool.h"
#include "engine/search/single_query.h"
#include "index_fixture.h"

namespace lumvero {
namespace {

using testing::exact_matrix;
using testing::expect_same_hits;
using testing::open_index;
using testing::random_matrix;
using testing::ref_top_k;
using testing::ScopedEnv;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// The non-finite message, spelled out byte by byte (double-encoded accents).
const std::string kNonFiniteBytes =
    "Query vector cont\xC3\x83\xC2\xA9m valores n\xC3\x83\xC2\xA3o finitos";

std::span<const float> span_of(const std::vector<float>& v) { return {v.data(), v.size()}; }

// Every strategy name a LUMVO_SINGLE_MODE value can select.
const char* const kAllModes[] = {"rayon", "blocked", "blocked_matrix", "matrix_full",
                                 "matrix_parallel"};

// ---------------------------------------------------------------------------
// Validation and trivial cases
// ---------------------------------------------------------------------------

TEST(SingleQueryValidation, DimensionMismatchNamesBothNumbers) {
  auto e = open_index(8, 3, Metric::Cosine, random_matrix(3, 8, 1));
  ASSERT_TRUE(e);
  const std::vector<float> q(9, 0.25f);
  auto r = e->query_single(span_of(q), 2);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "Query dimension 9 != index dimension 8");

  auto shorter = e->query_single(std::span<const float>(q.data(), 7), 2);
  ASSERT_FALSE(shorter);
  EXPECT_EQ(shorter.error(), "Query dimension 7 != index dimension 8");
}

TEST(SingleQueryValidation, DimensionCheckedBeforeFiniteness) {
  auto e = open_index(8, 3, Metric::Cosine, random_matrix(3, 8, 1));
  ASSERT_TRUE(e);
  std::vector<float> q(9, 0.25f);
  q[0] = kNaN;
  auto r = e->query_single(span_of(q), 2);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "Query dimension 9 != index dimension 8");
}

TEST(SingleQueryValidation, NonFiniteValuesAreRefusedWithTheStoredBytes) {
  auto e = open_index(8, 3, Metric::Euclidean, random_matrix(3, 8, 1));
  ASSERT_TRUE(e);
  for (const float bad : {kInf, -kInf, kNaN}) {
    for (const std::size_t pos : {std::size_t{0}, std::size_t{7}}) {
      std::vector<float> q(8, 0.5f);
      q[pos] = bad;
      auto r = e->query_single(span_of(q), 1);
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error(), kNonFiniteBytes);
      EXPECT_EQ(r.error(), msg::kSingleNonFinite);
    }
  }
}

TEST(SingleQueryValidation, ZeroKIsTrivialEvenWithAModeSet) {
  auto e = open_index(8, 20000, Metric::Cosine, random_matrix(20000, 8, 2));
  ASSERT_TRUE(e);
  const std::vector<float> q(8, 0.5f);
  for (const char* mode : kAllModes) {
    ScopedEnv env("LUMVO_SINGLE_MODE", mode);
    auto r = e->query_single(span_of(q), 0);
    ASSERT_TRUE(r) << r.error();
    EXPECT_TRUE(r->results.empty());
    EXPECT_EQ(r->method_used, "exact");
    EXPECT_EQ(r->query_time_ms, 0.0);
    EXPECT_FALSE(r->index_hash.has_value());
  }
}

TEST(SingleQueryValidation, EmptyIndexIsTrivial) {
  auto e = open_index(4, 0, Metric::Dot, {});
  ASSERT_TRUE(e);
  const std::vector<float> q(4, 1.0f);
  auto r = e->query_single(span_of(q), 5);
  ASSERT_TRUE(r) << r.error();
  EXPECT_TRUE(r->results.empty());
  EXPECT_EQ(r->method_used, "exact");
  EXPECT_EQ(r->query_time_ms, 0.0);
  // Validation still comes first on an empty index.
  std::vector<float> bad(4, 1.0f);
  bad[2] = kInf;
  auto rb = e->query_single(span_of(bad), 5);
  ASSERT_FALSE(rb);
  EXPECT_EQ(rb.error(), kNonFiniteBytes);
}

TEST(SingleQueryValidation, KLargerThanRowsReturnsEveryRow) {
  auto e = open_index(12, 7, Metric::Euclidean, random_matrix(7, 12, 3));
  ASSERT_TRUE(e);
  const std::vector<float> q = random_matrix(1, 12, 4);
  auto r = e->query_single(span_of(q), 1000);
  ASSERT_TRUE(r) << r.error();
  expect_same_hits(r->results, ref_top_k(*e, q.data(), 1000), "k > rows");
  EXPECT_EQ(r->results.size(), 7u);
  EXPECT_GE(r->query_time_ms, 0.0);
}

// ---------------------------------------------------------------------------
// Strategy choice
// ---------------------------------------------------------------------------

TEST(SingleQueryChoice, SizeRuleWithoutAMode) {
  using S = SingleStrategy;
  EXPECT_EQ(choose_single_strategy(std::nullopt, 9999, 128, Metric::Cosine), S::PerRow);
  EXPECT_EQ(choose_single_strategy(std::nullopt, 10000, 128, Metric::Cosine), S::Chunked);
  EXPECT_EQ(choose_single_strategy(std::nullopt, 10000, 128, Metric::Dot), S::Chunked);
  EXPECT_EQ(choose_single_strategy(std::nullopt, 10000, 128, Metric::Euclidean), S::PerRow);
  EXPECT_EQ(choose_single_strategy(std::nullopt, 10000, 63, Metric::Cosine), S::PerRow);
  EXPECT_EQ(choose_single_strategy(std::nullopt, 10000, 64, Metric::Cosine), S::Chunked);
}

TEST(SingleQueryChoice, ExplicitModesApplyToEveryIndex) {
  using S = SingleStrategy;
  for (const Metric m : {Metric::Cosine, Metric::Dot, Metric::Euclidean}) {
    for (const std::uint64_t rows : {std::uint64_t{10}, std::uint64_t{2000000}}) {
      EXPECT_EQ(choose_single_strategy("rayon", rows, 128, m), S::PerRow);
      EXPECT_EQ(choose_single_strategy("blocked", rows, 8, m), S::Blocked);
      EXPECT_EQ(choose_single_strategy("blocked_matrix", rows, 8, m), S::Blocked);
      EXPECT_EQ(choose_single_strategy("matrix_full", rows, 8, m), S::MatrixFull);
      EXPECT_EQ(choose_single_strategy("matrix_parallel", rows, 8, m), S::Chunked);
    }
  }
}

TEST(SingleQueryChoice, PrunedNeedsALargeSimilarityIndex) {
  using S = SingleStrategy;
  EXPECT_EQ(choose_single_strategy("pruned", 1000000, 64, Metric::Cosine), S::Pruned);
  EXPECT_EQ(choose_single_strategy("pruned", 1000000, 64, Metric::Dot), S::Pruned);
  // The fallback is the per-row strategy, never the chunked one.
  EXPECT_EQ(choose_single_strategy("pruned", 999999, 64, Metric::Cosine), S::PerRow);
  EXPECT_EQ(choose_single_strategy("pruned", 1000000, 63, Metric::Cosine), S::PerRow);
  EXPECT_EQ(choose_single_strategy("pruned", 1000000, 64, Metric::Euclidean), S::PerRow);
}

TEST(SingleQueryChoice, UnrecognisedValuesFallBackToTheSizeRule) {
  using S = SingleStrategy;
  for (const char* v : {"", "Rayon", "RAYON", " rayon", "rayon ", "matrix-full", "Matrix_full",
                        "blocked\n", "pruned ", "0", "matrix"}) {
    EXPECT_EQ(choose_single_strategy(v, 10000, 128, Metric::Cosine), S::Chunked) << '"' << v << '"';
    EXPECT_EQ(choose_single_strategy(v, 10, 128, Metric::Cosine), S::PerRow) << '"' << v << '"';
  }
}

TEST(SingleQueryChoice, MethodNames) {
  EXPECT_EQ(single_method_name(SingleStrategy::PerRow), "exact");
  EXPECT_EQ(single_method_name(SingleStrategy::Chunked), "exact-chunked");
  EXPECT_EQ(single_method_name(SingleStrategy::Blocked), "exact-blocked-matrix");
  EXPECT_EQ(single_method_name(SingleStrategy::MatrixFull), "exact-matrix-full");
  EXPECT_EQ(single_method_name(SingleStrategy::Pruned), "exact-pruned-fast");
}

// The size rules seen through real queries, with results checked bit for bit.
struct SizeCase {
  std::uint32_t rows, dims;
  Metric metric;
  const char* method;
};

TEST(SingleQueryChoice, SizeRulesOnRealIndexes) {
  ScopedEnv env("LUMVO_SINGLE_MODE", std::nullopt);
  const SizeCase cases[] = {{9999, 128, Metric::Cosine, "exact"},
                            {10000, 128, Metric::Cosine, "exact-chunked"},
                            {10000, 128, Metric::Euclidean, "exact"},
                            {10000, 63, Metric::Cosine, "exact"}};
  for (const SizeCase& c : cases) {
    auto e = open_index(c.dims, c.rows, c.metric, random_matrix(c.rows, c.dims, c.rows + c.dims));
    ASSERT_TRUE(e);
    const std::vector<float> q = random_matrix(1, c.dims, 99);
    auto r = e->query_single(span_of(q), 10);
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->method_used, c.method) << c.rows << "x" << c.dims;
    expect_same_hits(r->results, ref_top_k(*e, q.data(), 10), r->method_used);
  }
}

TEST(SingleQueryChoice, ModeIsReadOnEveryCall) {
  auto e = open_index(10, 10, Metric::Euclidean, random_matrix(10, 10, 5));
  ASSERT_TRUE(e);
  const std::vector<float> q = random_matrix(1, 10, 6);
  const std::pair<std::optional<std::string>, const char*> steps[] = {
      {std::nullopt, "exact"},
      {"matrix_full", "exact-matrix-full"},
      {"blocked", "exact-blocked-matrix"},
      {"blocked_matrix", "exact-blocked-matrix"},
      // One chunk of 10 rows, even on a small euclidean index.
      {"matrix_parallel", "exact-chunked"},
      {"rayon", "exact"},
      {"pruned", "exact"},
      {"MATRIX_FULL", "exact"},
      {" matrix_full", "exact"},
      {std::string("matrix_full\xc3"), "exact"},
  };
  for (const auto& [value, method] : steps) {
    ScopedEnv env("LUMVO_SINGLE_MODE", value);
    auto r = e->query_single(span_of(q), 3);
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->method_used, method) << (value ? *value : "<unset>");
    EXPECT_EQ(r->results.size(), 3u);
  }
}

// ---------------------------------------------------------------------------
// Results
// ---------------------------------------------------------------------------

// Per-row kernel strategies reproduce the reference layout bit for bit, for
// every chunk/tail split of the dimensions and every metric.
TEST(SingleQueryResults, ExactAndChunkedAreBitIdenticalToTheReference) {
  for (const std::uint32_t dims : {1u, 3u, 7u, 8u, 9u, 15u, 16u, 17u, 24u, 100u}) {
    for (const Metric m : {Metric::Cosine, Metric::Dot, Metric::Euclidean}) {
      const std::uint32_t rows = 517;
      auto e = open_index(dims, rows, m, random_matrix(rows, dims, dims * 7 + 1));
      ASSERT_TRUE(e);
      const std::vector<float> q = random_matrix(1, dims, dims + 1000);
      const auto want = ref_top_k(*e, q.data(), 25);
      for (const char* mode : {"rayon", "matrix_parallel"}) {
        ScopedEnv env("LUMVO_SINGLE_MODE", mode);
        auto r = e->query_single(span_of(q), 25);
        ASSERT_TRUE(r) << r.error();
        expect_same_hits(r->results, want,
                         std::string(mode) + " dims " + std::to_string(dims) + " " +
                             std::string(metric_name(m)));
      }
    }
  }
}

TEST(SingleQueryResults, LargeIndexDefaultStrategyIsBitIdentical) {
  auto e = open_index(384, 40000, Metric::Cosine, random_matrix(40000, 384, 11, true));
  ASSERT_TRUE(e);
  ScopedEnv env("LUMVO_SINGLE_MODE", std::nullopt);
  for (std::uint32_t s = 0; s < 3; ++s) {
    const std::vector<float> q = random_matrix(1, 384, 500 + s, true);
    auto r = e->query_single(span_of(q), 10);
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->method_used, "exact-chunked");
    expect_same_hits(r->results, ref_top_k(*e, q.data(), 10), "default 40000x384");
  }
}

TEST(SingleQueryResults, ChunkingNeverChangesTheResult) {
  for (const Metric m : {Metric::Dot, Metric::Euclidean}) {
    auto e = open_index(19, 1000, m, random_matrix(1000, 19, 12));
    ASSERT_TRUE(e);
    const std::vector<float> q = random_matrix(1, 19, 13);
    const auto want = ref_top_k(*e, q.data(), 17);
    for (const std::size_t len : {1u, 2u, 7u, 16u, 17u, 63u, 64u, 65u, 333u, 999u, 1000u, 5000u}) {
      auto got = single::chunked_scan(*e, span_of(q), 17, len);
      ASSERT_TRUE(got) << got.error();
      expect_same_hits(*got, want, "chunk " + std::to_string(len));
    }
  }
}

// The matrix strategies only filter with their sgemm scores and rescore with
// the kernel, so every strategy returns the reference bits.
TEST(SingleQueryResults, EveryStrategyIsBitIdenticalToTheReference) {
  for (const Metric m : {Metric::Cosine, Metric::Dot, Metric::Euclidean}) {
    auto e = open_index(48, 3000, m, random_matrix(3000, 48, 21));
    ASSERT_TRUE(e);
    const std::vector<float> q = random_matrix(1, 48, 22);
    const auto want = ref_top_k(*e, q.data(), 12);
    for (const char* mode : kAllModes) {
      ScopedEnv env("LUMVO_SINGLE_MODE", mode);
      auto r = e->query_single(span_of(q), 12);
      ASSERT_TRUE(r) << r.error();
      expect_same_hits(r->results, want, std::string(mode) + " " + std::string(metric_name(m)));
    }
    for (const std::size_t len : {1u, 100u, 3000u}) {
      auto got = single::blocked_scan(*e, span_of(q), 12, len);
      ASSERT_TRUE(got) << got.error();
      expect_same_hits(*got, want, "blocked " + std::to_string(len));
    }
  }
}

// Sums that are exact in binary32 leave no room for rounding: every strategy,
// the sgemm ones included, must give the reference bits, and equal rows must
// come out in increasing index order.
TEST(SingleQueryResults, TiesGoToTheLowerRowInEveryStrategy) {
  for (const Metric m : {Metric::Cosine, Metric::Dot, Metric::Euclidean}) {
    std::vector<float> data = exact_matrix(600, 24, 31);
    // CodesViews of one row spread over the index, so ties straddle chunks.
    for (const std::size_t r : {5u, 77u, 78u, 300u, 599u})
      std::copy_n(data.begin() + 24 * 200, 24, data.begin() + 24 * r);
    auto e = open_index(24, 600, m, data);
    ASSERT_TRUE(e);
    const std::vector<float> q(data.begin() + 24 * 200, data.begin() + 24 * 201);
    const auto want = ref_top_k(*e, q.data(), 40);
    for (const char* mode : kAllModes) {
      ScopedEnv env("LUMVO_SINGLE_MODE", mode);
      auto r = e->query_single(span_of(q), 40);
      ASSERT_TRUE(r) << r.error();
      expect_same_hits(r->results, want, std::string(mode) + " " + std::string(metric_name(m)));
    }
    for (const std::size_t len : {1u, 78u, 79u, 600u}) {
      auto c = single::chunked_scan(*e, span_of(q), 40, len);
      auto b = single::blocked_scan(*e, span_of(q), 40, len);
      ASSERT_TRUE(c && b);
      expect_same_hits(*c, want, "chunked " + std::to_string(len));
      expect_same_hits(*b, want, "blocked " + std::to_string(len));
    }
    // The six copies tie; their order is by row index.
    if (m != Metric::Euclidean) continue;
    ASSERT_GE(want.size(), 6u);
    const std::uint64_t copies[] = {5, 77, 78, 200, 300, 599};
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(want[i].idx, copies[i]);
  }
}

TEST(SingleQueryResults, NonFiniteRowsAreNeverReturned) {
  const std::uint32_t rows = 300, dims = 16;
  std::vector<float> data = random_matrix(rows, dims, 41);
  data[3 * dims + 5] = kNaN;  // NaN score
  data[10 * dims] = kInf;     // infinite score (either sign)
  for (std::uint32_t d = 0; d < dims; ++d) data[20 * dims + d] = 3e38f;  // overflows to inf
  data[250 * dims + 15] = -kInf;
  const std::uint64_t bad[] = {3, 10, 20, 250};
  for (const Metric m : {Metric::Cosine, Metric::Euclidean}) {
    auto e = open_index(dims, rows, m, data);
    ASSERT_TRUE(e);
    std::vector<float> q(dims, 1.0f);
    q[0] = 0.5f;
    const auto want = ref_top_k(*e, q.data(), rows);
    ASSERT_EQ(want.size(), rows - 4u);
    for (const char* mode : kAllModes) {
      ScopedEnv env("LUMVO_SINGLE_MODE", mode);
      auto r = e->query_single(span_of(q), rows);
      ASSERT_TRUE(r) << r.error();
      ASSERT_EQ(r->results.size(), rows - 4u) << mode;
      for (const ScoredRow& hit : r->results) {
        EXPECT_TRUE(std::isfinite(hit.score)) << mode;
        for (const std::uint64_t b : bad) EXPECT_NE(hit.idx, b) << mode;
      }
    }
  }
}

TEST(SingleQueryResults, AllRowsNaNGiveAnEmptyResult) {
  std::vector<float> data(40 * 8, kNaN);
  auto e = open_index(8, 40, Metric::Dot, data);
  ASSERT_TRUE(e);
  const std::vector<float> q(8, 1.0f);
  for (const char* mode : kAllModes) {
    ScopedEnv env("LUMVO_SINGLE_MODE", mode);
    auto r = e->query_single(span_of(q), 5);
    ASSERT_TRUE(r) << r.error();
    EXPECT_TRUE(r->results.empty()) << mode;
  }
}

// ---------------------------------------------------------------------------
// Pruned strategy
// ---------------------------------------------------------------------------

TEST(SingleQueryPruned, MatchesTheReferenceOnABlockNormIndex) {
  // 10,000 rows and 64 dims is the smallest similarity index that gets
  // block norms, so the pruned scan itself runs here.
  auto e = open_index(64, 10000, Metric::Cosine, random_matrix(10000, 64, 51, true));
  ASSERT_TRUE(e);
  ASSERT_TRUE(e->block_norms_sq.has_value());
  for (std::uint32_t s = 0; s < 3; ++s) {
    std::vector<float> q = random_matrix(1, 64, 60 + s, true);
    // Uneven energy across blocks, so the visiting order matters.
    for (std::size_t d = 0; d < 16; ++d) q[40 + d] *= 4.0f;
    const auto want = ref_top_k(*e, q.data(), 10);
    auto r = single::single_pruned(*e, span_of(q), 10);
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->method, "exact-pruned-fast");
    expect_same_hits(r->results, want, "pruned");
  }
}

TEST(SingleQueryPruned, KeepsEveryRowWhenKCoversTheIndex) {
  auto e = open_index(64, 10000, Metric::Dot, random_matrix(10000, 64, 52));
  ASSERT_TRUE(e);
  const std::vector<float> q = random_matrix(1, 64, 53);
  auto r = single::single_pruned(*e, span_of(q), 10000);
  ASSERT_TRUE(r) << r.error();
  // The heap fills with kernel scores and never prunes: identical bits.
  expect_same_hits(r->results, ref_top_k(*e, q.data(), 10000), "pruned k=rows");
}

TEST(SingleQueryPruned, WithoutBlockNormsItRunsTheChunkedScan) {
  auto e = open_index(64, 500, Metric::Dot, random_matrix(500, 64, 54));
  ASSERT_TRUE(e);
  ASSERT_FALSE(e->block_norms_sq.has_value());
  const std::vector<float> q = random_matrix(1, 64, 55);
  auto r = single::single_pruned(*e, span_of(q), 9);
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(r->method, "exact-chunked");
  expect_same_hits(r->results, ref_top_k(*e, q.data(), 9), "pruned fallback");
}

// ---------------------------------------------------------------------------
// Heap feeding, sizing and timing helpers
// ---------------------------------------------------------------------------

}  // namespace
}  // namespace lumvero
