// The radius collector: which scores a bound admits, the order of what it
// found, and the band whose L is the bound.
//
// Expected lists come from a brute-force sort under the order written in
// index_fixture.h, never from the tools under test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/format/index_format.h"
#include "engine/search/exact_band.h"
#include "engine/search/found_order.h"
#include "engine/search/radius.h"
#include "index_fixture.h"

namespace lumvero {
namespace {

using testing::expect_same_hits;
using testing::ref_before;
using testing::RefHit;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr double kInf64 = std::numeric_limits<double>::infinity();

// What the bound admits of `scores` (row = index), best first.
std::vector<RefHit> admitted(const std::vector<float>& scores, Metric metric, double bound) {
  std::vector<RefHit> out;
  for (std::size_t i = 0; i < scores.size(); ++i) {
    const double v = scores[i];
    if (!std::isfinite(scores[i])) continue;
    if (metric == Metric::Euclidean ? v <= bound : v >= bound) out.push_back({i, scores[i]});
  }
  std::sort(out.begin(), out.end(),
            [&](const RefHit& a, const RefHit& b) { return ref_before(metric, a, b); });
  return out;
}

// Scores with many ties, both zeros, both infinities and a NaN.
std::vector<float> tied_scores(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  const float values[] = {-2.5f, -1.0f, -0.0f, 0.0f, 0.25f, 0.5f, 0.75f, 1.0f, 1.0000001f, 3.0f};
  std::vector<float> s(n);
  for (float& v : s) v = values[gen() % 10] * (gen() % 3 == 0 ? 1e-3f : 1.0f);
  s[n / 3] = kInf;
  s[n / 2] = -kInf;
  s[n - 1] = std::numeric_limits<float>::quiet_NaN();
  return s;
}

// Each score fed to a radius list, cut into lists of `cut` rows fed in
// position order.
std::vector<std::vector<ScoredRow>> lists_of(const std::vector<float>& scores, const Radius& r,
                                             std::size_t cut) {
  std::vector<std::vector<ScoredRow>> lists;
  for (std::size_t b = 0; b < scores.size(); b += cut) {
    RadiusList list(r);
    list.feed(scores.data() + b, std::min(cut, scores.size() - b), b);
    lists.push_back(list.take());
  }
  return lists;
}

// The lists sorted together.
std::vector<ScoredRow> collect(const std::vector<float>& scores, const Radius& r, std::size_t cut) {
  return sort_found(lists_of(scores, r, cut), r.metric);
}

// The lists written out in order by write_found, each row named by the id
// 3 * position + 1 and read back as its position.
std::vector<ScoredRow> written(const std::vector<float>& scores, const Radius& r, std::size_t cut) {
  std::vector<std::int64_t> ids(scores.size());
  for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = 3 * static_cast<std::int64_t>(i) + 1;
  auto lists = lists_of(scores, r, cut);
  const std::size_t n = found_count(lists);
  std::vector<float> out_scores(n);
  std::vector<std::int64_t> out_ids(n);
  const Status st =
      write_found(std::move(lists), r.metric, {out_scores.data(), out_ids.data(), ids.data()});
  EXPECT_TRUE(st.has_value());
  std::vector<ScoredRow> rows(n);
  for (std::size_t j = 0; j < n; ++j)
    rows[j] = {static_cast<std::uint64_t>((out_ids[j] - 1) / 3), out_scores[j]};
  return rows;
}

TEST(RadiusList, KeepsWhatTheBoundAdmitsBestFirstTiesByPosition) {
  for (const Metric metric : {Metric::Cosine, Metric::Euclidean}) {
    const bool distance = metric == Metric::Euclidean;
    // Below and above the radix sort's threshold, and written out on the pool.
    for (const std::size_t n : {std::size_t{40}, std::size_t{5000}, std::size_t{70000}}) {
      const std::vector<float> scores = tied_scores(n, 7);
      // On a score, one f32 step either side, an f64 step towards the admitted
      // side, zero (admitting -0.0 too), both infinities, beyond every float.
      const float on = 0.5f;
      const float admit_side = distance ? kInf : -kInf;
      for (const double bound :
           {double(on), double(std::nextafter(on, admit_side)),
            double(std::nextafter(on, -admit_side)), std::nextafter(0.5, distance ? 1.0 : 0.0), 0.0,
            -0.0, kInf64, -kInf64, 1e300, -1e300}) {
        const Radius r{bound, metric};
        const std::string what = std::string(metric_name(metric)) + " n " + std::to_string(n) +
                                 " bound " + std::to_string(bound);
        const std::vector<RefHit> want = admitted(scores, metric, bound);
        expect_same_hits(collect(scores, r, n), want, what + " one list");
        expect_same_hits(collect(scores, r, 97), want, what + " lists of 97");
        // Equal scores in many lists: the order keeps their positions.
        expect_same_hits(written(scores, r, 97), want, what + " written from lists of 97");
        expect_same_hits(written(scores, r, n), want, what + " written from one list");
        if (r.admits_none()) {
          EXPECT_TRUE(want.empty()) << what;
        }
        if (r.admits_all()) {
          EXPECT_EQ(want.size(), n - 3) << what;
        }
      }
    }
  }
}

TEST(RadiusList, BoundsBeyondEveryFloatAdmitNoneOrAll) {
  const double beyond = std::nextafter(double(std::numeric_limits<float>::max()), kInf64);
  EXPECT_TRUE((Radius{beyond, Metric::Dot}.admits_none()));
  EXPECT_TRUE((Radius{kInf64, Metric::Cosine}.admits_none()));
  EXPECT_FALSE((Radius{std::numeric_limits<float>::max(), Metric::Dot}.admits_none()));
  EXPECT_TRUE((Radius{-beyond, Metric::Euclidean}.admits_none()));
  EXPECT_TRUE((Radius{-beyond, Metric::Dot}.admits_all()));
  EXPECT_TRUE((Radius{beyond, Metric::Euclidean}.admits_all()));
  EXPECT_FALSE((Radius{0.0, Metric::Euclidean}.admits_all()));
  EXPECT_FALSE((Radius{-kInf64, Metric::Dot}.admits(-kInf)));
  EXPECT_TRUE((Radius{0.0, Metric::Dot}.admits(-0.0f)));
  EXPECT_TRUE((Radius{-0.0, Metric::Euclidean}.admits(0.0f)));
}

TEST(RadiusList, ListsOutOfPositionOrderAreSortedAlike) {
  const std::vector<float> scores = tied_scores(3000, 9);
  const Radius r{0.25, Metric::Dot};
  std::vector<std::vector<ScoredRow>> lists(2);
  for (std::size_t i = 0; i < scores.size(); ++i)
    if (r.admits(scores[i])) lists[i % 2 == 0 ? 1 : 0].push_back({i, scores[i]});
  expect_same_hits(sort_found(std::move(lists), r.metric), admitted(scores, r.metric, r.bound),
                   "two interleaved lists");
}

// A radius band keeps every row whose interval [a - gap, a + gap] reaches the
// bound and drops the others, however many rows it is fed.
TEST(RadiusBand, KeepsEveryRowWhoseBoundReachesTheRadius) {
  for (const Metric metric : {Metric::Dot, Metric::Euclidean}) {
    const bool distance = metric == Metric::Euclidean;
    std::mt19937 gen(3);
    std::uniform_real_distribution<float> u(-4.0f, 4.0f);
    std::vector<float> approx(20000);
    for (float& a : approx) a = u(gen);
    const score_error::Gap gap{0.01, 0.0, true};
    const double bound = distance ? -3.5 : 3.5;
    ExactBand band(Radius{bound, metric});
    band.feed(approx.data(), approx.size(), 0, gap);
    const BandPart part = band.take();
    EXPECT_TRUE(part.sure.empty());
    std::vector<std::uint64_t> kept;
    for (const BandMember& m : part.members) kept.push_back(m.idx);
    std::vector<std::uint64_t> want, unsure;
    for (std::size_t i = 0; i < approx.size(); ++i) {
      const double a = approx[i];
      const double reach = distance ? a - gap.a : a + gap.a;
      // Rows within a hair of the edge may go either way (the band's own
      // evaluation error); every other row is decided.
      if (std::fabs(reach - bound) < 1e-9) {
        unsure.push_back(i);
      } else if (distance ? reach <= bound : reach >= bound) {
        want.push_back(i);
      }
    }
    ASSERT_TRUE(unsure.empty());
    EXPECT_EQ(kept, want) << metric_name(metric);
    EXPECT_GT(want.size(), 100u);
    EXPECT_LT(want.size(), approx.size() / 4);
  }
}

}  // namespace
}  // namespace lumvero
