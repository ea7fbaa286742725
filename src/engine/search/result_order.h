// The one definition of "which result is better", shared by every search path.
//
// Scores compare under the IEEE 754 totalOrder of binary32, so two scores tie
// only when their bit patterns are identical (-0.0 sits below +0.0, and NaNs
// have a place too, although selection never lets them through). Similarity
// metrics rank higher keys first, the distance metric lower keys first, and a
// tie goes to the lower row index. Row indices are unique within one query, so
// this is a strict total order on candidates: every selection has exactly one
// correct answer, whatever the thread count, chunking or completion order.
//
// Nothing else in the engine may compare scores for ranking on its own; use
// better() or ResultOrder.
#pragma once

#include <bit>
#include <cstdint>

#include "engine/format/index_format.h"

namespace lumvero {

// One candidate: a global 0-based row index and that row's score.
struct ScoredRow {
  std::uint64_t idx;
  float score;
};

// Signed integer key whose order is the IEEE totalOrder of the float: the raw
// bits when the sign bit is clear, otherwise the bits with every bit except the
// sign flipped (so more negative values get smaller keys). Branch-free, so
// loops over many scores vectorise.
inline std::int32_t order_key(float score) {
  const std::int32_t s = std::bit_cast<std::int32_t>(score);
  return s ^ ((s >> 31) & std::int32_t{0x7fffffff});
}

// The same for doubles (block energies are ordered by it).
inline std::int64_t order_key(double value) {
  const std::int64_t s = std::bit_cast<std::int64_t>(value);
  return s ^ ((s >> 63) & std::int64_t{0x7fffffffffffffff});
}

// A key strictly better than the threshold's, for the metric's direction.
template <bool kDistance>
inline bool beats(std::int32_t key, std::int32_t threshold) {
  return kDistance ? key < threshold : key > threshold;
}

// Finite scores only: NaN and both infinities have all exponent bits set.
inline bool is_usable(float score) {
  return (std::bit_cast<std::uint32_t>(score) & 0x7f800000u) != 0x7f800000u;
}

// True when a is strictly better than b under the metric's result order.
inline bool better(Metric metric, const ScoredRow& a, const ScoredRow& b) {
  const std::int32_t ka = order_key(a.score);
  const std::int32_t kb = order_key(b.score);
  if (ka != kb) return is_distance(metric) ? ka < kb : ka > kb;
  return a.idx < b.idx;
}

// Same index and bit-identical score (so +0.0 and -0.0 differ, and a NaN equals
// a NaN with the same payload). Plain == on floats would blur exactly the
// distinctions the order draws.
inline bool same_entry(const ScoredRow& a, const ScoredRow& b) {
  return a.idx == b.idx &&
         std::bit_cast<std::uint32_t>(a.score) == std::bit_cast<std::uint32_t>(b.score);
}

// "a comes before b": a strict weak (in fact total) ordering for the standard
// algorithms. Sorting with it puts the best result first.
struct ResultOrder {
  Metric metric;
  bool operator()(const ScoredRow& a, const ScoredRow& b) const { return better(metric, a, b); }
};

}  // namespace lumvero
