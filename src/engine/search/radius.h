// Radius searches: every row whose kernel score is at least a bound (cosine,
// dot) or at most it (euclidean), rather than the k best.
//
// The bound is an f64 (lumvero_contrib rounds the radius given towards the
// side it admits, so that comparing an f64 with it decides as the radius
// itself would); a float32 score is compared with it as an f64, exactly, and
// a score that is not finite is never admitted. The rows found are returned
// under the one result order (result_order.h): best first, equal scores by
// lower position. Lists grow as rows are found; nothing is sized up front.
//
// What a scan collects is described by a Want (the k best, or a radius), and
// the scans feed a Collector: the top-k heap of topk.h, or a RadiusList.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/format/index_format.h"
#include "engine/search/result_order.h"
#include "engine/search/topk.h"

namespace lumvero {

struct Radius {
  double bound = 0.0;
  Metric metric = Metric::Cosine;

  bool admits(float score) const {
    const double s = static_cast<double>(score);
    return is_usable(score) && (is_distance(metric) ? s <= bound : s >= bound);
  }
  // No finite float32 score can be admitted (the bound lies beyond them all).
  bool admits_none() const;
  // Every finite float32 score is admitted.
  bool admits_all() const;
};

// An unsigned key whose increasing order is the result order's on the score,
// best first.
inline std::uint32_t rank_key(float score, bool distance) {
  const std::uint32_t up = static_cast<std::uint32_t>(order_key(score)) ^ 0x80000000u;
  return distance ? up : ~up;
}

// What a search collects for each query.
struct Want {
  std::size_t k = 0;               // the k best, when there is no radius
  std::optional<Radius> radius{};  // every row the radius admits
};

// The rows a radius admits, in the order they were offered.
class RadiusList {
 public:
  explicit RadiusList(const Radius& radius) : radius_(radius) {}
  // Room for this many rows (what a radius admitting every row is offered).
  void reserve(std::size_t rows) { rows_.reserve(rows); }

  void offer(std::uint64_t idx, float score) {
    if (radius_.admits(score)) rows_.push_back({idx, score});
  }
  // offer() for scores[0..n) as rows first, first + 1, ...
  void feed(const float* scores, std::size_t n, std::uint64_t first);

  std::size_t len() const { return rows_.size(); }
  // The rows held, in the order offered; leaves the list empty.
  std::vector<ScoredRow> take();

 private:
  Radius radius_;
  std::vector<ScoredRow> rows_;
};

// Either tool behind one face, for the scans that serve both kinds of search.
class Collector {
 public:
  // rows: at most this many rows will be offered (a heap reserves no more).
  Collector(const Want& want, Metric metric, std::uint64_t rows);

  void offer(std::uint64_t idx, float score) {
    if (heap_) {
      heap_->offer(idx, score);
    } else {
      list_.offer(idx, score);
    }
  }
  void feed(const float* scores, std::size_t n, std::uint64_t first);

  // Top-k: the k best, best first. Radius: the rows admitted, in the order
  // offered. Leaves the collector empty.
  std::vector<ScoredRow> take();

 private:
  std::optional<TopKHeap> heap_;
  RadiusList list_;
};

// Every row of the lists, best first under the result order. Each list's rows
// lie in increasing position and the lists follow one another in position
// order (as the pieces of a scan do), which makes the sort stable on the
// score alone; lists that are not are sorted by position first.
std::vector<ScoredRow> sort_found(std::vector<std::vector<ScoredRow>>&& lists, Metric metric);

// merge_chunk_lists for the k best, sort_found for a radius.
std::vector<ScoredRow> merge_found(std::vector<std::vector<ScoredRow>>&& lists, const Want& want,
                                   Metric metric);

}  // namespace lumvero
