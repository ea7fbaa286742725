// From approximate scores to the per-row kernel's exact answer.
//
// The matrix strategies score rows with sgemm, whose sums round differently
// from compute_score: near-ties could swap, and on data with large norms the
// difference can exceed the gaps between the scores themselves. So the sgemm
// score is only a filter. With a rigorous bound on |kernel - approximate|
// (score_error.h) every row gets an interval that must hold its kernel score:
//   pessimistic end  p(a): the kernel score is at least this good,
//   optimistic end   o(a): the kernel score is at most this good.
// Let L be the k-th best pessimistic end seen. k rows are then at least as
// good as L, so a row whose optimistic end is strictly worse than L cannot be
// among the k best; every other row stays in the band. At the end the band is
// rescored with compute_score and the k best are selected on those scores:
// exactly the rows and scores of a per-row scan.
//
// On ordinary data the band is the k best plus a handful of near-ties. On
// data whose rounding swamps the differences (a large common offset, huge
// norms) it widens towards every row, so the cost degrades towards a full
// kernel scan and the answer stays exact.
//
// One ExactBand per query and per run of rows; rows must be fed in
// increasing index order, at most once each. Single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/index_format.h"
#include "engine/result_order.h"
#include "engine/score_error.h"
#include "engine/topk.h"

namespace lumvero {

class ExactBand {
 public:
  // Keeps the k best of the rows it is fed (k >= 1). A query that is not
  // finite scores every row non-finite under the kernel: the band then stays
  // empty and finish() returns nothing.
  ExactBand(std::size_t k, Metric metric, bool finite_query = true);

  // Approximate scores of rows first .. first + n - 1, all covered by gap.
  void feed(const float* approx, std::size_t n, std::uint64_t first, const score_error::Gap& gap);

  // The k best rows fed, scored with compute_score, best first. The rows are
  // read from `data` (row r at data + r * dims); leaves the band empty.
  std::vector<ScoredRow> finish(const float* query, const float* data, std::size_t dims);

 private:
  struct Member {
    std::uint64_t idx;
    double reach;  // the optimistic end of the row's interval
  };

  template <bool kDistance>
  void feed_bounded(const float* approx, std::size_t n, std::uint64_t first,
                    const score_error::Gap& gap);
  void consider(std::uint64_t idx, float approx, const score_error::Gap& gap);
  // Approximations beyond this cannot reach the band, given the current L.
  float cutoff(const score_error::Gap& gap) const;
  bool out_of_reach(double reach) const;
  void compact();

  TopKHeap sure_;  // pessimistic ends, the k best
  std::vector<Member> band_;
  std::size_t compact_at_;
  Metric metric_;
  bool distance_;
  bool finite_query_;
};

// Feeds the scores of rows [first, first + n) to the band, the gap taken
// over runs of the rows' squared norms: the shared path of the strategies
// that score one query at a time.
void feed_band(ExactBand& band, const score_error::MatrixGap& model, const float* approx,
               std::size_t n, std::uint64_t first, const double* norms_sq_first);

}  // namespace lumvero
