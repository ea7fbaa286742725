// The compressed filter around its exactness: the codes are built once however
// many first queries race for it, the switch is read on every query, a wide
// band hands the rows back to the float scan, and on clustered unit rows the
// bound leaves only a sliver of rows to rescore.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/prefilter/batch_scan.h"
#include "engine/prefilter/compressed_rows.h"
#include "engine/prefilter/single_scan.h"
#include "engine/runtime/tuning.h"
#include "engine/search/search_core.h"
#include "engine/search/single_query.h"
#include "index_fixture.h"

namespace lumvero {
namespace {

using testing::expect_same_hits;
using testing::open_index;
using testing::ref_top_k;
using testing::ScopedEnv;

// Unit rows around a few centres, as embeddings are.
std::vector<float> clustered(std::size_t rows, std::size_t dims, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> centres(20 * dims);
  for (float& c : centres) c = normal(gen);
  std::vector<float> v(rows * dims);
  for (std::size_t r = 0; r < rows; ++r) {
    const float* c = centres.data() + (gen() % 20) * dims;
    double s = 0.0;
    for (std::size_t d = 0; d < dims; ++d) {
      v[r * dims + d] = c[d] + 0.3f * normal(gen);
      s += double(v[r * dims + d]) * v[r * dims + d];
    }
    for (std::size_t d = 0; d < dims; ++d)
      v[r * dims + d] = static_cast<float>(v[r * dims + d] / std::sqrt(s));
  }
  return v;
}

TEST(Prefilter, SwitchIsReadOnEveryQuery) {
  {
    ScopedEnv env("LUMVO_FILTER", "off");
    EXPECT_EQ(prefilter::mode(), prefilter::Mode::Off);
    EXPECT_FALSE(prefilter::wanted(prefilter::mode(), 1000000, 128, 10));
  }
  for (const char* v : {"Off", "on", " off", "always ", ""}) {
    ScopedEnv env("LUMVO_FILTER", v);
    EXPECT_EQ(prefilter::mode(), prefilter::Mode::Auto) << v;
  }
  ScopedEnv env("LUMVO_FILTER", "always");
  EXPECT_EQ(prefilter::mode(), prefilter::Mode::Always);
  EXPECT_TRUE(prefilter::wanted(prefilter::Mode::Always, 1, 1, 1));
  EXPECT_TRUE(prefilter::wanted(prefilter::Mode::Always, 1000000, 128, 100000));
  EXPECT_FALSE(prefilter::wanted(prefilter::Mode::Always, 10, 0, 1));
  // Rows too wide for int32 sums of 8-bit-or-better queries.
  EXPECT_FALSE(prefilter::wanted(prefilter::Mode::Always, 10, 70000, 1));
  EXPECT_FALSE(prefilter::wanted(prefilter::Mode::Auto, 1000, 128, 10));
  // A large k: the band alone would be rescored on one thread.
  EXPECT_FALSE(prefilter::wanted(prefilter::Mode::Auto, 1000000, 128, 1000));
  EXPECT_TRUE(prefilter::wanted(prefilter::Mode::Auto, 1000000, 128, 10));
}

// "off" is an escape hatch: the codes are never built, not even lazily.
TEST(Prefilter, OffNeverBuildsTheCopy) {
  constexpr std::uint32_t kRows = 20000, kDims = 128;
  const std::vector<float> data = clustered(kRows, kDims, 6);
  auto engine = open_index(kDims, kRows, Metric::Cosine, data);
  ASSERT_TRUE(engine);
  PrefilterCounters& c = prefilter_counters();
  const std::uint64_t built = c.codes_built, scanned = c.rows_scanned;
  const auto want = ref_top_k(*engine, data.data(), 10);
  {
    ScopedEnv env("LUMVO_FILTER", "off");
    auto r = engine->query_single(std::span<const float>(data.data(), kDims), 10);
    ASSERT_TRUE(r);
    expect_same_hits(r->results, want, "off");
  }
  EXPECT_EQ(c.codes_built, built);
  EXPECT_EQ(c.rows_scanned, scanned);
  ScopedEnv env("LUMVO_FILTER", std::nullopt);
  auto r = engine->query_single(std::span<const float>(data.data(), kDims), 10);
  ASSERT_TRUE(r);
  EXPECT_EQ(c.codes_built, built + 1);
  EXPECT_EQ(c.rows_scanned, scanned + kRows);
  expect_same_hits(r->results, want, "auto");
}

// Without the memory for the codes the queries read the float rows, and the
// refusal stands: the codes are never retried.
TEST(Prefilter, RefusedCopyLeavesTheFloatScan) {
  constexpr std::uint32_t kRows = 3000, kDims = 24;
  const std::vector<float> data = clustered(kRows, kDims, 8);
  auto engine = open_index(kDims, kRows, Metric::Dot, data);
  ASSERT_TRUE(engine);
  PrefilterCounters& c = prefilter_counters();
  const std::uint64_t refused = c.codes_refused, built = c.codes_built, scanned = c.rows_scanned;
  const double just_short = 2.0 * static_cast<double>(CompressedRows::bytes_for(kRows, kDims)) - 1;
  EXPECT_EQ(engine->compressed
                .acquire(engine->data(), kRows, kRows, kDims, engine->norms_sq.data(), just_short)
                .rows,
            nullptr);
  EXPECT_EQ(c.codes_refused, refused + 1);
  ScopedEnv env("LUMVO_FILTER", "always");
  for (std::size_t i = 0; i < 3; ++i) {
    const float* q = data.data() + i * 101 * kDims;
    auto r = engine->query_single(std::span<const float>(q, kDims), 5);
    ASSERT_TRUE(r);
    expect_same_hits(r->results, ref_top_k(*engine, q, 5), "query " + std::to_string(i));
  }
  EXPECT_EQ(c.codes_built, built);
  EXPECT_EQ(c.codes_refused, refused + 1);
  EXPECT_EQ(c.rows_scanned, scanned);
}

TEST(Prefilter, RacingFirstQueriesBuildOneCopy) {
  constexpr std::uint32_t kRows = 5000, kDims = 40;
  const std::vector<float> data = clustered(kRows, kDims, 3);
  auto engine = open_index(kDims, kRows, Metric::Cosine, data);
  ASSERT_TRUE(engine);
  ScopedEnv env("LUMVO_FILTER", "always");
  PrefilterCounters& c = prefilter_counters();
  const std::uint64_t built = c.codes_built, bytes = c.codes_bytes;
  std::vector<std::vector<ScoredRow>> got(6);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < got.size(); ++t) {
    threads.emplace_back([&, t] {
      auto r = engine->query_single(std::span<const float>(data.data() + t * kDims, kDims), 7);
      if (r) got[t] = std::move(r->results);
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(c.codes_built - built, 1u);
  EXPECT_EQ(c.codes_bytes - bytes, CompressedRows::bytes_for(kRows, kDims));
  for (std::size_t t = 0; t < got.size(); ++t)
    expect_same_hits(got[t], ref_top_k(*engine, data.data() + t * kDims, 7),
                     "thread " + std::to_string(t));
}

TEST(Prefilter, WideBandReadsTheFloatRows) {
  // A large common offset: the codes cannot separate the rows.
  constexpr std::uint32_t kRows = 20000, kDims = 32;
  std::mt19937 gen(4);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> data(std::size_t{kRows} * kDims);
  for (float& x : data) x = 1.0e4f + normal(gen);
  auto engine = open_index(kDims, kRows, Metric::Euclidean, data);
  ASSERT_TRUE(engine);
  const std::vector<float> q(data.begin() + 5 * kDims, data.begin() + 6 * kDims);
  PrefilterCounters& c = prefilter_counters();
  const std::uint64_t fallback = c.rows_fallback;
  const std::uint64_t scanned = c.rows_scanned;
  const RowRun run = engine->as_run();
  auto r = prefilter::scan(engine->as_set(run), q.data(), 10, 4);
  ASSERT_TRUE(r && r->has_value());
  // Each piece checks within its first sixteenth (four stripes here),
  // and the first finding sends every other piece to the floats.
  EXPECT_LE(c.rows_scanned - scanned, 4 * 1024u);
  EXPECT_EQ(c.rows_fallback - fallback + (c.rows_scanned - scanned), kRows);
  expect_same_hits(**r, ref_top_k(*engine, q.data(), 10), "offset rows");
  // The codes remembers: the next auto searches read the floats at once,
  // "always" still reads the codes, and after the skips one probes again.
  {
    ScopedEnv unset("LUMVO_FILTER", std::nullopt);
    for (std::uint32_t i = 0; i < tuning::kPrefilterWideSkips; ++i) {
      const std::uint64_t before = c.rows_scanned;
      auto again = prefilter::scan(engine->as_set(run), q.data(), 10, 4);
      ASSERT_TRUE(again);
      EXPECT_FALSE(again->has_value()) << i;
      EXPECT_EQ(c.rows_scanned, before);
      auto answered = engine->query_single(std::span<const float>(q), 10);
      ASSERT_TRUE(answered);
      expect_same_hits(answered->results, ref_top_k(*engine, q.data(), 10), "hinted");
    }
    const std::uint64_t before = c.rows_scanned;
    auto probe = prefilter::scan(engine->as_set(run), q.data(), 10, 4);
    ASSERT_TRUE(probe && probe->has_value());
    EXPECT_GT(c.rows_scanned, before);
  }
  {
    ScopedEnv always("LUMVO_FILTER", "always");
    const std::uint64_t before = c.rows_scanned;
    auto forced = prefilter::scan(engine->as_set(run), q.data(), 10, 4);
    ASSERT_TRUE(forced && forced->has_value());
    EXPECT_GT(c.rows_scanned, before);
  }

  // A batch gives up on the tiles (the fp32 path answers it) unless told
  // to use them always; the answers are the kernel's either way.
  const std::vector<float> qs(data.begin(), data.begin() + 4 * kDims);
  {
    ScopedEnv unset("LUMVO_FILTER", std::nullopt);
    const RowRun brun = engine->as_run();
    auto b = prefilter::batch_scan(engine->as_set(brun), qs.data(), 4, 10, 2);
    ASSERT_TRUE(b);
    EXPECT_FALSE(b->has_value());
  }
  for (const char* filter : {"auto", "always"}) {
    ScopedEnv use("LUMVO_FILTER", filter);
    auto b = engine->query_batch(std::span<const float>(qs), kDims, 10);
    ASSERT_TRUE(b) << b.error();
    for (std::size_t i = 0; i < 4; ++i)
      expect_same_hits((*b)[i].results, ref_top_k(*engine, qs.data() + i * kDims, 10),
                       std::string("offset batch, filter ") + filter);
  }
}

// The hint is the search's, not a piece's: near-copies of the query at the
// end of the rows make the last pieces' bands wide, but most rows went
// through the codes, so nothing is recorded and the next auto searches read
// the codes again. (Few rows and dims: the pieces run in order on this thread.)
TEST(Prefilter, APieceRunningWideLateLeavesNoHint) {
  constexpr std::uint32_t kRows = 20000, kDims = 16, kCopies = 3000;
  std::vector<float> data = clustered(kRows, kDims, 9);
  std::vector<float> q = testing::random_values(kDims, 10);
  testing::normalize(q.data(), kDims);
  std::mt19937 gen(11);
  std::normal_distribution<float> normal(0.0f, 1.0e-4f);
  for (std::size_t r = kRows - kCopies; r < kRows; ++r)
    for (std::size_t d = 0; d < kDims; ++d) data[r * kDims + d] = q[d] + normal(gen);
  auto engine = open_index(kDims, kRows, Metric::Dot, data);
  ASSERT_TRUE(engine);
  ASSERT_TRUE(core::runs_inline(engine->as_set(engine->as_run()), 1));
  ScopedEnv unset("LUMVO_FILTER", std::nullopt);
  PrefilterCounters& c = prefilter_counters();
  const auto want = ref_top_k(*engine, q.data(), 10);
  for (int i = 0; i < 3; ++i) {
    const std::uint64_t searches = c.searches, scanned = c.rows_scanned;
    SearchStats stats;
    const RowRun run = engine->as_run();
    auto r = prefilter::scan(engine->as_set(run), q.data(), 10, 4, &stats);
    ASSERT_TRUE(r) << r.error();
    ASSERT_TRUE(r->has_value()) << "search " << i << " skipped the codes";
    expect_same_hits(**r, want, "search " + std::to_string(i));
    EXPECT_EQ(c.searches, searches + 1);
    EXPECT_EQ(c.rows_scanned - scanned, stats.rows_scanned);
    // Some piece ran wide, yet most rows were read through the codes.
    EXPECT_GT(stats.rows_fallback, 0u) << i;
    EXPECT_GT(stats.rows_scanned, kRows / 2) << i;
    EXPECT_EQ(stats.rows_scanned + stats.rows_fallback, kRows) << i;
  }
}

// Rows appended after the first search are quantised on their own, and the
// bounds of the run they complete grow to cover them: the codes then hold
// exactly what a build of all the rows at once holds, byte for byte.
TEST(Prefilter, ExtendedCopyMatchesAFreshBuild) {
  constexpr std::uint64_t kRows = 3000, kDims = 40;
  std::vector<float> data = clustered(kRows, kDims, 11);
  // Rows that grow from run to run, so a partly filled run's bounds change.
  for (std::size_t i = 0; i < data.size(); ++i) data[i] *= 1.0f + float(i / kDims) / 64.0f;
  std::vector<double> norms(kRows);
  for (std::uint64_t r = 0; r < kRows; ++r)
    for (std::uint64_t d = 0; d < kDims; ++d)
      norms[r] += double(data[r * kDims + d]) * data[r * kDims + d];
  const auto fresh = CompressedRows::build(data.data(), kRows, kDims, norms.data());
  ASSERT_TRUE(fresh);
  const std::size_t width = fresh->width();
  for (const std::vector<std::uint64_t>& steps :
       {std::vector<std::uint64_t>{1, 300, kRows}, {256, 257, 2999, kRows}, {1000, kRows}}) {
    auto grown = CompressedRows::reserve(kRows, kDims);
    ASSERT_TRUE(grown);
    for (const std::uint64_t upto : steps)
      ASSERT_TRUE(grown->extend(data.data(), upto, norms.data()));
    ASSERT_EQ(grown->rows(), kRows);
    EXPECT_EQ(std::memcmp(grown->codes(0), fresh->codes(0), kRows * width), 0);
    EXPECT_EQ(std::memcmp(grown->scales(), fresh->scales(), kRows * sizeof(float)), 0);
    for (std::uint64_t b = 0;
         b < (kRows + CompressedRows::kStripeRows - 1) / CompressedRows::kStripeRows; ++b) {
      EXPECT_EQ(grown->stripe(b).resid, fresh->stripe(b).resid) << "stripe " << b;
      EXPECT_EQ(grown->stripe(b).code_norm, fresh->stripe(b).code_norm) << "stripe " << b;
      EXPECT_EQ(grown->stripe(b).norm_sq, fresh->stripe(b).norm_sq) << "stripe " << b;
    }
  }
}

TEST(Prefilter, ClusteredUnitRowsLeaveFewRowsToRescore) {
  constexpr std::uint32_t kRows = 40000, kDims = 128;
  const std::vector<float> data = clustered(kRows, kDims, 5);
  for (const Metric m : {Metric::Cosine, Metric::Euclidean}) {
    auto engine = open_index(kDims, kRows, m, data);
    ASSERT_TRUE(engine);
    PrefilterCounters& c = prefilter_counters();
    const std::uint64_t rescored = c.rows_rescored, fallback = c.rows_fallback;
    for (std::size_t i = 0; i < 5; ++i) {
      const float* q = data.data() + (i * 7919) * kDims;
      const RowRun run = engine->as_run();
      auto r = prefilter::scan(engine->as_set(run), q, 10);
      ASSERT_TRUE(r && r->has_value());
      expect_same_hits(**r, ref_top_k(*engine, q, 10), "query " + std::to_string(i));
    }
    EXPECT_EQ(c.rows_fallback, fallback);
    // Under 5 % of the rows scanned (a bound that says nothing keeps all).
    EXPECT_LT(c.rows_rescored - rescored, 5 * kRows * 5 / 100) << metric_name(m);
    // The same queries as one batch through the tiles.
    std::vector<float> qs;
    for (std::size_t i = 0; i < 5; ++i)
      qs.insert(qs.end(), data.begin() + (i * 7919) * kDims, data.begin() + (i * 7919 + 1) * kDims);
    ScopedEnv unset("LUMVO_FILTER", std::nullopt);
    const RowRun run = engine->as_run();
    auto b = prefilter::batch_scan(engine->as_set(run), qs.data(), 5, 10);
    ASSERT_TRUE(b && b->has_value());
    for (std::size_t i = 0; i < 5; ++i)
      expect_same_hits((**b)[i], ref_top_k(*engine, qs.data() + i * kDims, 10),
                       "batch query " + std::to_string(i));
  }
}

}  // namespace
}  // namespace lumvero
