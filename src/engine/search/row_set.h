// What a search reads: rows in one or more runs of contiguous memory, and the
// selection of the positions it may return.
//
// An opened index file is one run and no selection. lumvero_contrib.Index is
// a few runs (an index that grows keeps its rows in a handful of large runs
// rather than one buffer copied on every growth) with a live mask (removed
// rows) and/or a sorted list of allowed positions. A row is named by its
// position: run.first + its row within the run. Every strategy takes this one
// description, so every answer is the per-row kernel's (compute_score) over
// the selected rows under the result order, ties by lower position: what an
// index file holding the selected rows in position order returns.
//
// The selection is applied inside the scans, never by copying the selected
// rows: a mask skips the rows whose byte is zero; a list of positions reads
// only those rows.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "engine/format/block_sums.h"
#include "engine/format/index_format.h"

namespace lumvero {

class RunCodes;  // compressed_rows.h

// rows x dims floats, row-major, with the loader's f64 squared norms
// (compute_row_norms); position of row 0 is `first`. `codes`, when set, is the
// run's codes (built or extended on first use by the pre-filter).
struct RowRun {
  const float* data = nullptr;
  const double* norms_sq = nullptr;
  std::uint64_t rows = 0;
  std::uint64_t first = 0;
  const RunCodes* codes = nullptr;
  // Rows the codes may grow to (the run's buffer); 0 means `rows`.
  std::uint64_t capacity = 0;
  // The rows lie in a file mapping and may not be resident: the rows a band
  // rescores are asked for together before they are read.
  bool mapped = false;
  // A mapped run's sum blocks, checked on the first read of each
  // (block_sums.h); null for rows held in memory and for row files saved
  // without sums.
  const BlockSums* sums = nullptr;
};

// Checks the run's rows [begin, begin + count) against their sum blocks
// before they are read, when the run has sums. A mismatch is kept in the
// sums (failed()) for the caller of the search to find afterwards; the
// search itself goes on and its answer is discarded.
inline void check_rows(const RowRun& run, std::uint64_t begin, std::uint64_t count,
                       std::uint64_t dims) {
  if (run.sums != nullptr)
    (void)run.sums->check(run.data + begin * dims, count * dims * sizeof(float));
}

// Which positions may be returned: with `by_position`, only the `positions`
// (sorted, strictly increasing, each inside some run); otherwise every
// position whose `live` byte is non-zero, or every position when `live` is
// null.
struct Selection {
  const std::uint8_t* live = nullptr;
  const std::uint64_t* positions = nullptr;
  std::size_t count = 0;
  bool by_position = false;
};

struct RowSet {
  std::span<const RowRun> runs;  // increasing `first`, not overlapping
  Selection selection;
  std::uint64_t dims = 0;
  Metric metric = Metric::Cosine;

  // The float row at a position (inside some run).
  const float* row(std::uint64_t position) const;
  // The run holding a position.
  const RowRun& run_of(std::uint64_t position) const;
  // The float row at a position, checked against its run's sums first
  // (check_rows).
  const float* checked_row(std::uint64_t position) const;
  // Upper bound of the rows a search may return.
  std::uint64_t selectable() const;
  // Rows stored in all runs.
  std::uint64_t stored() const;
};

// Counts of one search, for tests and callers that ask which path answered.
struct SearchStats {
  bool prefiltered = false;         // the compressed pre-filter ran
  std::uint64_t rows_scanned = 0;   // scored through the int8 codes
  std::uint64_t rows_rescored = 0;  // scored by compute_score after a band
  std::uint64_t rows_fallback = 0;  // read as floats: the band ran too wide
  void add(const SearchStats& o) {
    prefiltered = prefiltered || o.prefiltered;
    rows_scanned += o.rows_scanned;
    rows_rescored += o.rows_rescored;
    rows_fallback += o.rows_fallback;
  }
};

// Work for one pool task: rows [begin, end) of one run, or entries
// [begin, end) of the position list (all inside that run).
struct Piece {
  std::size_t run = 0;
  bool by_position = false;
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
};

// The places in the position list of the positions that fall in `run`.
std::pair<std::uint64_t, std::uint64_t> positions_in(const Selection& s, const RowRun& run);

// Pieces of every run holding a selected row, in position order: each run's
// rows (or its list entries) in chunks of at most chunk_len, each chunk cut
// further so that there are at least four pieces per thread overall, no
// piece shorter than min_piece (a piece costs a task, and in a batch a band
// per query), and every cut at a multiple of `align` rows of its run (the
// codes' stripes). chunk_len 0: the scan's chunk length.
std::vector<Piece> cut_pieces(const RowSet& set, std::size_t chunk_len, std::uint64_t min_piece,
                              std::uint64_t align = 1);

// One piece per run holding any selected row.
std::vector<Piece> whole_runs(const RowSet& set);

// Up to `window` selected rows of a piece at a time, in increasing order.
// When the window's rows are consecutive in their run (no selection, or a
// stretch the selection keeps whole), `local` is null and they are the rows
// from `start`; otherwise `local` lists their rows within the run.
struct SelectedWindow {
  std::uint64_t start = 0;
  const std::uint64_t* local = nullptr;
  std::size_t count = 0;
  std::uint64_t row(std::size_t j) const { return local == nullptr ? start + j : local[j]; }
};

// Calls fn(const SelectedWindow&) for each window of the piece. The piece's
// rows are read in windows of `window` rows (entries for a list); a window
// whose rows are all selected is passed whole. scratch: `window` entries.
template <class F>
void for_selected(const RowRun& run, const Selection& sel, const Piece& p, std::size_t window,
                  std::uint64_t* scratch, F&& fn) {
  for (std::uint64_t w = p.begin; w < p.end; w += window) {
    const std::uint64_t we = std::min<std::uint64_t>(p.end, w + window);
    SelectedWindow b;
    if (p.by_position) {
      const std::uint64_t* pos = sel.positions;
      if (pos[we - 1] - pos[w] == we - 1 - w) {
        b.start = pos[w] - run.first;
      } else {
        for (std::uint64_t i = w; i < we; ++i) scratch[i - w] = pos[i] - run.first;
        b.local = scratch;
      }
      b.count = static_cast<std::size_t>(we - w);
    } else if (sel.live == nullptr) {
      b.start = w;
      b.count = static_cast<std::size_t>(we - w);
    } else {
      const std::uint8_t* live = sel.live + run.first;
      std::size_t n = 0;
      for (std::uint64_t r = w; r < we; ++r) {
        scratch[n] = r;
        n += live[r] != 0;
      }
      if (n == 0) continue;
      if (n == we - w) {
        b.start = w;
      } else {
        b.local = scratch;
      }
      b.count = n;
    }
    fn(b);
  }
}

}  // namespace lumvero
