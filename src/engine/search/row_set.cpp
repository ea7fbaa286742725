// Runs, selections and how a search over them is cut into pieces.
#include "engine/search/row_set.h"

#include <algorithm>
#include <tuple>

#include "engine/runtime/pool.h"
#include "engine/search/scan.h"

namespace lumvero {

const RowRun& RowSet::run_of(std::uint64_t position) const {
  if (runs.size() == 1) return runs[0];
  // The last run whose first position is <= position.
  auto it = std::upper_bound(runs.begin(), runs.end(), position,
                             [](std::uint64_t p, const RowRun& r) { return p < r.first; });
  return *(it - 1);
}

const float* RowSet::row(std::uint64_t position) const {
  const RowRun& run = run_of(position);
  return run.data + (position - run.first) * dims;
}

const float* RowSet::checked_row(std::uint64_t position) const {
  const RowRun& run = run_of(position);
  check_rows(run, position - run.first, 1, dims);
  return run.data + (position - run.first) * dims;
}

std::uint64_t RowSet::stored() const {
  std::uint64_t n = 0;
  for (const RowRun& r : runs) n += r.rows;
  return n;
}

std::uint64_t RowSet::selectable() const {
  const std::uint64_t n = stored();
  return selection.by_position ? std::min<std::uint64_t>(n, selection.count) : n;
}

std::pair<std::uint64_t, std::uint64_t> positions_in(const Selection& s, const RowRun& run) {
  const std::uint64_t* end = s.positions + s.count;
  const std::uint64_t lo = std::lower_bound(s.positions, end, run.first) - s.positions;
  const std::uint64_t hi = std::lower_bound(s.positions, end, run.first + run.rows) - s.positions;
  return {lo, hi};
}

std::vector<Piece> cut_pieces(const RowSet& set, std::size_t chunk_len, std::uint64_t min_piece,
                              std::uint64_t align) {
  const std::size_t threads = pool::thread_count();
  const std::uint64_t total = set.selectable();
  if (chunk_len == 0)
    chunk_len = chunk_rows(std::max<std::uint64_t>(total, 1), set.dims, set.metric, threads);
  min_piece = std::max<std::uint64_t>(min_piece, 1);
  align = std::max<std::uint64_t>(align, 1);
  std::vector<Piece> pieces;
  for (std::size_t r = 0; r < set.runs.size(); ++r) {
    const RowRun& run = set.runs[r];
    std::uint64_t lo = 0, hi = run.rows;
    const bool listed = set.selection.by_position;
    if (listed) std::tie(lo, hi) = positions_in(set.selection, run);
    const std::uint64_t n = hi - lo;
    if (n == 0) continue;
    std::vector<RowRange> cuts = balanced_pieces(n, chunk_len, threads);
    const std::uint64_t most = std::max<std::uint64_t>(1, n / min_piece);
    if (cuts.size() > most) {
      cuts.clear();
      for (std::uint64_t i = 0; i < most; ++i) cuts.emplace_back(n * i / most, n * (i + 1) / most);
    }
    // Cut points on whole runs of the codes' bounds (rows, not list entries).
    std::uint64_t at = 0;
    for (const auto& [b, e] : cuts) {
      (void)b;
      std::uint64_t stop = e == n || listed ? e : e / align * align;
      if (stop <= at) continue;
      pieces.push_back({r, listed, lo + at, lo + stop});
      at = stop;
    }
    if (at < n) pieces.push_back({r, listed, lo + at, lo + n});
  }
  return pieces;
}

std::vector<Piece> whole_runs(const RowSet& set) {
  std::vector<Piece> pieces;
  for (std::size_t r = 0; r < set.runs.size(); ++r) {
    const RowRun& run = set.runs[r];
    if (set.selection.by_position) {
      const auto [lo, hi] = positions_in(set.selection, run);
      if (hi > lo) pieces.push_back({r, true, lo, hi});
    } else if (run.rows > 0) {
      pieces.push_back({r, false, 0, run.rows});
    }
  }
  return pieces;
}

}  // namespace lumvero
