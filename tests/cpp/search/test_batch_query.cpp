// SearchEngine::query_batch: dispatch, the four strategies against an
// independent brute-force reference, and the sizing rules.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "engine/messages.h"
#include "engine/search/batch_query.h"
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

// The stored texts, spelled out byte by byte (double-encoded accents).
const std::string kNotMultipleBytes =
    "queries.len() n\xC3\x83\xC2\xA3o \xC3\x83\xC2\xA9 m\xC3\x83\xC2\xBAltiplo de dims";
const std::string kBatchNonFiniteBytes =
    "Queries cont\xC3\x83\xC2\xAAm valores n\xC3\x83\xC2\xA3o finitos (NaN/Inf)";
const std::string kSingleNonFiniteBytes =
    "Query vector cont\xC3\x83\xC2\xA9m valores n\xC3\x83\xC2\xA3o finitos";

std::span<const float> span_of(const std::vector<float>& v) { return {v.data(), v.size()}; }

struct ModeCase {
  const char* mode;
  const char* method;
};
const ModeCase kModes[] = {
    {"matrix", "matrix-full"},          {"matrix_full", "matrix-full"},
    {"chunked", "matrix-chunked"},      {"chunked_matrix", "matrix-chunked"},
    {"blocked", "batch-blocked-exact"}, {"blocked_exact", "batch-blocked-exact"},
    {"rayon", "rayon-optimized"}};

// Clears every switch that could steer a batch, restoring them afterwards.
struct CleanEnv {
  ScopedEnv batch{"LUMVO_BATCH_MODE", std::nullopt};
  ScopedEnv single{"LUMVO_SINGLE_MODE", std::nullopt};
  ScopedEnv qblock{"LUMVO_QBLOCK", std::nullopt};
};

const float* query(const std::vector<float>& qs, std::size_t dims, std::size_t i) {
  return qs.data() + i * dims;
}

// ---------------------------------------------------------------------------
// Dispatch
// ---------------------------------------------------------------------------

TEST(BatchDispatch, ZeroColumnsAreRefusedFirst) {
  auto e = open_index(4, 3, Metric::Cosine, random_matrix(3, 4, 1));
  ASSERT_TRUE(e);
  const std::vector<float> qs(8, 1.0f);
  for (const std::size_t n : {std::size_t{0}, std::size_t{8}}) {
    auto r = e->query_batch(std::span<const float>(qs.data(), n), 0, 3);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "queries must have at least one column");
    EXPECT_EQ(r.error(), msg::kZeroColumns);
  }
}

TEST(BatchDispatch, LengthNotAMultipleOfDims) {
  auto e = open_index(4, 3, Metric::Cosine, random_matrix(3, 4, 1));
  ASSERT_TRUE(e);
  const std::vector<float> qs(9, 1.0f);
  auto r = e->query_batch(span_of(qs), 4, 3);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), kNotMultipleBytes);
  // Checked before the dimension match: 7 values of 5 columns on a 4-dim index.
  auto r2 = e->query_batch(std::span<const float>(qs.data(), 7), 5, 3);
  ASSERT_FALSE(r2);
  EXPECT_EQ(r2.error(), kNotMultipleBytes);
}

TEST(BatchDispatch, DimensionMismatchNamesBothNumbers) {
  auto e = open_index(4, 3, Metric::Cosine, random_matrix(3, 4, 1));
  ASSERT_TRUE(e);
  const std::vector<float> qs(10, 1.0f);
  auto r = e->query_batch(span_of(qs), 5, 3);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "Query dimensions 5 != index dimensions 4");
  // No queries at all still has to match the index.
  auto r0 = e->query_batch(std::span<const float>(qs.data(), 0), 2, 3);
  ASSERT_FALSE(r0);
  EXPECT_EQ(r0.error(), "Query dimensions 2 != index dimensions 4");
}

TEST(BatchDispatch, NoQueriesGiveAnEmptyList) {
  CleanEnv clean;
  auto e = open_index(4, 3, Metric::Cosine, random_matrix(3, 4, 1));
  ASSERT_TRUE(e);
  auto r = e->query_batch(std::span<const float>(), 4, 3);
  ASSERT_TRUE(r) << r.error();
  EXPECT_TRUE(r->empty());
}

TEST(BatchDispatch, OneQueryIsExactlyASingleQuery) {
  CleanEnv clean;
  auto e = open_index(64, 12000, Metric::Cosine, random_matrix(12000, 64, 2));
  ASSERT_TRUE(e);
  const std::vector<float> q = random_matrix(1, 64, 3);
  for (const char* mode : {"matrix", "rayon", "blocked"}) {
    ScopedEnv env("LUMVO_BATCH_MODE", mode);  // ignored for one query
    auto batch = e->query_batch(span_of(q), 64, 7);
    auto single = e->query_single(span_of(q), 7);
    ASSERT_TRUE(batch && single);
    ASSERT_EQ(batch->size(), 1u);
    EXPECT_EQ((*batch)[0].method_used, "exact-chunked");
    EXPECT_GT((*batch)[0].query_time_ms, 0.0);
    expect_same_hits((*batch)[0].results, ref_top_k(*e, q.data(), 7), mode);
    ASSERT_EQ((*batch)[0].results.size(), single->results.size());
    for (std::size_t i = 0; i < single->results.size(); ++i)
      EXPECT_TRUE(same_entry((*batch)[0].results[i], single->results[i])) << mode << " " << i;
  }
  {
    ScopedEnv env("LUMVO_SINGLE_MODE", "matrix_full");
    auto batch = e->query_batch(span_of(q), 64, 7);
    ASSERT_TRUE(batch);
    EXPECT_EQ((*batch)[0].method_used, "exact-matrix-full");
  }
  // k = 0: the single-query trivial result.
  auto zero = e->query_batch(span_of(q), 64, 0);
  ASSERT_TRUE(zero);
  ASSERT_EQ(zero->size(), 1u);
  EXPECT_EQ((*zero)[0].method_used, "exact");
  EXPECT_TRUE((*zero)[0].results.empty());
  EXPECT_EQ((*zero)[0].query_time_ms, 0.0);
  // Its error comes back unchanged.
  std::vector<float> bad = q;
  bad[10] = kNaN;
  auto err = e->query_batch(span_of(bad), 64, 7);
  ASSERT_FALSE(err);
  EXPECT_EQ(err.error(), kSingleNonFiniteBytes);
}

TEST(BatchDispatch, StrategyTable) {
  using B = BatchStrategy;
  for (const std::size_t nq : {2u, 3u, 4u, 1000u}) {
    EXPECT_EQ(choose_batch_strategy("matrix", nq), B::Matrix);
    EXPECT_EQ(choose_batch_strategy("matrix_full", nq), B::Matrix);
    EXPECT_EQ(choose_batch_strategy("chunked", nq), B::MatrixChunked);
    EXPECT_EQ(choose_batch_strategy("chunked_matrix", nq), B::MatrixChunked);
    EXPECT_EQ(choose_batch_strategy("blocked", nq), B::Blocked);
    EXPECT_EQ(choose_batch_strategy("blocked_exact", nq), B::Blocked);
    EXPECT_EQ(choose_batch_strategy("rayon", nq), B::PerQuery);
    const B fallback = nq >= 4 ? B::Blocked : B::PerQuery;
    EXPECT_EQ(choose_batch_strategy(std::nullopt, nq), fallback);
    for (const char* v : {"", "Matrix", "MATRIX", " matrix", "matrix ", "rayon\t", "blocked-exact",
                          "matrix-full", "chunked-matrix", "1"})
      EXPECT_EQ(choose_batch_strategy(v, nq), fallback) << '"' << v << '"';
  }
  EXPECT_EQ(batch_method_name(B::Matrix), "matrix-full");
  EXPECT_EQ(batch_method_name(B::MatrixChunked), "matrix-chunked");
  EXPECT_EQ(batch_method_name(B::Blocked), "batch-blocked-exact");
  EXPECT_EQ(batch_method_name(B::PerQuery), "rayon-optimized");
}

TEST(BatchDispatch, ModeIsReadOnEveryCall) {
  CleanEnv clean;
  auto e = open_index(16, 200, Metric::Dot, random_matrix(200, 16, 4));
  ASSERT_TRUE(e);
  const std::vector<float> qs = random_matrix(5, 16, 5);
  for (const ModeCase& c : kModes) {
    ScopedEnv env("LUMVO_BATCH_MODE", c.mode);
    auto r = e->query_batch(span_of(qs), 16, 4);
    ASSERT_TRUE(r) << r.error();
    ASSERT_EQ(r->size(), 5u);
    for (const QueryResult& q : *r) EXPECT_EQ(q.method_used, c.method) << c.mode;
  }
  const std::pair<std::optional<std::string>, const char*> defaults[] = {
      {std::nullopt, "batch-blocked-exact"},
      {"RAYON", "batch-blocked-exact"},
      {" rayon", "batch-blocked-exact"},
      {std::string("rayon\xff"), "batch-blocked-exact"},
  };
  for (const auto& [value, method] : defaults) {
    ScopedEnv env("LUMVO_BATCH_MODE", value);
    auto r = e->query_batch(span_of(qs), 16, 4);
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ((*r)[0].method_used, method);
    auto r3 = e->query_batch(std::span<const float>(qs.data(), 3 * 16), 16, 4);
    ASSERT_TRUE(r3) << r3.error();
    for (const QueryResult& q : *r3) EXPECT_EQ(q.method_used, "rayon-optimized");
  }
}

// ---------------------------------------------------------------------------
// k = 0, NaN queries, times
// ---------------------------------------------------------------------------

TEST(BatchEdges, ZeroK) {
  CleanEnv clean;
  auto e = open_index(8, 50, Metric::Cosine, random_matrix(50, 8, 6));
  ASSERT_TRUE(e);
  const std::vector<float> qs = random_matrix(6, 8, 7);
  // Four or more queries by default: the blocked strategy yields nothing at all.
  for (const std::size_t nq : {4u, 6u}) {
    auto r = e->query_batch(std::span<const float>(qs.data(), nq * 8), 8, 0);
    ASSERT_TRUE(r) << r.error();
    EXPECT_TRUE(r->empty()) << nq;
  }
  // Two or three: one empty per-query result each.
  for (const std::size_t nq : {2u, 3u}) {
    auto r = e->query_batch(std::span<const float>(qs.data(), nq * 8), 8, 0);
    ASSERT_TRUE(r) << r.error();
    ASSERT_EQ(r->size(), nq);
    for (const QueryResult& q : *r) {
      EXPECT_TRUE(q.results.empty());
      EXPECT_EQ(q.method_used, "rayon-optimized");
      EXPECT_EQ(q.query_time_ms, 0.0);
    }
  }
  for (const ModeCase& c : kModes) {
    ScopedEnv env("LUMVO_BATCH_MODE", c.mode);
    auto r = e->query_batch(span_of(qs), 8, 0);
    ASSERT_TRUE(r) << r.error();
    if (std::string(c.method) == "rayon-optimized") {
      ASSERT_EQ(r->size(), 6u);
      for (const QueryResult& q : *r) EXPECT_TRUE(q.results.empty());
    } else {
      EXPECT_TRUE(r->empty()) << c.mode;
    }
  }
}

TEST(BatchEdges, ZeroRowIndex) {
  CleanEnv clean;
  auto e = open_index(8, 0, Metric::Euclidean, {});
  ASSERT_TRUE(e);
  const std::vector<float> qs = random_matrix(5, 8, 8);
  auto r = e->query_batch(span_of(qs), 8, 3);
  ASSERT_TRUE(r) << r.error();
  EXPECT_TRUE(r->empty());
  ScopedEnv env("LUMVO_BATCH_MODE", "rayon");
  auto rr = e->query_batch(span_of(qs), 8, 3);
  ASSERT_TRUE(rr) << rr.error();
  ASSERT_EQ(rr->size(), 5u);
  for (const QueryResult& q : *rr) EXPECT_TRUE(q.results.empty());
}

TEST(BatchEdges, NaNQueryFailsForThreeButNotForFour) {
  CleanEnv clean;
  auto e = open_index(8, 40, Metric::Dot, random_matrix(40, 8, 9));
  ASSERT_TRUE(e);
  std::vector<float> qs = random_matrix(4, 8, 10);
  qs[1 * 8 + 3] = kNaN;

  auto three = e->query_batch(std::span<const float>(qs.data(), 3 * 8), 8, 5);
  ASSERT_FALSE(three);
  EXPECT_EQ(three.error(), kBatchNonFiniteBytes);
  EXPECT_EQ(three.error(), msg::kBatchNonFinite);

  auto four = e->query_batch(span_of(qs), 8, 5);
  ASSERT_TRUE(four) << four.error();
  ASSERT_EQ(four->size(), 4u);
  EXPECT_TRUE((*four)[1].results.empty());
  for (const std::size_t i : {0u, 2u, 3u}) {
    EXPECT_EQ((*four)[i].method_used, "batch-blocked-exact");
    expect_same_hits((*four)[i].results, ref_top_k(*e, query(qs, 8, i), 5),
                     "query " + std::to_string(i));
  }

  // An infinity anywhere fails the per-query strategy before any scoring.
  std::vector<float> inf_last = random_matrix(5, 8, 11);
  inf_last.back() = -kInf;
  ScopedEnv env("LUMVO_BATCH_MODE", "rayon");
  auto r = e->query_batch(span_of(inf_last), 8, 5);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), kBatchNonFiniteBytes);
  // Zero k does not skip the check.
  auto r0 = e->query_batch(span_of(inf_last), 8, 0);
  ASSERT_FALSE(r0);
  EXPECT_EQ(r0.error(), kBatchNonFiniteBytes);
}

TEST(BatchEdges, NaNQueryUnderEveryMatrixStrategy) {
  CleanEnv clean;
  auto e = open_index(8, 40, Metric::Euclidean, random_matrix(40, 8, 12));
  ASSERT_TRUE(e);
  std::vector<float> qs = random_matrix(5, 8, 13);
  qs[2 * 8] = kInf;
  for (const char* mode : {"matrix", "chunked", "blocked"}) {
    ScopedEnv env("LUMVO_BATCH_MODE", mode);
    auto r = e->query_batch(span_of(qs), 8, 4);
    ASSERT_TRUE(r) << r.error();
    ASSERT_EQ(r->size(), 5u);
    EXPECT_TRUE((*r)[2].results.empty()) << mode;
    for (const std::size_t i : {0u, 1u, 3u, 4u}) {
      EXPECT_EQ((*r)[i].results.size(), 4u) << mode;
      for (const ScoredRow& h : (*r)[i].results) EXPECT_TRUE(std::isfinite(h.score));
    }
  }
}

TEST(BatchEdges, MatrixStrategiesReportZeroTime) {
  CleanEnv clean;
  auto e = open_index(32, 3000, Metric::Cosine, random_matrix(3000, 32, 14));
  ASSERT_TRUE(e);
  const std::vector<float> qs = random_matrix(9, 32, 15);
  for (const char* mode : {"matrix", "chunked", "blocked"}) {
    ScopedEnv env("LUMVO_BATCH_MODE", mode);
    auto r = e->query_batch(span_of(qs), 32, 3);
    ASSERT_TRUE(r) << r.error();
    for (const QueryResult& q : *r) EXPECT_EQ(q.query_time_ms, 0.0) << mode;
  }
  ScopedEnv env("LUMVO_BATCH_MODE", "rayon");
  auto r = e->query_batch(span_of(qs), 32, 3);
  ASSERT_TRUE(r) << r.error();
  for (const QueryResult& q : *r) EXPECT_GE(q.query_time_ms, 0.0);
}

TEST(BatchEdges, OneRowIndexAndKAboveRows) {
  CleanEnv clean;
  auto e1 = open_index(8, 1, Metric::Cosine, random_matrix(1, 8, 16));
  auto e5 = open_index(8, 5, Metric::Euclidean, random_matrix(5, 8, 17));
  ASSERT_TRUE(e1 && e5);
  const std::vector<float> qs = random_matrix(4, 8, 18);
  for (const ModeCase& c : kModes) {
    ScopedEnv env("LUMVO_BATCH_MODE", c.mode);
    auto r1 = e1->query_batch(span_of(qs), 8, 3);
    auto r5 = e5->query_batch(span_of(qs), 8, 100);
    ASSERT_TRUE(r1 && r5);
    ASSERT_EQ(r1->size(), 4u);
    ASSERT_EQ(r5->size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
      ASSERT_EQ((*r1)[i].results.size(), 1u) << c.mode;
      EXPECT_EQ((*r1)[i].results[0].idx, 0u);
      expect_same_hits((*r5)[i].results, ref_top_k(*e5, query(qs, 8, i), 100), c.mode);
    }
  }
}

// ---------------------------------------------------------------------------
// Results against the reference
// ---------------------------------------------------------------------------

// With sums that are exact in binary32 every strategy must give the reference
// bits, and ties (many here: 9 values per coordinate) by increasing row.
TEST(BatchResults, EveryStrategyMatchesTheReferenceOnExactData) {
  CleanEnv clean;
  for (const Metric m : {Metric::Cosine, Metric::Dot, Metric::Euclidean}) {
    std::vector<float> data = exact_matrix(700, 20, 21);
    for (const std::size_t r : {3u, 350u, 351u, 699u})
      std::copy_n(data.begin() + 20 * 100, 20, data.begin() + 20 * r);
    auto e = open_index(20, 700, m, data);
    ASSERT_TRUE(e);
    std::vector<float> qs = exact_matrix(11, 20, 22);
    std::copy_n(data.begin() + 20 * 100, 20, qs.begin() + 20 * 4);
    for (const ModeCase& c : kModes) {
      ScopedEnv env("LUMVO_BATCH_MODE", c.mode);
      auto r = e->query_batch(span_of(qs), 20, 15);
      ASSERT_TRUE(r) << r.error();
      ASSERT_EQ(r->size(), 11u);
      for (std::size_t i = 0; i < 11; ++i)
        expect_same_hits((*r)[i].results, ref_top_k(*e, query(qs, 20, i), 15),
                         std::string(c.mode) + " " + std::string(metric_name(m)) + " query " +
                             std::to_string(i));
    }
  }
}

// The sgemm strategies only filter; the rows and scores they return are the
// kernel's, bit for bit.
TEST(BatchResults, EveryStrategyIsBitIdenticalToTheReference) {
  CleanEnv clean;
  for (const Metric m : {Metric::Cosine, Metric::Dot, Metric::Euclidean}) {
    auto e = open_index(40, 5000, m, random_matrix(5000, 40, 23));
    ASSERT_TRUE(e);
    const std::vector<float> qs = random_matrix(13, 40, 24);
    for (const ModeCase& c : kModes) {
      ScopedEnv env("LUMVO_BATCH_MODE", c.mode);
      auto r = e->query_batch(span_of(qs), 40, 10);
      ASSERT_TRUE(r) << r.error();
      ASSERT_EQ(r->size(), 13u);
      for (std::size_t i = 0; i < 13; ++i)
        expect_same_hits((*r)[i].results, ref_top_k(*e, query(qs, 40, i), 10),
                         std::string(c.mode) + " " + std::string(metric_name(m)));
    }
  }
}

// The per-query strategy runs query_single, so on a chunked-size index its
// scores are the kernel's, bit for bit, in query order across groups.
TEST(BatchResults, PerQueryGroupsKeepQueryOrderAndKernelBits) {
  CleanEnv clean;
  auto e = open_index(64, 10000, Metric::Cosine, random_matrix(10000, 64, 25, true));
  ASSERT_TRUE(e);
  const std::vector<float> qs = random_matrix(21, 64, 26, true);  // more than one group
  ScopedEnv env("LUMVO_BATCH_MODE", "rayon");
  auto r = e->query_batch(span_of(qs), 64, 6);
  ASSERT_TRUE(r) << r.error();
  ASSERT_EQ(r->size(), 21u);
  for (std::size_t i = 0; i < 21; ++i) {
    EXPECT_EQ((*r)[i].method_used, "rayon-optimized");
    expect_same_hits((*r)[i].results, ref_top_k(*e, query(qs, 64, i), 6),
                     "query " + std::to_string(i));
  }
}

TEST(BatchResults, BlockingNeverChangesTheResult) {
  for (const Metric m : {Metric::Dot, Metric::Euclidean}) {
    auto e = open_index(24, 900, m, exact_matrix(900, 24, 27));
    ASSERT_TRUE(e);
    const std::vector<float> qs = exact_matrix(6, 24, 28);
    for (const std::size_t len : {1u, 2u, 13u, 64u, 450u, 899u, 900u, 10000u}) {
      auto r = batch::blocked_with_len(*e, span_of(qs), 6, 9, len);
      ASSERT_TRUE(r) << r.error();
      ASSERT_EQ(r->size(), 6u);
      for (std::size_t i = 0; i < 6; ++i)
        expect_same_hits((*r)[i].results, ref_top_k(*e, query(qs, 24, i), 9),
                         "block " + std::to_string(len));
    }
  }
}

TEST(BatchResults, QBlockNeverChangesTheResult) {
  CleanEnv clean;
  auto e = open_index(24, 500, Metric::Euclidean, exact_matrix(500, 24, 29));
  ASSERT_TRUE(e);
  const std::vector<float> qs = exact_matrix(10, 24, 30);
  ScopedEnv mode("LUMVO_BATCH_MODE", "matrix");
  for (const char* qb : {"1", "+2", "3", "10", "99999", "0", "-3", "abc"}) {
    ScopedEnv env("LUMVO_QBLOCK", qb);
    auto r = e->query_batch(span_of(qs), 24, 8);
    ASSERT_TRUE(r) << r.error();
    ASSERT_EQ(r->size(), 10u);
    for (std::size_t i = 0; i < 10; ++i)
      expect_same_hits((*r)[i].results, ref_top_k(*e, query(qs, 24, i), 8),
                       std::string("qblock ") + qb);
  }
}

// ---------------------------------------------------------------------------
// Sizing rules
// ---------------------------------------------------------------------------

TEST(BatchSizing, ParseQBlock) {
  EXPECT_EQ(parse_qblock("16"), 16u);
  EXPECT_EQ(parse_qblock("+16"), 16u);
  EXPECT_EQ(parse_qblock("007"), 7u);
  EXPECT_EQ(parse_qblock("18446744073709551615"), std::numeric_limits<std::size_t>::max());
  for (const char* bad : {"", "+", "++16", "0", "+0", "000", "-4", "-0", " 16", "16 ", "1e3", "abc",
                          "16a", "1_000", "18446744073709551616", "99999999999999999999"})
    EXPECT_EQ(parse_qblock(bad), std::nullopt) << '"' << bad << '"';
}

TEST(BatchSizing, QBlockWorkedExamples) {
  // 1,000 queries, 100,000 x 384 cosine, 2 threads: budget 5M gives 50 rows'
  // worth; par 4; width 50; cap 128; per task 250.
  EXPECT_EQ(qblock(std::nullopt, 1000, 100000, 384, Metric::Cosine, 2), 50u);
  // 10 queries, 1,000 x 128, 8 threads: par 10, one query per task.
  EXPECT_EQ(qblock(std::nullopt, 10, 1000, 128, Metric::Dot, 8), 1u);
  // More rows than the budget: by_rows 0, width = par = 8.
  EXPECT_EQ(qblock(std::nullopt, 1000, 10000000, 128, Metric::Cosine, 4), 8u);
  // Euclidean 500 x (1,000 x 768), 2 threads: width 500, cap 64.
  EXPECT_EQ(qblock(std::nullopt, 500, 1000, 768, Metric::Euclidean, 2), 64u);
  // 256 dims still uses the 8M budget and the 256 cap: 8M / 20,000 = 400.
  EXPECT_EQ(qblock(std::nullopt, 5000, 20000, 256, Metric::Cosine, 1), 256u);
  EXPECT_EQ(qblock(std::nullopt, 300, 20000, 256, Metric::Cosine, 1), 150u);
  // 257 dims: 5M budget, 250 by rows; 128 cap at 384 dims does not apply yet.
  EXPECT_EQ(qblock(std::nullopt, 5000, 20000, 257, Metric::Cosine, 1), 250u);
  // Fewer than two queries.
  EXPECT_EQ(qblock(std::nullopt, 1, 100, 8, Metric::Cosine, 4), 1u);
  EXPECT_EQ(qblock(std::nullopt, 0, 100, 8, Metric::Cosine, 4), 1u);
  // Threads 0 counts as 1: par 2, per task 2.
  EXPECT_EQ(qblock(std::nullopt, 3, 100, 8, Metric::Cosine, 0), 2u);
  // The variable wins when it parses and is not zero, with no upper bound.
  EXPECT_EQ(qblock("+16", 1000, 100000, 384, Metric::Cosine, 2), 16u);
  EXPECT_EQ(qblock("7", 1, 100, 8, Metric::Cosine, 4), 7u);
  EXPECT_EQ(qblock("99999", 10, 100, 8, Metric::Cosine, 4), 99999u);
  for (const char* bad : {"0", "-16", "16 ", "sixteen", ""})
    EXPECT_EQ(qblock(bad, 1000, 100000, 384, Metric::Cosine, 2), 50u) << bad;
}

TEST(BatchSizing, RowBlockLenWorkedExamples) {
  // 100,000 x 384 cosine, 2 threads: budget 26,041 rows, cap 16,000.
  EXPECT_EQ(row_block_len(100000, 384, Metric::Cosine, 2), 16000u);
  // 1,000 x 128, 8 threads: the row count.
  EXPECT_EQ(row_block_len(1000, 128, Metric::Dot, 8), 1000u);
  // 30,000 x 768: 16M / 768 = 20,833 under the 32,000 cap.
  EXPECT_EQ(row_block_len(30000, 768, Metric::Cosine, 2), 20833u);
  // Euclidean 1,000,000 x 1,024, 2 threads: 125,000 by threads, cap 32,000.
  EXPECT_EQ(row_block_len(1000000, 1024, Metric::Euclidean, 2), 32000u);
  // Euclidean 10,000 x 512, 1 thread: 3M / 512 = 5,859.
  EXPECT_EQ(row_block_len(10000, 512, Metric::Euclidean, 1), 5859u);
  // Budget below the dimension count: only the thread share remains.
  EXPECT_EQ(row_block_len(1000, 4000000, Metric::Euclidean, 1), 250u);
  EXPECT_EQ(row_block_len(3, 4000000, Metric::Euclidean, 1), 1u);
  // 100 dims: 8M / 100 = 80,000, cap 8,000.
  EXPECT_EQ(row_block_len(50000, 100, Metric::Cosine, 2), 8000u);
  EXPECT_EQ(row_block_len(0, 64, Metric::Cosine, 2), 1u);
  EXPECT_EQ(row_block_len(7, 0, Metric::Cosine, 0), 7u);
}

TEST(BatchSizing, SuperChunksAndGroups) {
  EXPECT_EQ(super_chunk_len(1000, 100000), 500u);
  EXPECT_EQ(super_chunk_len(10, 100000), 10u);
  EXPECT_EQ(super_chunk_len(1000, 50000000), 1u);
  EXPECT_EQ(super_chunk_len(1000, 50000001), 1u);
  EXPECT_EQ(super_chunk_len(1000, 30000000), 1u);
  EXPECT_EQ(super_chunk_len(1000, 0), 1000u);
  EXPECT_EQ(super_chunk_len(0, 100), 0u);

  EXPECT_EQ(per_query_group(100, 1), 8u);
  EXPECT_EQ(per_query_group(100, 2), 8u);
  EXPECT_EQ(per_query_group(100, 3), 12u);
  EXPECT_EQ(per_query_group(100, 16), 64u);
  EXPECT_EQ(per_query_group(5, 16), 5u);
  EXPECT_EQ(per_query_group(100, 0), 8u);
}

}  // namespace
}  // namespace lumvero
