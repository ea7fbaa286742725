// Exactness on data that strains binary32: every strategy (single and batch,
// forced or chosen, any cut into chunks) returns the per-row kernel's rows
// and score bits, the pruned and certified scans never skip a row the full
// scan keeps, and the error bounds behind both hold on the rows themselves.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "engine/certify/certified.h"
#include "engine/kernels/int_kernels.h"
#include "engine/kernels/kernels.h"
#include "engine/prefilter/batch_scan.h"
#include "engine/prefilter/compressed_rows.h"
#include "engine/prefilter/single_scan.h"
#include "engine/search/batch_query.h"
#include "engine/search/matrix.h"
#include "engine/search/score_error.h"
#include "engine/search/single_query.h"
#include "index_fixture.h"

namespace lumvero {
namespace {

using testing::expect_same_hits;
using testing::open_index;
using testing::ref_top_k;
using testing::ScopedEnv;

std::span<const float> span_of(const std::vector<float>& v) { return {v.data(), v.size()}; }

const char* const kSingleModes[] = {"rayon", "blocked", "matrix_full", "matrix_parallel"};
const char* const kBatchModes[] = {"matrix", "chunked", "blocked", "rayon"};

// Data families where sgemm and the kernel disagree by more than the gaps
// between scores, or where the scores sit one ulp apart.
enum class Kind { Offset, Huge, Tiny, Spikes, UlpTies, MixedScales, Saturate, ZeroCodes };

const char* kind_name(Kind k) {
  switch (k) {
    case Kind::Offset:
      return "offset";
    case Kind::Huge:
      return "huge";
    case Kind::Tiny:
      return "tiny";
    case Kind::Spikes:
      return "spikes";
    case Kind::UlpTies:
      return "ulp_ties";
    case Kind::MixedScales:
      return "mixed_scales";
    case Kind::Saturate:
      return "saturate";
    case Kind::ZeroCodes:
      return "zero_codes";
  }
  return "?";
}

// rows x dims values of the family; the last `extra` rows serve as queries.
std::vector<float> adversarial(Kind kind, std::size_t rows, std::size_t dims, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::vector<float> v(rows * dims);
  switch (kind) {
    case Kind::Offset:  // a large common offset: distances are tiny next to the norms
      for (float& x : v) x = 1.0e4f + normal(gen);
      break;
    case Kind::Huge:
      for (float& x : v) x = 1.0e15f * normal(gen);
      break;
    case Kind::Tiny:  // products land in the subnormal range
      for (float& x : v) x = 1.0e-21f * normal(gen);
      break;
    case Kind::Spikes:  // one huge coordinate, small ones that decide the order
      for (std::size_t r = 0; r < rows; ++r) {
        float* row = v.data() + r * dims;
        row[0] = 16777216.0f + 2.0f * static_cast<float>(gen() % 8);
        for (std::size_t d = 1; d < dims; ++d) row[d] = static_cast<float>(gen() % 4);
      }
      break;
    case Kind::UlpTies: {  // near-duplicates of one row, one coordinate a few ulps apart
      std::vector<float> base(dims);
      for (float& x : base) x = normal(gen);
      for (std::size_t r = 0; r < rows; ++r) {
        float* row = v.data() + r * dims;
        std::copy(base.begin(), base.end(), row);
        float& c = row[gen() % dims];
        for (std::uint32_t s = gen() % 4; s > 0; --s) c = std::nextafter(c, 1e30f);
      }
      break;
    }
    case Kind::MixedScales:
      for (std::size_t r = 0; r < rows; ++r) {
        const float scale = std::pow(10.0f, 6.0f * unit(gen) - 3.0f);
        for (std::size_t d = 0; d < dims; ++d) v[r * dims + d] = scale * normal(gen);
      }
      break;
    case Kind::Saturate:  // magnitudes from 1e-30 to 1e30 within a row: codes clip, sums overflow
      for (float& x : v) x = std::pow(10.0f, 60.0f * unit(gen) - 30.0f) * normal(gen);
      for (std::size_t r = 5; r < rows; r += 11)  // and rows of subnormal values only
        for (std::size_t d = 0; d < dims; ++d) v[r * dims + d] = 1.0e-40f * normal(gen);
      break;
    case Kind::ZeroCodes:  // one large coordinate, the rest quantise to zero; some rows all zero
      for (std::size_t r = 0; r < rows; ++r) {
        float* row = v.data() + r * dims;
        if (r % 7 == 3) continue;
        for (std::size_t d = 0; d < dims; ++d) row[d] = 1.0e-4f * normal(gen);
        row[gen() % dims] = 1.0f;
      }
      break;
  }
  return v;
}

struct Case {
  Metric metric;
  Kind kind;
};

class AdversarialData : public ::testing::TestWithParam<Case> {
 protected:
  static constexpr std::uint32_t kRows = 1200, kDims = 37, kQueries = 6;

  void SetUp() override {
    const auto [metric, kind] = GetParam();
    std::vector<float> all = adversarial(kind, kRows + kQueries, kDims, 7);
    queries_.assign(all.end() - kQueries * kDims, all.end());
    all.resize(std::size_t{kRows} * kDims);
    engine_ = open_index(kDims, kRows, metric, all);
    ASSERT_TRUE(engine_);
  }

  const float* query(std::size_t i) const { return queries_.data() + i * kDims; }

  std::shared_ptr<const SearchEngine> engine_;
  std::vector<float> queries_;
};

TEST_P(AdversarialData, EverySingleStrategyReturnsTheKernelAnswer) {
  const SearchEngine& e = *engine_;
  for (std::size_t i = 0; i < kQueries; ++i) {
    const std::vector<float> q(query(i), query(i) + kDims);
    for (const std::size_t k : {1u, 5u, 40u}) {
      const auto want = ref_top_k(e, q.data(), k);
      for (const char* filter : {"off", "always"}) {
        ScopedEnv use_filter("LUMVO_FILTER", filter);
        for (const char* mode : kSingleModes) {
          ScopedEnv env("LUMVO_SINGLE_MODE", mode);
          auto r = e.query_single(span_of(q), k);
          ASSERT_TRUE(r) << r.error();
          expect_same_hits(r->results, want,
                           std::string(mode) + " filter " + filter + " query " + std::to_string(i));
        }
      }
      for (const std::size_t pieces : {1u, 3u, 50u}) {
        // "always": in auto mode codes whose band ran wide defers to floats.
        ScopedEnv use_filter("LUMVO_FILTER", "always");
        const RowRun run = e.as_run();
        auto f = prefilter::scan(e.as_set(run), q.data(), std::min<std::size_t>(k, kRows), pieces);
        ASSERT_TRUE(f) << f.error();
        ASSERT_TRUE(f->has_value());
        expect_same_hits(**f, want, "filtered pieces " + std::to_string(pieces));
      }
      for (const std::size_t len : {1u, 97u, 512u, 1200u}) {
        auto b = single::blocked_scan(e, span_of(q), k, len);
        ASSERT_TRUE(b) << b.error();
        expect_same_hits(*b, want, "blocked len " + std::to_string(len));
      }
    }
  }
}

TEST_P(AdversarialData, EveryBatchStrategyReturnsTheKernelAnswer) {
  const SearchEngine& e = *engine_;
  ScopedEnv qblock("LUMVO_QBLOCK", std::nullopt);
  for (const char* filter : {"off", "always"}) {
    ScopedEnv use_filter("LUMVO_FILTER", filter);
    for (const char* mode : kBatchModes) {
      ScopedEnv env("LUMVO_BATCH_MODE", mode);
      auto r = e.query_batch(span_of(queries_), kDims, 7);
      ASSERT_TRUE(r) << r.error();
      ASSERT_EQ(r->size(), kQueries);
      for (std::size_t i = 0; i < kQueries; ++i)
        expect_same_hits((*r)[i].results, ref_top_k(e, query(i), 7),
                         std::string(mode) + " filter " + filter + " query " + std::to_string(i));
    }
  }
  for (const std::size_t pieces : {1u, 3u, 50u}) {
    ScopedEnv use_filter("LUMVO_FILTER", "always");
    for (const std::size_t k : {1u, 7u, 40u}) {
      const RowRun run = e.as_run();
      auto f = prefilter::batch_scan(e.as_set(run), queries_.data(), kQueries,
                                     std::min<std::size_t>(k, kRows), pieces);
      ASSERT_TRUE(f) << f.error();
      ASSERT_TRUE(f->has_value());
      for (std::size_t i = 0; i < kQueries; ++i)
        expect_same_hits((**f)[i], ref_top_k(e, query(i), k),
                         "filtered batch pieces " + std::to_string(pieces));
    }
  }
  for (const std::size_t len : {1u, 300u, 1200u}) {
    auto r = batch::blocked_with_len(e, span_of(queries_), kQueries, 7, len);
    ASSERT_TRUE(r) << r.error();
    for (std::size_t i = 0; i < kQueries; ++i)
      expect_same_hits((*r)[i].results, ref_top_k(e, query(i), 7), "block " + std::to_string(len));
  }
}

// Whatever rounding sgemm does, its gap to the kernel stays inside the bound.
TEST_P(AdversarialData, MatrixGapBoundsTheKernel) {
  const SearchEngine& e = *engine_;
  for (std::size_t i = 0; i < kQueries; ++i) {
    const float* q = query(i);
    const std::vector<float> approx =
        matrix_scores(e.metric, q, kDims, e.data(), kRows, e.norms_sq.data());
    const score_error::MatrixGap model(e.metric, kDims, kernels::query_norm_sq(q, kDims));
    const score_error::Gap gap = model.for_rows(score_error::max_finite(e.norms_sq.data(), kRows));
    for (std::uint32_t r = 0; r < kRows; ++r) {
      const float exact = kernels::compute_score(e.metric, q, e.row(r), kDims);
      if (!std::isfinite(exact) || !std::isfinite(approx[r])) continue;
      const double a = approx[r];
      EXPECT_LE(std::fabs(static_cast<double>(exact) - a), gap.a + gap.b * std::fabs(a))
          << "row " << r << " query " << i;
    }
  }
}

// The compressed filter's approximation stays inside its bound on every
// finite row, whatever the codes lost.
TEST_P(AdversarialData, CompressedGapBoundsTheKernel) {
  const SearchEngine& e = *engine_;
  const RunCodes::View view =
      e.compressed.acquire(e.data(), kRows, kRows, kDims, e.norms_sq.data());
  const CompressedRows* rc = view.rows;
  ASSERT_NE(rc, nullptr);
  const std::size_t w = rc->width();
  for (std::size_t i = 0; i < kQueries; ++i) {
    const float* q = query(i);
    const QueryCodes qc = encode_query(q, kDims, w);
    const double qn = kernels::query_norm_sq(q, kDims);
    const score_error::CompressedGap model(e.metric, kDims, qn, qc.error);
    std::vector<std::int32_t> sums(kRows);
    kernels::int_rows_dot(qc.codes, rc->codes(0), w, kRows, sums.data());
    for (std::uint32_t r = 0; r < kRows; ++r) {
      const float exact = kernels::compute_score(e.metric, q, e.row(r), kDims);
      const double a64 = static_cast<double>(rc->scales()[r]) * qc.scale * sums[r];
      const float approx = static_cast<float>(
          e.metric == Metric::Euclidean ? (e.norms_sq[r] + qn) - 2.0 * a64 : a64);
      const StripeBounds& b = rc->stripe(r / CompressedRows::kStripeRows);
      const score_error::Gap gap = model.for_rows(b.norm_sq, b.resid, b.code_norm);
      if (!std::isfinite(exact) || !std::isfinite(approx) || !gap.bounded) continue;
      const double a = approx;
      EXPECT_LE(std::fabs(static_cast<double>(exact) - a), gap.a + gap.b * std::fabs(a))
          << "row " << r << " query " << i;
    }
  }
}

TEST_P(AdversarialData, CertifiedPruningNeverChangesTheAnswer) {
  const SearchEngine& e = *engine_;
  for (std::size_t i = 0; i < kQueries; ++i) {
    const std::span<const float> q(query(i), kDims);
    for (const std::size_t bs : {1u, 4u, 16u, 37u}) {
      for (const std::size_t k : {1u, 10u, 1200u}) {
        auto on = e.query_certified(q, k, bs, true);
        auto off = e.query_certified(q, k, bs, false);
        ASSERT_TRUE(on && off);
        const std::string what = "bs " + std::to_string(bs) + " k " + std::to_string(k);
        expect_same_hits(on->results, ref_top_k(e, q.data(), k), what);
        expect_same_hits(off->results, ref_top_k(e, q.data(), k), what);
        EXPECT_TRUE(on->safe) << what;
      }
    }
  }
}

std::string case_name(const ::testing::TestParamInfo<Case>& p) {
  return std::string(metric_name(p.param.metric)) + "_" + kind_name(p.param.kind);
}

INSTANTIATE_TEST_SUITE_P(
    Families, AdversarialData,
    ::testing::Values(Case{Metric::Dot, Kind::Offset}, Case{Metric::Euclidean, Kind::Offset},
                      Case{Metric::Dot, Kind::Huge}, Case{Metric::Euclidean, Kind::Huge},
                      Case{Metric::Dot, Kind::Tiny}, Case{Metric::Euclidean, Kind::Tiny},
                      Case{Metric::Cosine, Kind::Spikes}, Case{Metric::Euclidean, Kind::Spikes},
                      Case{Metric::Dot, Kind::UlpTies}, Case{Metric::Euclidean, Kind::UlpTies},
                      Case{Metric::Dot, Kind::MixedScales},
                      Case{Metric::Euclidean, Kind::MixedScales}, Case{Metric::Dot, Kind::Saturate},
                      Case{Metric::Euclidean, Kind::Saturate},
                      Case{Metric::Cosine, Kind::ZeroCodes},
                      Case{Metric::Euclidean, Kind::ZeroCodes}),
    case_name);

// Rows 10^4 + N(0,1): the sgemm distance identity cancels away everything
// but rounding, yet every strategy must name the true nearest rows with
// non-negative distances.
TEST(Exactness, OffsetEuclideanBatchFindsTheTrueNearestRows) {
  const std::vector<float> all = adversarial(Kind::Offset, 2006, 64, 11);
  std::vector<float> data(all.begin(), all.begin() + 2000 * 64);
  const std::vector<float> qs(all.begin() + 2000 * 64, all.end());
  auto e = open_index(64, 2000, Metric::Euclidean, data);
  ASSERT_TRUE(e);
  ScopedEnv mode("LUMVO_BATCH_MODE", std::nullopt);
  auto r = e->query_batch(span_of(qs), 64, 5);
  ASSERT_TRUE(r) << r.error();
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ((*r)[i].method_used, "batch-blocked-exact");
    expect_same_hits((*r)[i].results, ref_top_k(*e, qs.data() + i * 64, 5), std::to_string(i));
    for (const ScoredRow& hit : (*r)[i].results) EXPECT_GE(hit.score, 0.0f);
  }
}

// On ordinary unit-norm data the gap is tiny next to the score gaps, so the
// band adds almost nothing to the product.
TEST(Exactness, GapIsNegligibleOnUnitData) {
  for (const Metric m : {Metric::Cosine, Metric::Euclidean}) {
    const score_error::MatrixGap model(m, 384, 1.0);
    const score_error::Gap gap = model.for_rows(1.0);
    EXPECT_TRUE(gap.bounded);
    EXPECT_LT(gap.a + 4.0 * gap.b, 1e-4) << metric_name(m);
  }
  // Once ||q|| ||x|| nears FLT_MAX a non-finite sgemm score says nothing.
  EXPECT_FALSE(score_error::MatrixGap(Metric::Dot, 8, 1e38).for_rows(1e38).bounded);
}

// The gap for q = 2 e0 and a row x = 3 e0 over 8 dimensions (||q||^2 = 4,
// ||x||^2 = 9, so ||q|| ||x|| = 6), worked by hand from the error model:
// sgemm rounds each term 9 times (8 + 1), the vector kernel 6 times (product,
// one chunk addition, three in the horizontal sum, one joining A and B; the
// scalar layout 9), the distance kernel once more for the difference.
// Pinned to the last few bits, so a looser or tighter bound fails here.
TEST(Exactness, MatrixGapOfAHandWorkedRow) {
  const double u = 0x1p-24, slack = 1.0 + 0x1p-20, underflow = 25 * 0x1p-149;
  const auto g = [&](double m) { return m * u / (1.0 - m * u); };
  const double kernel_dot = kernels::force_scalar() ? 9.0 : 6.0;
  const double rel = 1e-12;

  const score_error::Gap dot = score_error::MatrixGap(Metric::Dot, 8, 4.0).for_rows(9.0);
  const double want_dot = slack * ((g(9) + g(kernel_dot)) * 6.0 + underflow);
  EXPECT_TRUE(dot.bounded);
  EXPECT_NEAR(dot.a, want_dot, rel * want_dot);
  EXPECT_EQ(dot.b, 0.0);

  // Euclidean: the identity 9 + 4 - 2 q.x, its f64 evaluation (12 roundings
  // of 2^-53 over 9 + 4 + 4 * 6) and the final rounding to f32.
  const score_error::Gap l2 = score_error::MatrixGap(Metric::Euclidean, 8, 4.0).for_rows(9.0);
  const double g64 = 12 * 0x1p-53 / (1.0 - 12 * 0x1p-53);
  const double u_rel = u / (1.0 - u);
  const double a1 = 2.0 * g(9) * 6.0 + g64 * (9.0 + 4.0 + 24.0);
  const double want_a = slack * (a1 * (1.0 + g(kernel_dot + 1)) + underflow);
  const double want_b = slack * (u_rel + g(kernel_dot + 1) * (1.0 + u_rel));
  EXPECT_TRUE(l2.bounded);
  EXPECT_NEAR(l2.a, want_a, rel * want_a);
  EXPECT_NEAR(l2.b, want_b, rel * want_b);
}

TEST(Exactness, NonFiniteBatchQueryGetsNoRowsFromEveryMatrixStrategy) {
  auto e = open_index(8, 50, Metric::Dot, testing::random_matrix(50, 8, 3));
  ASSERT_TRUE(e);
  std::vector<float> qs = testing::random_matrix(4, 8, 4);
  qs[2 * 8 + 1] = std::numeric_limits<float>::infinity();
  for (const char* filter : {"off", "always"}) {
    ScopedEnv use_filter("LUMVO_FILTER", filter);
    for (const char* mode : {"matrix", "chunked", "blocked"}) {
      ScopedEnv env("LUMVO_BATCH_MODE", mode);
      auto r = e->query_batch(span_of(qs), 8, 3);
      ASSERT_TRUE(r) << r.error();
      EXPECT_TRUE((*r)[2].results.empty()) << mode << " filter " << filter;
      expect_same_hits((*r)[1].results, ref_top_k(*e, qs.data() + 8, 3), mode);
    }
  }
}

// The pruned scan admits rows on kernel scores and widens its bound by the
// rounding analysis, so even on offset and spiked data it is the chunked
// scan, bit for bit. 10,000 x 64 is the smallest index with block norms.
TEST(Exactness, PrunedScanMatchesTheKernelOnStrainingData) {
  for (const Kind kind : {Kind::Offset, Kind::Spikes, Kind::MixedScales}) {
    std::vector<float> all = adversarial(kind, 10003, 64, 21);
    std::vector<float> data(all.begin(), all.begin() + 10000 * 64);
    auto e = open_index(64, 10000, Metric::Dot, data);
    ASSERT_TRUE(e);
    ASSERT_TRUE(e->block_norms_sq.has_value());
    for (std::size_t i = 0; i < 3; ++i) {
      const std::vector<float> q(all.begin() + (10000 + i) * 64, all.begin() + (10001 + i) * 64);
      auto r = single::single_pruned(*e, span_of(q), 10);
      ASSERT_TRUE(r) << r.error();
      EXPECT_EQ(r->method, "exact-pruned-fast");
      expect_same_hits(r->results, ref_top_k(*e, q.data(), 10),
                       std::string(kind_name(kind)) + " query " + std::to_string(i));
    }
  }
}

// Row 1's kernel score, 2^24 + 16, beats row 0's 2^24 + 14 although its exact
// dot product is 2^24 + 12: a fixed margin skips it, the rounding-aware
// margin must not.
TEST(Exactness, CertifiedKeepsARowWhoseKernelScoreOutgrowsItsExactSum) {
  std::vector<float> data(2 * 16, 0.0f);
  data[0] = 16777216.0f + 14.0f;
  data[16 + 0] = 16777216.0f;
  for (const std::size_t d : {1u, 2u, 3u, 8u}) data[16 + d] = 3.0f;
  auto e = open_index(16, 2, Metric::Dot, data);
  ASSERT_TRUE(e);
  const std::vector<float> q(16, 1.0f);
  EXPECT_EQ(kernels::compute_score(Metric::Dot, q.data(), e->row(1), 16), 16777232.0f);
  auto r = e->query_certified(span_of(q), 1, 1, true);
  ASSERT_TRUE(r) << r.error();
  ASSERT_EQ(r->results.size(), 1u);
  EXPECT_EQ(r->results[0].idx, 1u);
  EXPECT_EQ(r->results[0].score, 16777232.0f);
  EXPECT_EQ(r->pruned_candidates, 0u);
  EXPECT_TRUE(r->safe);
}

// Row 1 holds -1.2e38 in dimensions 0 and 1 and +1.2e38 in `partner` and
// partner + 1 (a multiple of 8 past the first block), 100 in dimension 2.
// A block holding dimensions 0 and 1 sums to -inf in f32, yet the kernel
// adds d and d + 8j in the same lane, so the big terms cancel and row 1
// scores 100 against row 0's 1. A scan that trusted the -inf partial would
// skip it.
std::vector<float> overflowing_rows(std::size_t rows, std::size_t dims, std::size_t partner) {
  std::vector<float> data(rows * dims, 0.0f);
  data[2] = 1.0f;
  float* big = data.data() + (rows - 1) * dims;
  big[0] = big[1] = -1.2e38f;
  big[partner] = big[partner + 1] = 1.2e38f;
  big[2] = 100.0f;
  return data;
}

std::vector<float> overflowing_query(std::size_t dims, std::size_t partner) {
  std::vector<float> q(dims, 1.0f);
  for (const std::size_t d : {std::size_t{0}, std::size_t{1}, partner, partner + 1}) q[d] = 1.5f;
  return q;
}

TEST(Exactness, AnOverflowedBlockSumNeverSkipsARow) {
  for (const Metric metric : {Metric::Dot, Metric::Cosine}) {
    auto small = open_index(16, 2, metric, overflowing_rows(2, 16, 8));
    ASSERT_TRUE(small);
    const std::vector<float> q = overflowing_query(16, 8);
    ASSERT_EQ(kernels::compute_score(metric, q.data(), small->row(1), 16), 100.0f);
    for (const std::size_t width : {2u, 3u, 5u, 8u}) {
      auto r = small->query_certified(span_of(q), 1, width, true);
      ASSERT_TRUE(r) << r.error();
      ASSERT_EQ(r->results.size(), 1u);
      EXPECT_EQ(r->results[0].idx, 1u) << "block " << width;
      EXPECT_EQ(r->results[0].score, 100.0f) << "block " << width;
      EXPECT_TRUE(r->safe);
    }
    // 10,000 x 64 has block norms in blocks of 16: the pruned scan runs.
    auto large = open_index(64, 10000, metric, overflowing_rows(10000, 64, 16));
    ASSERT_TRUE(large);
    ASSERT_TRUE(large->block_norms_sq.has_value());
    const std::vector<float> q64 = overflowing_query(64, 16);
    auto r = single::single_pruned(*large, span_of(q64), 1);
    ASSERT_TRUE(r) << r.error();
    expect_same_hits(r->results, ref_top_k(*large, q64.data(), 1), "pruned");
    ASSERT_EQ(r->results.size(), 1u);
    EXPECT_EQ(r->results[0].idx, 9999u);
  }
}

}  // namespace
}  // namespace lumvero
