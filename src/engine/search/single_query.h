// One query against an open index: validation, the choice among five exact
// strategies, and the strategies themselves.
//
// Every strategy returns the true min(k, rows) best rows under the result
// order; they differ only in speed and, for the sgemm and pruned paths, in the
// last bits of the scores. The per-row and chunked strategies use the vector
// kernel layout, so their scores are bit-identical to compute_score and never
// depend on the thread count or on how the rows were cut into chunks.
//
// Nothing is kept between calls: LUMVO_SINGLE_MODE is read on every query.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/format/index_format.h"
#include "engine/search/query_result.h"
#include "engine/search/result_order.h"
#include "engine/search/scan.h"
#include "engine/search/topk.h"
#include "engine/search_engine.h"
#include "engine/status.h"

namespace lumvero {

enum class SingleStrategy : std::uint8_t { PerRow, Chunked, Blocked, MatrixFull, Pruned };

// "exact", "exact-chunked", "exact-blocked-matrix", "exact-matrix-full",
// "exact-pruned-fast".
std::string_view single_method_name(SingleStrategy s);

// The strategy for a LUMVO_SINGLE_MODE value (nothing = unset or not UTF-8).
// Exact, case-sensitive whole-text match; anything unrecognised gets the size
// rule: chunked for similarity indexes of >= 10,000 rows and >= 64 dims, else
// per-row. "pruned" only runs on >= 1,000,000 rows, >= 64 dims, similarity;
// elsewhere it falls back to per-row.
SingleStrategy choose_single_strategy(std::optional<std::string_view> mode, std::uint64_t rows,
                                      std::uint64_t dims, Metric metric);

// The strategies. Each takes k_eff = min(k, rows) >= 1 on an index with at
// least one row and a query of dims finite values, and returns the final
// best-first list plus the name of the strategy that actually ran (the pruned
// strategy may hand over to the chunked one). query_single stamps the time.
struct SingleOutcome {
  std::vector<ScoredRow> results;
  std::string_view method;
};

namespace single {

Result<SingleOutcome> single_per_row(const SearchEngine& e, std::span<const float> q,
                                     std::size_t k_eff);
Result<SingleOutcome> single_chunked(const SearchEngine& e, std::span<const float> q,
                                     std::size_t k_eff);
Result<SingleOutcome> single_blocked(const SearchEngine& e, std::span<const float> q,
                                     std::size_t k_eff);
Result<SingleOutcome> single_matrix_full(const SearchEngine& e, std::span<const float> q,
                                         std::size_t k_eff);
// Sequential Cauchy-Schwarz pruned scan (similarity metrics). Without
// consistent block norms it runs single_chunked instead.
Result<SingleOutcome> single_pruned(const SearchEngine& e, std::span<const float> q,
                                    std::size_t k_eff);

// The pre-filter (engine/prefilter/single_scan.h) in place of `fallback`, the
// chunked or per-row strategy, whose name it reports: its answer is theirs
// bit for bit. Runs `fallback` itself when the codes are unavailable.
Result<SingleOutcome> single_filtered(const SearchEngine& e, std::span<const float> q,
                                      std::size_t k_eff, SingleStrategy fallback);

// The chunked and blocked scans with an explicit chunk length, so the
// independence of the result from chunking can be checked directly.
Result<std::vector<ScoredRow>> chunked_scan(const SearchEngine& e, std::span<const float> q,
                                            std::size_t k_eff, std::size_t chunk_len);
Result<std::vector<ScoredRow>> blocked_scan(const SearchEngine& e, std::span<const float> q,
                                            std::size_t k_eff, std::size_t chunk_len);

// Dispatches to the strategy function.
Result<SingleOutcome> run_strategy(SingleStrategy s, const SearchEngine& e,
                                   std::span<const float> q, std::size_t k_eff);

}  // namespace single

}  // namespace lumvero
