// Cutting a scan into work for the pool, and timing it.
//
// The sizes here only decide how rows are cut into tasks, never which rows
// come back: every cut is merged under the one total result order
// (result_order.h), so a result never shows how the work was split.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "engine/format/index_format.h"
#include "engine/search/result_order.h"

namespace lumvero {

using RowRange = std::pair<std::uint64_t, std::uint64_t>;  // [begin, end)

// Rows per task of the chunked and blocked scans (and per row chunk of the
// batch): at least a budget of floats per chunk (by metric and dims,
// tuning.h), at least a quarter of one thread's share, capped by the row cap
// of its width class and at the row count; never below 1.
std::size_t chunk_rows(std::uint64_t rows, std::uint64_t dims, Metric metric, std::size_t threads);

class SearchEngine;

// The k best of rows [begin, end) under compute_score, best first: the rows
// scored kScanRows at a time into one heap.
std::vector<ScoredRow> kernel_top_k(const SearchEngine& e, const float* q, std::size_t k,
                                    std::uint64_t begin, std::uint64_t end);

// The chunks [0, L), [L, 2L), ... of `rows` rows with L = chunk_len, each cut
// into equal pieces so that a handful of large chunks still spreads evenly
// over the pool (at least four pieces per thread overall). Pieces are in row
// order and never straddle a chunk boundary.
std::vector<RowRange> balanced_pieces(std::uint64_t rows, std::size_t chunk_len,
                                      std::size_t threads);

// The monotonic clock every search is timed with.
using SearchClock = std::chrono::steady_clock;

// Milliseconds between two readings: whole seconds plus nanoseconds, times
// 1000; 0.0 when the clock did not move forward.
double elapsed_ms(SearchClock::time_point start, SearchClock::time_point end);

}  // namespace lumvero
