// The bounded heap and the merge of per-chunk lists, both in result order.
#include "engine/search/topk.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace lumvero {

namespace {

template <bool kDistance>
void feed_heap_impl(TopKHeap& heap, const float* scores, std::size_t n, std::uint64_t first) {
  std::size_t j = 0;
  while (j < n && !heap.full()) {
    heap.offer(first + j, scores[j]);
    ++j;
  }
  if (j == n || heap.k() == 0) return;
  // Rows arrive in increasing index, so an equal score never gets in and a
  // strict key comparison against the worst entry is the whole admission
  // test (non-finite scores that pass it are dropped by offer()).
  std::int32_t threshold = order_key(heap.worst().score);
  for (; j + 16 <= n; j += 16) {
    unsigned any = 0;
    for (std::size_t t = 0; t < 16; ++t)
      any |= beats<kDistance>(order_key(scores[j + t]), threshold);
    if (any == 0) continue;
    for (std::size_t t = 0; t < 16; ++t) {
      if (beats<kDistance>(order_key(scores[j + t]), threshold)) {
        heap.offer(first + j + t, scores[j + t]);
        threshold = order_key(heap.worst().score);
      }
    }
  }
  for (; j < n; ++j) {
    if (beats<kDistance>(order_key(scores[j]), threshold)) {
      heap.offer(first + j, scores[j]);
      threshold = order_key(heap.worst().score);
    }
  }
}

}  // namespace

TopKHeap::TopKHeap(std::size_t k, Metric metric) : k_(k), metric_(metric) {
  // k + 1 as documented; guarded only so that SIZE_MAX cannot wrap to 0.
  heap_.reserve(k < std::numeric_limits<std::size_t>::max() ? k + 1 : k);
}

// Heap invariant: every child is strictly better than its parent, so the root
// is the worst entry held.
void TopKHeap::push(const ScoredRow& entry) {
  heap_.push_back(entry);
  std::size_t i = heap_.size() - 1;
  while (i > 0) {
    const std::size_t parent = (i - 1) / 2;
    if (!better(metric_, heap_[parent], entry)) break;
    heap_[i] = heap_[parent];
    i = parent;
  }
  heap_[i] = entry;
}

// Drops the root and inserts entry in one sift-down; the set held afterwards is
// the same as with a separate removal and insertion.
void TopKHeap::replace_worst(const ScoredRow& entry) {
  const std::size_t n = heap_.size();
  std::size_t i = 0;
  for (;;) {
    const std::size_t left = 2 * i + 1;
    if (left >= n) break;
    std::size_t worse = left;
    const std::size_t right = left + 1;
    if (right < n && better(metric_, heap_[left], heap_[right])) worse = right;
    if (!better(metric_, entry, heap_[worse])) break;
    heap_[i] = heap_[worse];
    i = worse;
  }
  heap_[i] = entry;
}

std::vector<ScoredRow> TopKHeap::into_sorted() {
  std::vector<ScoredRow> out = std::move(heap_);
  heap_.clear();
  std::sort(out.begin(), out.end(), ResultOrder{metric_});
  return out;
}

std::vector<ScoredRow> top_k_heap(const float* scores, std::size_t n, std::size_t k,
                                  Metric metric) {
  if (k == 0) return {};
  // The heap can never hold more than n entries, so a k far above n must not
  // reserve more than that.
  TopKHeap heap(std::min(k, n), metric);
  for (std::size_t i = 0; i < n; ++i) heap.offer(i, scores[i]);
  return heap.into_sorted();
}

void select_top_k(std::vector<ScoredRow>& candidates, std::size_t k, Metric metric) {
  std::erase_if(candidates, [](const ScoredRow& r) { return !is_usable(r.score); });
  if (k == 0) {
    candidates.clear();
    return;
  }
  const ResultOrder order{metric};
  if (candidates.size() > k) {
    // Only the k best need sorting: partition around the k-th best first.
    std::nth_element(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(k - 1),
                     candidates.end(), order);
    candidates.resize(k);
  }
  std::sort(candidates.begin(), candidates.end(), order);
}

std::vector<ScoredRow> merge_chunk_lists(std::vector<std::vector<ScoredRow>>&& lists, std::size_t k,
                                         Metric metric) {
  std::size_t total = 0;
  for (const auto& list : lists) total += list.size();
  std::vector<ScoredRow> merged;
  merged.reserve(total);
  for (auto& list : lists) {
    merged.insert(merged.end(), list.begin(), list.end());
    std::vector<ScoredRow>().swap(list);  // release each chunk as soon as it is copied
  }
  select_top_k(merged, k, metric);
  return merged;
}

void feed_heap(TopKHeap& heap, const float* scores, std::size_t n, std::uint64_t first) {
  if (is_distance(heap.metric())) {
    feed_heap_impl<true>(heap, scores, n, first);
  } else {
    feed_heap_impl<false>(heap, scores, n, first);
  }
}

}  // namespace lumvero
