// Exact top-k over rows held in memory, some of which are excluded: rows
// removed from an index, or rows outside a caller's allow-list.
//
// The rows live in a few runs of contiguous memory (an index that grows keeps
// its rows in a handful of large runs rather than one buffer copied on every
// growth). A row is named by its position: run.first + its row within the
// run. Every answer is the per-row kernel's (compute_score) under the result
// order, ties by lower position, so it equals what an index file holding the
// selected rows in position order returns: the kernel score depends only on
// the query and the row, and the position order is the file's row order.
//
// The filter is applied inside the scans, never by copying the selected rows:
//   - a live mask (one byte per position, non-zero = live): every strategy
//     skips the rows whose byte is zero, so a search costs at most an
//     unfiltered one;
//   - a sorted list of positions: only those rows are read (the sparse case).
// One query (or two or three) runs the chunked kernel scan on the pool; four
// or more score tiles of rows with sgemm and rescore the exact band
// (exact_band.h), tile by tile, gathering a sparse list's rows into a small
// tile buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/index_format.h"
#include "engine/result_order.h"
#include "engine/status.h"

namespace lumvero {

// rows x dims floats, row-major, with the loader's f64 squared norms
// (compute_row_norms); position of row 0 is `first`. Runs are given in
// increasing `first` and do not overlap.
struct RowRun {
  const float* data = nullptr;
  const double* norms_sq = nullptr;
  std::uint64_t rows = 0;
  std::uint64_t first = 0;
};

// Which positions may be returned. With `allowed` set (sorted, strictly
// increasing, each inside some run) only those; otherwise every position
// whose `live` byte is non-zero, or every position when `live` is null.
struct RowFilter {
  const std::uint8_t* live = nullptr;
  const std::uint64_t* allowed = nullptr;
  std::size_t allowed_count = 0;
  bool use_allowed = false;
};

// Squared norms of rows x dims floats, as the loader computes them.
void run_norms_sq(const float* data, std::uint64_t rows, std::uint64_t dims, double* out);

// The k best selected positions for each of nq queries (row-major, dims
// values each, all finite), best first, scored with compute_score. Fewer
// than k when fewer selected rows have a finite score.
Result<std::vector<std::vector<ScoredRow>>> filtered_search(std::span<const RowRun> runs,
                                                            std::size_t dims, Metric metric,
                                                            std::span<const float> queries,
                                                            std::size_t nq, std::size_t k,
                                                            const RowFilter& filter);

}  // namespace lumvero
