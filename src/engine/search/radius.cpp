// The radius list, the collector and the sort of what a radius admits.
#include "engine/search/radius.h"

#include <algorithm>
#include <array>
#include <limits>
#include <utility>

namespace lumvero {

namespace {

constexpr double kMaxFloat = std::numeric_limits<float>::max();

// Rows below this many are sorted by comparisons; above, by their keys.
constexpr std::size_t kRadixFrom = 512;
constexpr unsigned kDigitBits = 11;
constexpr std::size_t kDigits = std::size_t{1} << kDigitBits;
constexpr unsigned kPasses = 3;  // 33 bits cover the 32 of a key

inline std::size_t digit(std::uint32_t key, unsigned pass) {
  return (key >> (pass * kDigitBits)) & (kDigits - 1);
}

// A stable least-significant-digit sort on the rank key: rows in increasing
// position stay so among equal scores, which is the order's tie-break. A pass
// whose digit is the same for every row is skipped.
void radix_sort(std::vector<ScoredRow>& rows, bool distance) {
  std::vector<std::array<std::size_t, kDigits>> counts(kPasses);
  for (auto& c : counts) c.fill(0);
  for (const ScoredRow& r : rows) {
    const std::uint32_t key = rank_key(r.score, distance);
    for (unsigned p = 0; p < kPasses; ++p) ++counts[p][digit(key, p)];
  }
  std::vector<ScoredRow> other(rows.size());
  for (unsigned p = 0; p < kPasses; ++p) {
    auto& c = counts[p];
    if (std::find(c.begin(), c.end(), rows.size()) != c.end()) continue;
    std::size_t at = 0;
    for (std::size_t& n : c) at += std::exchange(n, at);
    for (const ScoredRow& r : rows) other[c[digit(rank_key(r.score, distance), p)]++] = r;
    rows.swap(other);
  }
}

}  // namespace

bool Radius::admits_none() const {
  return is_distance(metric) ? !(bound >= -kMaxFloat) : !(bound <= kMaxFloat);
}

bool Radius::admits_all() const {
  return is_distance(metric) ? bound >= kMaxFloat : bound <= -kMaxFloat;
}

void RadiusList::feed(const float* scores, std::size_t n, std::uint64_t first) {
  for (std::size_t j = 0; j < n; ++j) offer(first + j, scores[j]);
}

std::vector<ScoredRow> RadiusList::take() {
  std::vector<ScoredRow> out = std::move(rows_);
  rows_.clear();
  return out;
}

Collector::Collector(const Want& want, Metric metric, std::uint64_t rows)
    : list_(want.radius.value_or(Radius{0.0, metric})) {
  if (!want.radius)
    heap_.emplace(static_cast<std::size_t>(std::min<std::uint64_t>(want.k, rows)), metric);
  else if (want.radius->admits_all())
    list_.reserve(static_cast<std::size_t>(rows));
}

void Collector::feed(const float* scores, std::size_t n, std::uint64_t first) {
  if (heap_) {
    feed_heap(*heap_, scores, n, first);
  } else {
    list_.feed(scores, n, first);
  }
}

std::vector<ScoredRow> Collector::take() { return heap_ ? heap_->into_sorted() : list_.take(); }

std::vector<ScoredRow> sort_found(std::vector<std::vector<ScoredRow>>&& lists, Metric metric) {
  std::vector<ScoredRow> all;
  if (lists.size() == 1) {
    all = std::move(lists[0]);
  } else {
    std::size_t total = 0;
    for (const auto& list : lists) total += list.size();
    all.reserve(total);
    for (auto& list : lists) {
      all.insert(all.end(), list.begin(), list.end());
      std::vector<ScoredRow>().swap(list);  // release each list as soon as it is copied
    }
  }
  const auto by_position = [](const ScoredRow& a, const ScoredRow& b) { return a.idx < b.idx; };
  if (all.size() < kRadixFrom) {
    std::sort(all.begin(), all.end(), ResultOrder{metric});
    return all;
  }
  if (!std::is_sorted(all.begin(), all.end(), by_position))
    std::sort(all.begin(), all.end(), by_position);
  radix_sort(all, is_distance(metric));
  return all;
}

std::vector<ScoredRow> merge_found(std::vector<std::vector<ScoredRow>>&& lists, const Want& want,
                                   Metric metric) {
  if (want.radius) return sort_found(std::move(lists), metric);
  return merge_chunk_lists(std::move(lists), want.k, metric);
}

}  // namespace lumvero
