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

#include "engine/format/index_format.h"
#include "engine/search/radius.h"
#include "engine/search/result_order.h"
#include "engine/search/row_set.h"
#include "engine/search/score_error.h"
#include "engine/search/topk.h"

namespace lumvero {

// A row that may still be among the k best, with the optimistic end of its
// interval.
struct BandMember {
  std::uint64_t idx;
  double reach;
};

// What a band keeps once all its rows are fed: its members, and its k best
// pessimistic ends (as ScoredRow: the row and its end), which fix its L. A
// radius band's part has no such ends: `sure` holds rows whose kernel scores
// are already known and admitted (found_part), its members need rescoring.
struct BandPart {
  std::vector<BandMember> members;
  std::vector<ScoredRow> sure;
};

class ExactBand {
 public:
  // Keeps the k best of the rows it is fed (k >= 1). A query that is not
  // finite scores every row non-finite under the kernel: the band then stays
  // empty and finish() returns nothing.
  ExactBand(std::size_t k, Metric metric, bool finite_query = true);
  // A band whose L is the radius's bound, fixed: it keeps every row whose
  // optimistic end reaches the bound (the bound must admit some finite
  // score: !radius.admits_none()).
  explicit ExactBand(const Radius& radius, bool finite_query = true);
  // The one or the other, as the search wants.
  ExactBand(const Want& want, std::uint64_t rows, Metric metric, bool finite_query);

  // Approximate scores of rows first .. first + n - 1, all covered by gap.
  void feed(const float* approx, std::size_t n, std::uint64_t first, const score_error::Gap& gap);
  // The same for rows at the increasing positions idx[0 .. n).
  void feed_at(const float* approx, const std::uint64_t* idx, std::size_t n,
               const score_error::Gap& gap);

  // The k best rows fed, scored with compute_score, best first. The rows are
  // read from `data` (row r at data + r * dims); leaves the band empty.
  std::vector<ScoredRow> finish(const float* query, const float* data, std::size_t dims);

  // Rows held (some may already be out of reach until the next compaction):
  // how wide the band runs on this data.
  std::size_t size() const { return band_.size(); }
  // Rows that can still reach the k best (drops the others first).
  std::size_t held();

  // The band's part, for resolving together with the bands of the query's
  // other row runs; leaves the band empty.
  BandPart take();

 private:
  template <bool kDistance, class Idx>
  void feed_bounded(const float* approx, std::size_t n, Idx idx, const score_error::Gap& gap);
  template <class Idx>
  void feed_with(const float* approx, std::size_t n, Idx idx, const score_error::Gap& gap);
  // Adds the row to the band if it can still reach it; true when it also
  // joined the k sure rows, so that L (and the fast cut) moved.
  bool consider(std::uint64_t idx, float approx, const score_error::Gap& gap);
  // Approximations beyond this cannot reach the band, given the current L.
  float cutoff(const score_error::Gap& gap) const;
  bool out_of_reach(double reach) const;
  void compact();
  // L: the radius's bound, or the k-th best pessimistic end.
  double limit() const;
  // Whether L is defined: always for a radius, once k rows are sure otherwise.
  bool limited() const { return by_radius_ || sure_.full(); }

  TopKHeap sure_;  // pessimistic ends, the k best
  std::vector<BandMember> band_;
  std::size_t compact_at_;
  Metric metric_;
  bool distance_;
  bool finite_query_;
  bool by_radius_ = false;
  double radius_ = 0.0;
};

// The k best rows under compute_score of one query whose rows were fed to
// several bands (disjoint runs of rows). The k-th best pessimistic end over
// all parts bounds every row, so the survivors are rescored once per query
// rather than once per run. `rescored`, when given, receives the number of
// rows scored with compute_score.
// Rows are named by position and read from `set` (row_set.h).
std::vector<ScoredRow> resolve_bands(std::vector<BandPart>&& parts, std::size_t k,
                                     const float* query, const RowSet& set,
                                     std::size_t* rescored = nullptr);
// The same over one block of rows, row r at data + r * dims.
std::vector<ScoredRow> resolve_bands(std::vector<BandPart>&& parts, std::size_t k, Metric metric,
                                     const float* query, const float* data, std::size_t dims,
                                     std::size_t* rescored = nullptr);

// The exact part of rows whose kernel scores are known: each is both ends of
// its own interval, so it resolves with any band.
BandPart exact_part(std::vector<ScoredRow>&& best);

// Every row a radius admits, best first, of one query whose rows were fed to
// radius bands (disjoint runs of rows, parts in position order): the members
// rescored with compute_score and kept when admitted, with the rows the parts
// already found (found_part).
std::vector<ScoredRow> resolve_radius(std::vector<BandPart>&& parts, const Radius& radius,
                                      const float* query, const RowSet& set,
                                      std::size_t* rescored = nullptr);

// resolve_radius's rows before they are sorted: one list per part, each in
// increasing position (the parts' members and found rows each are).
std::vector<std::vector<ScoredRow>> radius_parts(std::vector<BandPart>&& parts,
                                                 const Radius& radius, const float* query,
                                                 const RowSet& set,
                                                 std::size_t* rescored = nullptr);

// The part of rows already scored by the kernel and admitted by a radius.
BandPart found_part(std::vector<ScoredRow>&& found);

// resolve_bands for the k best, resolve_radius for a radius.
std::vector<ScoredRow> resolve_wanted(std::vector<BandPart>&& parts, const Want& want,
                                      const float* query, const RowSet& set,
                                      std::size_t* rescored = nullptr);

// exact_part for the k best, found_part for a radius.
BandPart collected_part(std::vector<ScoredRow>&& rows, const Want& want);

// Feeds the scores of rows [first, first + n) to the band, the gap taken
// over runs of the rows' squared norms: the shared path of the strategies
// that score one query at a time.
void feed_band(ExactBand& band, const score_error::MatrixGap& model, const float* approx,
               std::size_t n, std::uint64_t first, const double* norms_sq_first);

}  // namespace lumvero
