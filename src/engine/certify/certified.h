// Certified exact search: the k best rows plus a record of how they were
// found (which rows were skipped, on what bound, in which block order, and
// whether every skip still holds against the final k-th score).
//
// The scan is exact: a row is only skipped when a Cauchy-Schwarz bound,
// widened by a margin that covers every rounding between the bound and the
// row's compute_score (score_error.h; never below 0.001), shows it cannot
// beat the current k-th score, and every row that is not skipped is scored
// with compute_score. So the pruned answer is always the unpruned one.
//
// Bounds, after visiting some blocks of row r (all in f64, in this order):
//   rem     = sqrt(max(query_energy - seen, 0))
//   similar = (norm[r] * rem + partial) + margin            skip if kth > it
//   l2      = (norm_sq[r] + query_energy)
//             - 2 * ((norm[r] * rem + partial) + margin)    skip if it > kth
// A NaN anywhere makes the comparison false, so NaN never skips a row; a
// partial sum or bound that is not finite (a block sum that overflowed, where
// the kernel's own order may still give a finite score) never skips one
// either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/format/row_norms.h"
#include "engine/search/result_order.h"
#include "engine/search_engine.h"
#include "engine/status.h"

namespace lumvero {

// Field order is the order in which the certificate is documented.
struct CertifiedResult {
  std::vector<ScoredRow> results;  // best first
  std::string method_used;
  double query_time_ms = 0.0;
  std::string bound_rule;
  std::vector<std::uint64_t> block_order;  // block indices, most query energy first
  std::vector<float> threshold_evolution;  // k-th score after each change (capped)
  std::string simd_path;
  std::string compile_flags;
  std::vector<float> pruned_bound_values;  // bound of each skipped row (capped)
  std::string bound_kind;
  std::uint64_t total_candidates = 0;
  std::uint64_t pruned_candidates = 0;
  std::uint64_t full_evaluated = 0;
  std::uint64_t block_size = 0;
  float kth_score = 0.0f;
  bool safe = true;
  bool enable_pruning = true;
};

namespace certified {

// Both logs stop growing here so a certificate stays small on large indexes;
// the counters keep counting.
inline constexpr std::size_t kLogCap = 2048;

// The least margin added to a bound. On unit-norm data the rounding
// analysis asks for far less, so this is the margin that applies there.
// Not part of the reported rule texts.
inline constexpr double kBoundMargin = 0.001;

inline constexpr std::string_view kMethodPruning = "exact-certified-pruning";
inline constexpr std::string_view kMethodNoPruning = "exact-certified-no-pruning";
inline constexpr std::string_view kMethodEmpty = "exact-certified";

inline constexpr std::string_view kRuleUpper = "upper_bound = partial_dot + ||q_rem||*||x||";
inline constexpr std::string_view kRuleLowerL2 =
    "lower_bound_l2 = ||q||^2 + ||x||^2 - 2*(partial_dot + ||q_rem||*||x||)";
inline constexpr std::string_view kRuleEmpty = "empty-result";

inline constexpr std::string_view kKindUpper = "upper_bound";
inline constexpr std::string_view kKindLower = "lower_bound";
inline constexpr std::string_view kKindNone = "none";

// "arch=" followed by the target architecture name.
std::string compile_flags();

}  // namespace certified

// One certified search per query, each a task on the worker pool. queries is
// row-major with `cols` values per row, checked as a batch is (at least one
// column, a whole number of rows, cols == dims) but with this path's own,
// correctly encoded text. Results come back in query order; if any query
// fails, the call fails with the text of the lowest-numbered failing query
// and returns no partial list.
Result<std::vector<CertifiedResult>> query_certified_batch(const SearchEngine& engine,
                                                           std::span<const float> queries,
                                                           std::size_t cols, std::size_t k,
                                                           std::size_t block_size,
                                                           bool enable_pruning);

}  // namespace lumvero
