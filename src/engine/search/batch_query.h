// Many queries against one open index in one call: one QueryResult per query,
// in query order.
//
// Three strategies score groups of queries against groups of rows with sgemm
// and keep each query's k best with a heap; the fourth runs query_single for
// every query on the pool. All of them are exact; the sgemm ones may differ
// from the per-row kernels in the last bits of a score. The sizes below only
// decide how the work is cut, never which rows come back: every cut is merged
// under the one total result order.
//
// Nothing is kept between calls: LUMVO_BATCH_MODE and LUMVO_QBLOCK are read
// on every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "engine/format/index_format.h"
#include "engine/search/query_result.h"
#include "engine/search_engine.h"
#include "engine/status.h"

namespace lumvero {

enum class BatchStrategy : std::uint8_t { Matrix, MatrixChunked, Blocked, PerQuery };

// "matrix-full", "matrix-chunked", "batch-blocked-exact", "rayon-optimized".
std::string_view batch_method_name(BatchStrategy s);

// The shape checks of a batch, in order: at least one column, a whole number
// of rows, and as many columns as the index has dimensions.
Status check_query_matrix(const SearchEngine& e, std::size_t values, std::size_t cols);

// The strategy for a LUMVO_BATCH_MODE value (nothing = unset or not UTF-8)
// and nq >= 2 queries: exact, case-sensitive whole-text match; anything else
// gives blocked for nq >= 4 and per-query for 2 or 3.
BatchStrategy choose_batch_strategy(std::optional<std::string_view> mode, std::size_t nq);

// LUMVO_QBLOCK as a count: an optional '+', then one or more ASCII digits and
// nothing else, no overflow, not zero.
std::optional<std::size_t> parse_qblock(std::string_view text);

// Queries per task of batch_matrix: the LUMVO_QBLOCK value when it parses,
// else about two tasks per thread, widened towards a per-task budget of
// score-matrix floats and capped by dims (256/128/64).
std::size_t qblock(std::optional<std::string_view> env, std::size_t nq, std::uint64_t rows,
                   std::uint64_t dims, Metric metric, std::size_t threads);

// Rows per block of batch_blocked: at least a quarter of one thread's share
// and a per-block budget of floats, capped by dims (8,000/16,000/32,000) and
// the row count; never below 1.
std::size_t row_block_len(std::uint64_t rows, std::uint64_t dims, Metric metric,
                          std::size_t threads);

// Queries per super-chunk of batch_matrix_chunked: min(nq, max(1, 50M / rows)).
std::size_t super_chunk_len(std::size_t nq, std::uint64_t rows);

// Queries per group of batch_per_query: min(nq, max(8, 4 * cpus)).
std::size_t per_query_group(std::size_t nq, std::size_t cpus);

namespace batch {

// Each takes nq >= 1 queries of e.dims values (row-major in `queries`) and k.
Result<std::vector<QueryResult>> batch_matrix(const SearchEngine& e, std::span<const float> queries,
                                              std::size_t nq, std::size_t k);
Result<std::vector<QueryResult>> batch_matrix_chunked(const SearchEngine& e,
                                                      std::span<const float> queries,
                                                      std::size_t nq, std::size_t k);
Result<std::vector<QueryResult>> batch_blocked(const SearchEngine& e,
                                               std::span<const float> queries, std::size_t nq,
                                               std::size_t k);
Result<std::vector<QueryResult>> batch_per_query(const SearchEngine& e,
                                                 std::span<const float> queries, std::size_t nq,
                                                 std::size_t k);

// batch_blocked with an explicit block length (>= 1), so that independence of
// the result from the blocking can be checked directly.
Result<std::vector<QueryResult>> blocked_with_len(const SearchEngine& e,
                                                  std::span<const float> queries, std::size_t nq,
                                                  std::size_t k, std::size_t block_len);

}  // namespace batch

}  // namespace lumvero
