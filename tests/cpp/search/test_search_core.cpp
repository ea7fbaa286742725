// The search core over row sets: rows in several runs (each with its own
// codes), a live mask or an allow-list, one query or many, with
// the pre-filter off and always, against the reference layout and result
// order; row norms as the loader computes them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "engine/format/dim_blocks.h"
#include "engine/format/row_norms.h"
#include "engine/prefilter/compressed_rows.h"
#include "engine/prefilter/single_scan.h"
#include "engine/runtime/tuning.h"
#include "engine/search/search_core.h"
#include "index_fixture.h"

namespace lumvero {
namespace {

using testing::exact_matrix;
using testing::expect_same_hits;
using testing::random_matrix;
using testing::ref_before;
using testing::ref_finite;
using testing::ref_score;
using testing::RefHit;
using testing::ScopedEnv;

constexpr float kInfF = std::numeric_limits<float>::infinity();
constexpr double kInfD = std::numeric_limits<double>::infinity();

struct Store {
  std::size_t dims;
  std::vector<float> rows;  // every position, in order
  std::vector<double> norms;
  std::vector<RowRun> runs;
  std::vector<std::unique_ptr<RunCodes>> codes;
};

// Rows cut into runs of the given lengths, each its own piece of memory
// (copied, so that a run boundary is also a memory boundary). With `spare`,
// each run's memory goes on for that many rows of other values past its
// last row, as an Index run's unused capacity does.
Store make_store(const std::vector<float>& rows, std::size_t dims,
                 const std::vector<std::size_t>& lengths, std::vector<std::vector<float>>& mem,
                 std::size_t spare = 0) {
  Store s{dims, rows, std::vector<double>(rows.size() / dims), {}, {}};
  run_norms_sq(rows.data(), rows.size() / dims, dims, s.norms.data());
  std::uint64_t first = 0;
  for (std::size_t len : lengths) {
    mem.emplace_back(rows.begin() + first * dims, rows.begin() + (first + len) * dims);
    const std::vector<float> other = random_matrix(spare, dims, 1000 + std::uint32_t(mem.size()));
    mem.back().insert(mem.back().end(), other.begin(), other.end());
    s.codes.push_back(std::make_unique<RunCodes>());
    s.runs.push_back(
        {mem.back().data(), s.norms.data() + first, len, first, s.codes.back().get(), len});
    first += len;
  }
  return s;
}

std::vector<RefHit> reference(const Store& s, Metric metric, const float* q, std::size_t k,
                              const std::vector<bool>& selected) {
  std::vector<RefHit> all;
  for (std::uint64_t r = 0; r < selected.size(); ++r) {
    if (!selected[r]) continue;
    const float v = ref_score(metric, q, s.rows.data() + r * s.dims, s.dims);
    if (ref_finite(v)) all.push_back({r, v});
  }
  std::sort(all.begin(), all.end(),
            [&](const RefHit& a, const RefHit& b) { return ref_before(metric, a, b); });
  if (all.size() > k) all.resize(k);
  return all;
}

TEST(RunNorms, EqualTheLoadersNorms) {
  const std::size_t rows = 5000, dims = 37;
  const std::vector<float> x = random_matrix(rows, dims, 3);
  std::vector<double> got(rows), want(rows);
  run_norms_sq(x.data(), rows, dims, got.data());
  compute_row_norms(x.data(), rows, dims, make_blocks(dims, 16), want.data(), nullptr);
  for (std::size_t r = 0; r < rows; ++r) ASSERT_EQ(got[r], want[r]) << r;
}

struct SetCase {
  Metric metric;
  std::size_t nq;
  bool exact_values;  // small multiples of 0.5: many equal scores
};

class SearchCore : public ::testing::TestWithParam<SetCase> {};

// Every selected row the bound admits (its score compared as an f64), in
// the reference order.
std::vector<RefHit> within(const Store& s, Metric metric, const float* q, double bound,
                           const std::vector<bool>& selected) {
  std::vector<RefHit> all = reference(s, metric, q, selected.size(), selected);
  std::erase_if(all, [&](const RefHit& h) {
    const double v = h.score;
    return metric == Metric::Euclidean ? !(v <= bound) : !(v >= bound);
  });
  return all;
}

// Bounds on the k-th best score, one f32 step either side of it, and one f64
// step towards the side it admits (which, rounded to f32, is the score).
std::vector<double> bounds_around(Metric metric, float kth) {
  const float worse = metric == Metric::Euclidean ? kInfF : -kInfF;
  const double admit = metric == Metric::Euclidean ? kInfD : -kInfD;
  return {kth, std::nextafter(kth, worse), std::nextafter(kth, -worse),
          std::nextafter(double(kth), admit)};
}

RowSet set_of(const Store& s, Metric metric, const Selection& sel) {
  RowSet set;
  set.runs = s.runs;
  set.selection = sel;
  set.dims = s.dims;
  set.metric = metric;
  return set;
}

TEST_P(SearchCore, EqualsTheReferenceOnTheSelectedRows) {
  const SetCase c = GetParam();
  // Large enough that every form but the smallest calls runs on the pool:
  // pieces of the kernel scan, and sgemm tiles (gathered for the list).
  const std::size_t rows = 60000, dims = 75, k = 12;
  const std::vector<float> x =
      c.exact_values ? exact_matrix(rows, dims, 11) : random_matrix(rows, dims, 11);
  std::vector<std::vector<float>> mem;
  const Store s = make_store(x, dims, {1, 4096, 7, 40000, 15896}, mem);
  const std::vector<float> qs = random_matrix(c.nq, dims, 12);

  std::mt19937 gen(13);
  std::vector<std::uint8_t> live(rows);
  for (auto& b : live) b = gen() % 4 != 0;  // three in four live
  std::vector<std::uint64_t> sparse;
  for (std::uint64_t r = 0; r < rows; r += 1 + gen() % 5) sparse.push_back(r);
  sparse.push_back(4097);  // a stretch of neighbours across a run boundary
  sparse.push_back(4098);
  sparse.push_back(4104);
  std::sort(sparse.begin(), sparse.end());
  sparse.erase(std::unique(sparse.begin(), sparse.end()), sparse.end());

  struct Form {
    std::string name;
    Selection selection;
    std::vector<bool> selected;
  };
  std::vector<Form> forms;
  forms.push_back({"all", {}, std::vector<bool>(rows, true)});
  Selection mask;
  mask.live = live.data();
  forms.push_back({"mask", mask, std::vector<bool>(live.begin(), live.end())});
  Selection list;
  list.positions = sparse.data();
  list.count = sparse.size();
  list.by_position = true;
  std::vector<bool> in_list(rows, false);
  for (auto p : sparse) in_list[p] = true;
  forms.push_back({"list", list, in_list});
  // Each run's last row: pieces of one entry, one per run.
  const std::vector<std::uint64_t> lasts{0, 4096, 4103, 44103, 59999};
  Selection last_rows;
  last_rows.positions = lasts.data();
  last_rows.count = lasts.size();
  last_rows.by_position = true;
  std::vector<bool> in_lasts(rows, false);
  for (auto p : lasts) in_lasts[p] = true;
  forms.push_back({"last rows", last_rows, in_lasts});
  Selection empty;
  empty.by_position = true;
  forms.push_back({"empty list", empty, std::vector<bool>(rows, false)});

  for (const char* prefilter : {"off", "always"}) {
    ScopedEnv env("LUMVO_FILTER", prefilter);
    for (const Form& f : forms) {
      SearchStats stats;
      auto got = core::search(set_of(s, c.metric, f.selection), qs.data(), c.nq, k, &stats);
      ASSERT_TRUE(got.has_value()) << got.error();
      ASSERT_EQ(got->size(), c.nq);
      for (std::size_t i = 0; i < c.nq; ++i)
        expect_same_hits((*got)[i], reference(s, c.metric, qs.data() + i * dims, k, f.selected),
                         f.name + " prefilter " + prefilter + " query " + std::to_string(i));
      const bool expected = std::string(prefilter) == "always" && f.name != "empty list";
      EXPECT_EQ(stats.prefiltered, expected) << f.name;
      // Radius searches with the bound on the k-th score of the first query
      // and a step either side of it.
      if ((*got)[0].size() < k) continue;
      for (const double bound : bounds_around(c.metric, (*got)[0].back().score)) {
        SearchStats range_stats;
        auto found = core::range_search(set_of(s, c.metric, f.selection), qs.data(), c.nq,
                                        Radius{bound, c.metric}, &range_stats);
        ASSERT_TRUE(found.has_value()) << found.error();
        ASSERT_EQ(found->size(), c.nq);
        for (std::size_t i = 0; i < c.nq; ++i)
          expect_same_hits(
              (*found)[i], within(s, c.metric, qs.data() + i * dims, bound, f.selected),
              f.name + " radius prefilter " + prefilter + " query " + std::to_string(i));
        EXPECT_EQ(range_stats.prefiltered, expected) << f.name;
        // Pre-filtered, a row is rescored only where its bound reaches the
        // radius: on these rows, a small share of the selection.
        if (expected && !c.exact_values && range_stats.rows_scanned > 1000) {
          EXPECT_LT(range_stats.rows_rescored, range_stats.rows_scanned / 20) << f.name;
        }
      }
    }
  }
}

// k as large as the selection: every selected row comes back exactly once,
// with its kernel score. The scans read a mask window by window
// (kPrefilterWindowRows rows in the pre-filter, fewer in the float scans):
// runs that start and end inside windows, windows wholly live, wholly
// removed and mixed, and a list of positions beside the mask.
TEST_P(SearchCore, KCoveringTheSelectionReturnsEachSelectedRowOnce) {
  const SetCase c = GetParam();
  constexpr std::size_t kWindow = tuning::kPrefilterWindowRows;
  const std::size_t dims = 12;
  const std::vector<std::size_t> lengths{2 * kWindow + 300, 1, 3 * kWindow - 7, kWindow + 1};
  std::size_t rows = 0;
  for (const std::size_t len : lengths) rows += len;
  const std::vector<float> x =
      c.exact_values ? exact_matrix(rows, dims, 31) : random_matrix(rows, dims, 31);
  std::vector<std::vector<float>> mem;
  const Store s = make_store(x, dims, lengths, mem);
  const std::vector<float> qs = random_matrix(c.nq, dims, 32);

  std::mt19937 gen(33);
  std::vector<std::uint8_t> live(rows);
  for (std::uint64_t r = 0; r < rows; ++r) {
    const bool all_live = r >= kWindow / 2 && r < kWindow / 2 + 2 * kWindow;
    const bool all_removed = r >= 3 * kWindow && r < 5 * kWindow;
    live[r] = all_live || (!all_removed && gen() % 4 != 0);
  }
  std::vector<std::uint64_t> listed;
  for (std::uint64_t r = 0; r < rows; r += 1 + gen() % 3) listed.push_back(r);
  for (std::uint64_t r = 4 * kWindow; r < 6 * kWindow; ++r) listed.push_back(r);  // a stretch
  std::sort(listed.begin(), listed.end());
  listed.erase(std::unique(listed.begin(), listed.end()), listed.end());

  Selection mask;
  mask.live = live.data();
  Selection list;
  list.positions = listed.data();
  list.count = listed.size();
  list.by_position = true;
  std::vector<bool> in_list(rows, false);
  for (const auto p : listed) in_list[p] = true;
  const struct {
    const char* name;
    Selection selection;
    std::vector<bool> selected;
  } forms[] = {{"mask", mask, std::vector<bool>(live.begin(), live.end())},
               {"list", list, in_list}};

  for (const char* prefilter : {"off", "always"}) {
    ScopedEnv env("LUMVO_FILTER", prefilter);
    for (const auto& f : forms) {
      const std::size_t k = std::count(f.selected.begin(), f.selected.end(), true);
      SearchStats stats;
      auto got = core::search(set_of(s, c.metric, f.selection), qs.data(), c.nq, k, &stats);
      ASSERT_TRUE(got.has_value()) << got.error();
      ASSERT_EQ(got->size(), c.nq);
      EXPECT_EQ(stats.prefiltered, std::string(prefilter) == "always") << f.name;
      for (std::size_t i = 0; i < c.nq; ++i) {
        const std::string what =
            std::string(f.name) + " prefilter " + prefilter + " query " + std::to_string(i);
        std::vector<int> times(rows, 0);
        for (const auto& hit : (*got)[i])
          if (hit.idx < rows) ++times[hit.idx];
        for (std::uint64_t r = 0; r < rows; ++r) {
          if (times[r] != (f.selected[r] ? 1 : 0)) {
            ADD_FAILURE() << what << ": row " << r << (f.selected[r] ? " (selected)" : "")
                          << " returned " << times[r] << " times";
            break;
          }
        }
        expect_same_hits((*got)[i], reference(s, c.metric, qs.data() + i * dims, k, f.selected),
                         what);
      }
    }
  }
}

// Each run's first row, with itself as the query, comes back at its position
// with its own score, alone and in a batch, k = 1 and more. Every run's
// memory goes on past its last row with other values, and the set's runs
// follow another run of the store: a row read from the run before its own
// gives a wrong score here rather than a read outside the memory.
TEST(SearchCore, EachRunsFirstRowIsReadFromItsOwnRun) {
  const std::size_t dims = 24;
  const std::vector<std::size_t> lengths{40, 1, 700, 3, 2100, 260};  // the first: outside the set
  std::size_t rows = 0;
  for (const std::size_t len : lengths) rows += len;
  const std::vector<float> x = random_matrix(rows, dims, 41, /*unit_rows=*/true);
  std::vector<std::vector<float>> mem;
  const Store s = make_store(x, dims, lengths, mem, /*spare=*/1);
  std::vector<bool> selected(rows, true);
  std::fill_n(selected.begin(), lengths[0], false);
  std::vector<float> firsts;
  std::vector<std::uint64_t> at;
  for (std::size_t r = 1; r < s.runs.size(); ++r) {
    at.push_back(s.runs[r].first);
    firsts.insert(firsts.end(), x.begin() + at.back() * dims, x.begin() + (at.back() + 1) * dims);
  }
  const std::size_t n = at.size();
  for (const Metric metric : {Metric::Cosine, Metric::Dot, Metric::Euclidean}) {
    RowSet set = set_of(s, metric, {});
    set.runs = std::span<const RowRun>(s.runs).subspan(1);
    for (const char* prefilter : {"off", "always"}) {
      ScopedEnv env("LUMVO_FILTER", prefilter);
      for (const std::size_t k : {1u, 4u}) {
        auto batch = core::search(set, firsts.data(), n, k);
        ASSERT_TRUE(batch.has_value()) << batch.error();
        for (std::size_t i = 0; i < n; ++i) {
          const float* q = firsts.data() + i * dims;
          const std::vector<RefHit> want = reference(s, metric, q, k, selected);
          ASSERT_EQ(want[0].idx, at[i]);  // a row is its own nearest
          auto alone = core::search(set, q, 1, k);
          ASSERT_TRUE(alone.has_value()) << alone.error();
          const std::string what = std::string(metric_name(metric)) + " prefilter " + prefilter +
                                   " k " + std::to_string(k) + " run " + std::to_string(i + 1) +
                                   " first row " + std::to_string(at[i]);
          expect_same_hits((*alone)[0], want, what + " alone");
          expect_same_hits((*batch)[i], want, what + " in a batch");
        }
      }
    }
  }
}

// Rows whose magnitude grows from run to run, so that one kernel block of
// codes spans runs whose bounds differ by orders of magnitude; and equal
// rows in two runs, where the earlier position must win, for one query and
// for a batch.
TEST(SearchCore, EachRunKeepsItsOwnBoundsAndTiesGoToTheEarlierRun) {
  const std::size_t dims = 16, k = 5;
  const std::vector<std::size_t> lengths{300, 300, 300, 300};
  std::vector<float> x = random_matrix(1200, dims, 21);
  for (std::size_t r = 0; r < 1200; ++r)
    for (std::size_t d = 0; d < dims; ++d) x[r * dims + d] *= std::ldexp(1.0f, 6 * int(r / 300));
  // Run 3 repeats run 2's rows: every tie between them goes to run 2.
  std::copy_n(x.begin() + 600 * dims, 300 * dims, x.begin() + 900 * dims);
  std::vector<std::vector<float>> mem;
  const Store s = make_store(x, dims, lengths, mem);
  std::vector<float> qs = random_matrix(5, dims, 22);
  for (float& v : qs) v *= 64.0f;
  for (const Metric metric : {Metric::Dot, Metric::Euclidean}) {
    for (const char* prefilter : {"off", "always"}) {
      ScopedEnv env("LUMVO_FILTER", prefilter);
      for (const std::size_t nq : {1u, 5u}) {
        auto got = core::search(set_of(s, metric, {}), qs.data(), nq, k);
        ASSERT_TRUE(got.has_value()) << got.error();
        for (std::size_t i = 0; i < nq; ++i)
          expect_same_hits(
              (*got)[i],
              reference(s, metric, qs.data() + i * dims, k, std::vector<bool>(1200, true)),
              std::string(metric_name(metric)) + " " + prefilter + " nq " + std::to_string(nq));
      }
    }
  }
}

// A list of positions too short for the codes to pay for their build reads
// them once every run it lists has them built: single queries and radius
// searches, each the reference's rows and score bits over the listed rows.
TEST(SearchCore, AShortListReadsTheCodesOnceEveryRunHasThem) {
  const std::size_t dims = 64;
  const std::vector<float> x = random_matrix(30000, dims, 51, /*unit_rows=*/true);
  std::vector<std::vector<float>> mem;
  const Store s = make_store(x, dims, {12000, 18000}, mem);
  const std::vector<float> qs = random_matrix(3, dims, 52, /*unit_rows=*/true);
  std::vector<std::uint64_t> listed;
  for (std::uint64_t r = 5; r < 30000; r += 7) listed.push_back(r);  // 4,285 rows in both runs
  std::vector<bool> selected(30000, false);
  for (const auto p : listed) selected[p] = true;
  Selection list{nullptr, listed.data(), listed.size(), true};
  Selection too_short{nullptr, listed.data(), tuning::kPrefilterListMinRows - 1, true};
  ScopedEnv env("LUMVO_FILTER", std::nullopt);
  const auto build = [&](std::size_t i) {
    const RowRun& run = s.runs[i];
    EXPECT_NE(run.codes->acquire(run.data, run.rows, run.capacity, dims, run.norms_sq).rows,
              nullptr);
  };
  for (const int built : {0, 1, 2}) {
    if (built > 0) build(built - 1);
    for (const Metric metric : {Metric::Cosine, Metric::Dot, Metric::Euclidean}) {
      const RowSet set = set_of(s, metric, list);
      const std::string what =
          std::string(metric_name(metric)) + " runs built " + std::to_string(built);
      EXPECT_EQ(prefilter::wanted(prefilter::Mode::Auto, set, 10), built == 2) << what;
      EXPECT_FALSE(prefilter::wanted(prefilter::Mode::Auto, set_of(s, metric, too_short), 10));
      for (std::size_t i = 0; i < 3; ++i) {
        const float* q = qs.data() + i * dims;
        SearchStats stats;
        auto got = core::search(set, q, 1, 10, &stats);
        ASSERT_TRUE(got.has_value()) << got.error();
        EXPECT_EQ(stats.prefiltered, built == 2) << what;
        EXPECT_EQ(stats.rows_scanned, built == 2 ? listed.size() : 0) << what;
        const std::vector<RefHit> best = reference(s, metric, q, 10, selected);
        expect_same_hits((*got)[0], best, what + " query " + std::to_string(i));
        const double bound = best.back().score;
        auto found = core::range_search(set, q, 1, Radius{bound, metric});
        ASSERT_TRUE(found.has_value()) << found.error();
        expect_same_hits((*found)[0], within(s, metric, q, bound, selected),
                         what + " radius, query " + std::to_string(i));
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, SearchCore,
    ::testing::Values(SetCase{Metric::Cosine, 1, false}, SetCase{Metric::Dot, 2, true},
                      SetCase{Metric::Euclidean, 1, true}, SetCase{Metric::Dot, 6, false},
                      SetCase{Metric::Euclidean, 6, true}, SetCase{Metric::Cosine, 9, true}),
    [](const ::testing::TestParamInfo<SetCase>& p) {
      return std::string(metric_name(p.param.metric)) + "_" + std::to_string(p.param.nq) +
             (p.param.exact_values ? "_ties" : "");
    });

}  // namespace
}  // namespace lumvero
