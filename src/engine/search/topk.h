// Keeping the k best rows out of many scored ones, under the result order of
// result_order.h.
//
// Three tools: a bounded heap fed one row at a time (the chunk scans), the same
// heap over a dense score array (the matrix paths), and select-then-sort over a
// candidate list (per-row strategy and the merge of chunk lists). All of them
// silently drop non-finite scores, and because the order is total each returns
// the one correct answer regardless of how the rows were split or fed.
//
// Single-threaded: each worker owns its heap or list; only the final merge
// runs on the calling thread after the workers are done.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/format/index_format.h"
#include "engine/search/result_order.h"
#include "engine/status.h"

namespace lumvero {

// At most k entries; the root is the worst entry held, so the common case in a
// scan (a row that does not beat the current k-th best) costs one comparison.
class TopKHeap {
 public:
  // Reserves k + 1 entries up front so a scan never reallocates. Callers cap k
  // at the row count before building one (a huge k would reserve that much).
  TopKHeap(std::size_t k, Metric metric);

  // Non-finite scores are dropped. While fewer than k entries are held the row
  // is kept; after that it replaces the worst entry only when strictly better.
  // In an increasing-index scan an equal score therefore never gets in.
  void offer(std::uint64_t idx, float score) {
    if (!is_usable(score)) return;
    const ScoredRow entry{idx, score};
    if (heap_.size() < k_) {
      push(entry);
    } else if (!heap_.empty() && better(metric_, entry, heap_.front())) {
      replace_worst(entry);
    }
  }

  std::size_t len() const { return heap_.size(); }
  std::size_t k() const { return k_; }
  bool full() const { return heap_.size() >= k_; }
  Metric metric() const { return metric_; }

  // The entry that the next row has to beat; only defined when len() > 0.
  const ScoredRow& worst() const {
    LUMVO_ASSERT(!heap_.empty(), "TopKHeap::worst on an empty heap");
    return heap_.front();
  }

  // The held entries, best first. Leaves the heap empty (its storage moves out).
  std::vector<ScoredRow> into_sorted();

 private:
  void push(const ScoredRow& entry);
  void replace_worst(const ScoredRow& entry);

  std::vector<ScoredRow> heap_;
  std::size_t k_;
  Metric metric_;
};

// The heap fed with scores[0..n) in increasing position, idx = position.
// k == 0 returns an empty list without reading scores (which may then be null).
std::vector<ScoredRow> top_k_heap(const float* scores, std::size_t n, std::size_t k, Metric metric);

// Feeds scores[0..n) to the heap as rows first, first+1, ... in increasing
// order: the block form of offer(), for scans that score many rows at once.
// Same outcome as calling offer() for each, but a score that cannot beat the
// current worst entry is rejected by one integer compare, sixteen at a time,
// before the heap is touched.
void feed_heap(TopKHeap& heap, const float* scores, std::size_t n, std::uint64_t first);

// Reorders candidates in place so that only the k best remain, best first.
// Non-finite scores are removed first, so they can never reach a result.
void select_top_k(std::vector<ScoredRow>& candidates, std::size_t k, Metric metric);

// Concatenates per-chunk lists in the given (chunk) order and keeps the k best.
// Each list must hold at least its chunk's own k best, with global indices; the
// result then equals the k best of all the rows, however they were chunked.
std::vector<ScoredRow> merge_chunk_lists(std::vector<std::vector<ScoredRow>>&& lists, std::size_t k,
                                         Metric metric);

}  // namespace lumvero
