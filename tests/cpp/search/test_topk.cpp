// The result order and the top-k tools built on it.
//
// Expected lists come from a brute-force sort under an order written here
// independently (totalOrder as an unsigned key), never from the tools under
// test.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/format/index_format.h"
#include "engine/search/query_result.h"
#include "engine/search/result_order.h"
#include "engine/search/topk.h"
#include "engine/status.h"
#include "index_fixture.h"

namespace lumvero {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

using testing::bits;

// totalOrder as an unsigned key: negatives reversed below all positives.
std::uint32_t unsigned_key(float f) {
  const std::uint32_t u = bits(f);
  return (u & 0x80000000u) ? ~u : (u | 0x80000000u);
}

bool finite_bits(float f) { return (bits(f) & 0x7f800000u) != 0x7f800000u; }

std::vector<ScoredRow> brute_force(const std::vector<ScoredRow>& all, std::size_t k, Metric m) {
  std::vector<ScoredRow> v;
  for (const ScoredRow& r : all) {
    if (finite_bits(r.score)) v.push_back(r);
  }
  std::sort(v.begin(), v.end(), [m](const ScoredRow& a, const ScoredRow& b) {
    const std::uint32_t ka = unsigned_key(a.score), kb = unsigned_key(b.score);
    if (ka != kb) return m == Metric::Euclidean ? ka < kb : ka > kb;
    return a.idx < b.idx;
  });
  if (v.size() > k) v.resize(k);
  return v;
}

std::vector<ScoredRow> as_rows(const std::vector<float>& scores) {
  std::vector<ScoredRow> v;
  for (std::size_t i = 0; i < scores.size(); ++i) v.push_back({i, scores[i]});
  return v;
}

::testing::AssertionResult SameList(const std::vector<ScoredRow>& want,
                                    const std::vector<ScoredRow>& got) {
  if (want.size() != got.size()) {
    return ::testing::AssertionFailure() << "size " << got.size() << ", want " << want.size();
  }
  for (std::size_t i = 0; i < want.size(); ++i) {
    if (want[i].idx != got[i].idx || bits(want[i].score) != bits(got[i].score)) {
      return ::testing::AssertionFailure()
             << "at " << i << ": (" << got[i].idx << ", " << got[i].score << "), want ("
             << want[i].idx << ", " << want[i].score << ")";
    }
  }
  return ::testing::AssertionSuccess();
}

// Scores with many exact ties, both zeros and the odd non-finite value.
std::vector<float> tie_heavy_scores(std::mt19937_64& rng, std::size_t n) {
  const float pool[] = {0.5f, -0.5f, 0.0f, -0.0f, 1.0f, 0.25f, -3.0f, 7.0f, 0.5f, 1e-40f};
  std::uniform_int_distribution<int> pick(0, 11);
  std::vector<float> s(n);
  for (float& f : s) {
    const int p = pick(rng);
    f = p < 10 ? pool[p] : (p == 10 ? kNaN : (rng() & 1 ? kInf : -kInf));
  }
  return s;
}

TEST(ResultOrder, TotalOrderKeyRanksEveryClassOfValue) {
  const float ascending[] = {-std::numeric_limits<float>::quiet_NaN(),
                             -kInf,
                             -std::numeric_limits<float>::max(),
                             -1.0f,
                             -std::numeric_limits<float>::min(),
                             -std::numeric_limits<float>::denorm_min(),
                             -0.0f,
                             0.0f,
                             std::numeric_limits<float>::denorm_min(),
                             std::numeric_limits<float>::min(),
                             1.0f,
                             std::numeric_limits<float>::max(),
                             kInf,
                             kNaN};
  ASSERT_TRUE(std::signbit(ascending[0]) && std::isnan(ascending[0]));
  for (std::size_t i = 0; i + 1 < std::size(ascending); ++i) {
    EXPECT_LT(order_key(ascending[i]), order_key(ascending[i + 1])) << i;
  }
  EXPECT_EQ(order_key(0.0f), 0);
  EXPECT_EQ(order_key(-0.0f), -1);
}

TEST(ResultOrder, KeyAgreesWithIndependentFormulation) {
  std::mt19937_64 rng(31);
  for (int i = 0; i < 200000; ++i) {
    const float a = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
    const float b = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
    ASSERT_EQ(order_key(a) < order_key(b), unsigned_key(a) < unsigned_key(b));
    ASSERT_EQ(order_key(a) == order_key(b), bits(a) == bits(b));
    ASSERT_EQ(is_usable(a), std::isfinite(a));
  }
}

TEST(ResultOrder, DirectionAndTies) {
  const ScoredRow hi{5, 0.7f}, lo{1, 0.5f}, tie_lo{0, 0.5f};
  EXPECT_TRUE(better(Metric::Cosine, hi, lo));
  EXPECT_TRUE(better(Metric::Dot, hi, lo));
  EXPECT_FALSE(better(Metric::Euclidean, hi, lo));
  EXPECT_TRUE(better(Metric::Euclidean, lo, hi));
  for (Metric m : {Metric::Cosine, Metric::Dot, Metric::Euclidean}) {
    EXPECT_TRUE(better(m, tie_lo, lo));
    EXPECT_FALSE(better(m, lo, tie_lo));
    EXPECT_FALSE(better(m, lo, lo));  // strict
  }
  EXPECT_FALSE(is_usable(kNaN));
  EXPECT_FALSE(is_usable(kInf));
  EXPECT_FALSE(is_usable(-kInf));
  EXPECT_TRUE(is_usable(std::numeric_limits<float>::max()));
  EXPECT_TRUE(is_usable(-std::numeric_limits<float>::denorm_min()));
}

TEST(ResultOrder, SignedZerosAreNotATie) {
  // +0.0 on the higher index, so a tie on value would wrongly favour -0.0.
  const ScoredRow neg{0, -0.0f}, pos{1, 0.0f};
  EXPECT_TRUE(better(Metric::Cosine, pos, neg));
  EXPECT_TRUE(better(Metric::Euclidean, neg, pos));
  // And with the indices the other way round.
  const ScoredRow neg1{1, -0.0f}, pos0{0, 0.0f};
  EXPECT_TRUE(better(Metric::Cosine, pos0, neg1));
  EXPECT_TRUE(better(Metric::Euclidean, neg1, pos0));
  EXPECT_FALSE(same_entry(ScoredRow{3, 0.0f}, ScoredRow{3, -0.0f}));

  const std::vector<float> scores = {-0.0f, 0.0f, -0.0f};
  EXPECT_TRUE(SameList({{1, 0.0f}, {0, -0.0f}, {2, -0.0f}},
                       top_k_heap(scores.data(), scores.size(), 3, Metric::Cosine)));
  EXPECT_TRUE(SameList({{0, -0.0f}, {2, -0.0f}, {1, 0.0f}},
                       top_k_heap(scores.data(), scores.size(), 3, Metric::Euclidean)));
  auto cand = as_rows(scores);
  select_top_k(cand, 1, Metric::Cosine);
  EXPECT_TRUE(SameList({{1, 0.0f}}, cand));
  cand = as_rows(scores);
  select_top_k(cand, 1, Metric::Euclidean);
  EXPECT_TRUE(SameList({{0, -0.0f}}, cand));
}

TEST(TopK, DropsNonFiniteAndBreaksTiesByIndex) {
  const std::vector<float> scores = {0.5f, kNaN, 0.5f, kInf, 0.7f};
  EXPECT_TRUE(SameList({{4, 0.7f}, {0, 0.5f}},
                       top_k_heap(scores.data(), scores.size(), 2, Metric::Cosine)));
  EXPECT_TRUE(SameList({{0, 0.5f}, {2, 0.5f}},
                       top_k_heap(scores.data(), scores.size(), 2, Metric::Euclidean)));
  auto cand = as_rows(scores);
  select_top_k(cand, 2, Metric::Cosine);
  EXPECT_TRUE(SameList({{4, 0.7f}, {0, 0.5f}}, cand));
  cand = as_rows(scores);
  select_top_k(cand, 2, Metric::Euclidean);
  EXPECT_TRUE(SameList({{0, 0.5f}, {2, 0.5f}}, cand));
}

TEST(TopK, ZeroKNeverReadsTheScores) {
  EXPECT_TRUE(top_k_heap(nullptr, 1000, 0, Metric::Cosine).empty());
  TopKHeap heap(0, Metric::Dot);
  heap.offer(0, 1.0f);
  EXPECT_EQ(heap.len(), 0u);
  EXPECT_TRUE(heap.into_sorted().empty());
  auto cand = as_rows({1.0f, 2.0f});
  select_top_k(cand, 0, Metric::Dot);
  EXPECT_TRUE(cand.empty());
}

TEST(TopK, KLargerThanCandidatesReturnsAllUsableBestFirst) {
  const std::vector<float> scores = {0.1f, -kInf, 3.0f, kNaN, -2.0f};
  const std::vector<ScoredRow> want_sim = {{2, 3.0f}, {0, 0.1f}, {4, -2.0f}};
  const std::vector<ScoredRow> want_dist = {{4, -2.0f}, {0, 0.1f}, {2, 3.0f}};
  EXPECT_TRUE(SameList(want_sim, top_k_heap(scores.data(), scores.size(), 50, Metric::Dot)));
  EXPECT_TRUE(SameList(want_dist, top_k_heap(scores.data(), scores.size(), 50, Metric::Euclidean)));
  auto cand = as_rows(scores);
  select_top_k(cand, 50, Metric::Dot);
  EXPECT_TRUE(SameList(want_sim, cand));
  // All unusable: nothing comes back.
  const std::vector<float> bad = {kNaN, kInf, -kInf};
  EXPECT_TRUE(top_k_heap(bad.data(), bad.size(), 2, Metric::Cosine).empty());
  // A huge k must not try to reserve that much.
  EXPECT_EQ(
      top_k_heap(scores.data(), scores.size(), std::numeric_limits<std::size_t>::max(), Metric::Dot)
          .size(),
      3u);
}

TEST(TopK, HeapTracksLenAndWorst) {
  for (Metric m : {Metric::Cosine, Metric::Euclidean}) {
    std::mt19937_64 rng(32);
    TopKHeap heap(5, m);
    EXPECT_THROW(heap.worst(), Panic);
    std::vector<ScoredRow> seen;
    for (std::uint64_t i = 0; i < 300; ++i) {
      const float s = std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
      heap.offer(i, s);
      seen.push_back({i, s});
      const auto best = brute_force(seen, 5, m);
      ASSERT_EQ(heap.len(), best.size());
      ASSERT_TRUE(same_entry(best.back(), heap.worst())) << "after " << i;
      ASSERT_EQ(heap.full(), best.size() == 5);
    }
    EXPECT_TRUE(SameList(brute_force(seen, 5, m), heap.into_sorted()));
    EXPECT_EQ(heap.len(), 0u);
  }
}

TEST(TopK, HeapMatchesBruteForceInAnyOfferOrder) {
  std::mt19937_64 rng(33);
  for (Metric m : {Metric::Cosine, Metric::Dot, Metric::Euclidean}) {
    for (int trial = 0; trial < 60; ++trial) {
      const std::size_t n = 1 + rng() % 120;
      auto all = as_rows(tie_heavy_scores(rng, n));
      std::shuffle(all.begin(), all.end(), rng);  // indices arrive out of order
      for (std::size_t k : {std::size_t{1}, std::size_t{2}, std::size_t{7}, n / 2 + 1, n, n + 3}) {
        TopKHeap heap(k, m);
        for (const ScoredRow& r : all) heap.offer(r.idx, r.score);
        ASSERT_TRUE(SameList(brute_force(all, k, m), heap.into_sorted()))
            << "metric " << int(m) << " n " << n << " k " << k;
      }
    }
  }
}

TEST(TopK, SelectTopKMatchesBruteForce) {
  std::mt19937_64 rng(34);
  for (Metric m : {Metric::Cosine, Metric::Euclidean}) {
    for (int trial = 0; trial < 100; ++trial) {
      const std::size_t n = rng() % 200;
      auto all = as_rows(tie_heavy_scores(rng, n));
      std::shuffle(all.begin(), all.end(), rng);
      for (std::size_t k : {std::size_t{0}, std::size_t{1}, std::size_t{10}, n, n + 1}) {
        auto cand = all;
        select_top_k(cand, k, m);
        ASSERT_TRUE(SameList(brute_force(all, k, m), cand)) << "n " << n << " k " << k;
      }
    }
  }
}

TEST(TopK, ChunkSplitsOfEverySizeMergeToTheSameList) {
  std::mt19937_64 rng(35);
  for (Metric m : {Metric::Dot, Metric::Euclidean}) {
    const std::size_t n = 97;
    const auto scores = tie_heavy_scores(rng, n);
    const auto all = as_rows(scores);
    for (std::size_t k : {std::size_t{1}, std::size_t{5}, std::size_t{40}, std::size_t{200}}) {
      const auto want = brute_force(all, k, m);
      for (std::size_t chunk = 1; chunk <= n; ++chunk) {
        // Matrix style: dense scores per chunk, then shift to global indices.
        std::vector<std::vector<ScoredRow>> dense_lists;
        // Scan style: one heap per chunk fed with global indices.
        std::vector<std::vector<ScoredRow>> heap_lists;
        for (std::size_t first = 0; first < n; first += chunk) {
          const std::size_t len = std::min(chunk, n - first);
          auto part = top_k_heap(scores.data() + first, len, k, m);
          for (ScoredRow& r : part) r.idx += first;
          dense_lists.push_back(std::move(part));
          TopKHeap heap(k, m);
          for (std::size_t i = first; i < first + len; ++i) heap.offer(i, scores[i]);
          heap_lists.push_back(heap.into_sorted());
        }
        ASSERT_TRUE(SameList(want, merge_chunk_lists(std::move(dense_lists), k, m)))
            << "chunk " << chunk << " k " << k;
        ASSERT_TRUE(SameList(want, merge_chunk_lists(std::move(heap_lists), k, m)))
            << "chunk " << chunk << " k " << k;
      }
    }
  }
}

TEST(TopK, MergeOfNoListsIsEmpty) {
  EXPECT_TRUE(merge_chunk_lists({}, 5, Metric::Cosine).empty());
  std::vector<std::vector<ScoredRow>> lists(3);
  EXPECT_TRUE(merge_chunk_lists(std::move(lists), 5, Metric::Cosine).empty());
}

TEST(TopK, FeedHeapKeepsTheReferenceBest) {
  std::vector<float> scores = testing::random_matrix(1, 2000, 71);
  for (std::size_t i = 0; i < scores.size(); i += 13) scores[i] = scores[i / 2];  // ties
  scores[5] = kNaN;
  scores[6] = kInf;
  scores[7] = -kInf;
  scores[8] = 0.0f;
  scores[9] = -0.0f;
  scores[1999] = -kNaN;
  for (const Metric m : {Metric::Cosine, Metric::Euclidean}) {
    for (const std::size_t k : {1u, 2u, 10u, 100u, 1995u, 2000u}) {
      std::vector<testing::RefHit> want;
      for (std::size_t i = 0; i < scores.size(); ++i)
        if (testing::ref_finite(scores[i])) want.push_back({1000 + i, scores[i]});
      std::sort(want.begin(), want.end(),
                [&](const auto& a, const auto& b) { return testing::ref_before(m, a, b); });
      if (want.size() > k) want.resize(k);
      // Fed in uneven pieces, as the scans do.
      TopKHeap heap(k, m);
      for (std::size_t b = 0; b < scores.size();) {
        const std::size_t n = std::min<std::size_t>(b % 37 + 1, scores.size() - b);
        feed_heap(heap, scores.data() + b, n, 1000 + b);
        b += n;
      }
      expect_same_hits(heap.into_sorted(), want, "feed_heap k " + std::to_string(k));
    }
  }
}

}  // namespace
}  // namespace lumvero
