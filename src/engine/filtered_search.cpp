// Exact top-k over in-memory row runs with removed or disallowed rows skipped
// inside the scans.
#include "engine/filtered_search.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "engine/dim_blocks.h"
#include "engine/exact_band.h"
#include "engine/kernels/kernels.h"
#include "engine/matrix.h"
#include "engine/pool.h"
#include "engine/row_norms.h"
#include "engine/scan.h"
#include "engine/score_error.h"
#include "engine/topk.h"
#include "engine/tuning.h"

namespace lumvero {

namespace {

using tuning::kFilteredInlineProducts;
using tuning::kFilteredMatrixFromQueries;
using tuning::kFilteredPrefetchAhead;
using tuning::kFilteredScoreBlock;
using tuning::kTileQueries;
using tuning::kTileRows;

// Work for one pool task: rows [begin, end) of one run, or entries
// [begin, end) of the allow-list (all inside that run).
struct Piece {
  std::size_t run;
  bool sparse;
  std::uint64_t begin;
  std::uint64_t end;
};

// Calls fn(local_row, count, offset) for each maximal stretch of consecutive
// selected rows among rows [from, to) of a dense piece or allow-list entries
// [from, to) of a sparse one, in increasing order. offset is the stretch's
// place counted from `from`: its place in a tile that starts there (for a
// sparse piece, the gathered tile).
template <class F>
void for_stretches(const RowRun& run, const RowFilter& f, bool sparse, std::uint64_t from,
                   std::uint64_t to, F&& fn) {
  if (sparse) {
    std::uint64_t i = from;
    while (i < to) {
      std::uint64_t j = i + 1;
      while (j < to && f.allowed[j] == f.allowed[j - 1] + 1) ++j;
      fn(f.allowed[i] - run.first, j - i, i - from);
      i = j;
    }
    return;
  }
  if (f.live == nullptr) {
    fn(from, to - from, std::uint64_t{0});
    return;
  }
  const std::uint8_t* live = f.live + run.first;
  std::uint64_t r = from;
  while (r < to) {
    while (r < to && live[r] == 0) ++r;
    const std::uint64_t s = r;
    while (r < to && live[r] != 0) ++r;
    if (r > s) fn(s, r - s, s - from);
  }
}

// [0, n) in equal pieces: the scan's chunk length, at least four pieces per
// thread for an even spread, but none shorter than min_piece (a piece costs
// a task and, in a batch, a band per query).
std::vector<RowRange> cut(std::uint64_t n, std::size_t chunk, std::size_t threads,
                          std::uint64_t min_piece) {
  std::vector<RowRange> out;
  if (n == 0) return out;
  const std::uint64_t by_chunk = (n + chunk - 1) / std::max<std::size_t>(chunk, 1);
  const std::uint64_t wanted = std::max<std::uint64_t>(by_chunk, 4 * threads);
  const std::uint64_t most = std::max<std::uint64_t>(1, n / std::max<std::uint64_t>(min_piece, 1));
  const std::uint64_t count = std::min(wanted, most);
  for (std::uint64_t i = 0; i < count; ++i) out.push_back({n * i / count, n * (i + 1) / count});
  return out;
}

// The places in the allow-list of the positions that fall in `run`.
std::pair<std::uint64_t, std::uint64_t> allowed_in(const RowFilter& f, const RowRun& run) {
  const std::uint64_t* all_end = f.allowed + f.allowed_count;
  const std::uint64_t lo = std::lower_bound(f.allowed, all_end, run.first) - f.allowed;
  const std::uint64_t hi = std::lower_bound(f.allowed, all_end, run.first + run.rows) - f.allowed;
  return {lo, hi};
}

std::vector<Piece> make_pieces(std::span<const RowRun> runs, std::size_t dims, Metric metric,
                               const RowFilter& f, std::uint64_t min_piece) {
  const std::size_t threads = pool::thread_count();
  std::vector<Piece> pieces;
  for (std::size_t r = 0; r < runs.size(); ++r) {
    const RowRun& run = runs[r];
    if (f.use_allowed) {
      const auto [lo, hi] = allowed_in(f, run);
      const std::uint64_t n = hi - lo;
      for (const auto& [b, e] : cut(n, chunk_rows(n, dims, metric, threads), threads, min_piece))
        pieces.push_back({r, true, lo + b, lo + e});
    } else {
      for (const auto& [b, e] :
           cut(run.rows, chunk_rows(run.rows, dims, metric, threads), threads, min_piece))
        pieces.push_back({r, false, b, e});
    }
  }
  return pieces;
}

// One piece per run holding any selected row.
std::vector<Piece> whole_runs(std::span<const RowRun> runs, const RowFilter& f) {
  std::vector<Piece> pieces;
  for (std::size_t r = 0; r < runs.size(); ++r) {
    const RowRun& run = runs[r];
    if (f.use_allowed) {
      const auto [lo, hi] = allowed_in(f, run);
      if (hi > lo) pieces.push_back({r, true, lo, hi});
    } else if (run.rows > 0) {
      pieces.push_back({r, false, 0, run.rows});
    }
  }
  return pieces;
}

// One query's k best of one piece by the kernel scan, global positions.
std::vector<ScoredRow> scan_piece(const RowRun& run, const RowFilter& f, const Piece& p,
                                  std::size_t dims, Metric metric, const float* q, std::size_t k) {
  TopKHeap heap(std::min<std::uint64_t>(k, p.end - p.begin), metric);
  float buf[kFilteredScoreBlock];
  const std::size_t row_bytes = dims * sizeof(float);
  for_stretches(
      run, f, p.sparse, p.begin, p.end, [&](std::uint64_t s, std::uint64_t n, std::uint64_t off) {
        // Scattered rows: fetch a row a few entries ahead while
        // this one is scored, so their latencies overlap.
        if (p.sparse && p.begin + off + n + kFilteredPrefetchAhead < p.end) {
          const auto* ahead = reinterpret_cast<const char*>(
              run.data +
              (f.allowed[p.begin + off + n + kFilteredPrefetchAhead] - run.first) * dims);
          for (std::size_t b = 0; b < row_bytes; b += 64) __builtin_prefetch(ahead + b);
        }
        for (std::uint64_t o = 0; o < n; o += kFilteredScoreBlock) {
          const std::size_t m =
              static_cast<std::size_t>(std::min<std::uint64_t>(kFilteredScoreBlock, n - o));
          kernels::score_rows(metric, q, run.data + (s + o) * dims, dims, m, buf);
          feed_heap(heap, buf, m, run.first + s + o);
        }
      });
  return heap.into_sorted();
}

// Every query's band over one piece, run-local row numbers.
std::vector<BandPart> band_piece(const RowRun& run, const RowFilter& f, const Piece& p,
                                 std::size_t dims, Metric metric, const float* queries,
                                 std::size_t nq, const double* qn, std::size_t k) {
  const std::size_t k_piece = static_cast<std::size_t>(std::min<std::uint64_t>(k, p.end - p.begin));
  std::vector<score_error::MatrixGap> gaps;
  std::vector<ExactBand> bands;
  gaps.reserve(nq);
  bands.reserve(nq);
  for (std::size_t i = 0; i < nq; ++i) {
    gaps.emplace_back(metric, dims, qn[i]);
    bands.emplace_back(std::max<std::size_t>(k_piece, 1), metric, true);
  }
  const bool distance = is_distance(metric);
  const bool blas = blas_ready();
  const std::size_t tile_queries = std::min(kTileQueries, nq);
  const auto tile = std::make_unique_for_overwrite<float[]>(kTileRows * tile_queries);
  // A sparse piece gathers its rows tile by tile; a dense one reads them in place.
  std::unique_ptr<float[]> gathered;
  std::unique_ptr<double[]> gathered_norms;
  if (p.sparse) {
    gathered = std::make_unique_for_overwrite<float[]>(kTileRows * dims);
    gathered_norms = std::make_unique_for_overwrite<double[]>(kTileRows);
  }
  struct Stretch {
    std::uint64_t local;
    std::uint64_t count;
    std::uint64_t offset;
  };
  std::vector<Stretch> stretches;
  for (std::uint64_t ts = p.begin; ts < p.end; ts += kTileRows) {
    const std::size_t rn = static_cast<std::size_t>(std::min<std::uint64_t>(kTileRows, p.end - ts));
    stretches.clear();
    for_stretches(run, f, p.sparse, ts, ts + rn,
                  [&](std::uint64_t s, std::uint64_t n, std::uint64_t off) {
                    stretches.push_back({s, n, off});
                  });
    if (stretches.empty()) continue;
    const float* rows = run.data + ts * dims;
    const double* norms = run.norms_sq + ts;
    if (p.sparse) {
      for (const Stretch& st : stretches) {
        std::copy_n(run.data + st.local * dims, st.count * dims, gathered.get() + st.offset * dims);
        std::copy_n(run.norms_sq + st.local, st.count, gathered_norms.get() + st.offset);
      }
      rows = gathered.get();
      norms = gathered_norms.get();
    }
    const double max_norm_sq = score_error::max_finite(norms, rn);
    for (std::size_t qs = 0; qs < nq; qs += tile_queries) {
      const std::size_t qm = std::min(tile_queries, nq - qs);
      if (blas) sgemm_nt(qm, rn, dims, queries + qs * dims, dims, rows, dims, tile.get(), rn);
      for (std::size_t i = 0; i < qm; ++i) {
        float* s = tile.get() + i * rn;
        const std::size_t q = qs + i;
        // Without BLAS's buffer on this thread the tile holds the kernel's
        // own scores, which are within any gap of themselves.
        if (!blas)
          kernels::score_rows(metric, queries + q * dims, rows, dims, rn, s);
        else if (distance)
          dots_to_l2sq(s, rn, norms, qn[q]);
        const score_error::Gap gap = gaps[q].for_rows(max_norm_sq);
        for (const Stretch& st : stretches)
          bands[q].feed(s + st.offset, static_cast<std::size_t>(st.count), st.local, gap);
      }
    }
  }
  std::vector<BandPart> parts;
  parts.reserve(nq);
  for (ExactBand& band : bands) parts.push_back(band.take());
  return parts;
}

}  // namespace

void run_norms_sq(const float* data, std::uint64_t rows, std::uint64_t dims, double* out) {
  // One block over every dimension: the same left-to-right f64 sum. Rows are
  // independent, so cutting them into tasks changes no bit.
  const std::vector<DimBlock> whole{{0, dims}};
  const std::size_t per_task =
      std::max<std::size_t>(1, (std::size_t{1} << 20) / std::max<std::uint64_t>(dims, 1));
  if (rows <= per_task) {
    compute_row_norms(data, rows, dims, whole, out, nullptr);
    return;
  }
  (void)pool::for_chunks(rows, per_task, [&](std::size_t b, std::size_t e, std::size_t) {
    compute_row_norms(data + b * dims, e - b, dims, whole, out + b, nullptr);
  });
}

namespace {

// Few queries: each query's pieces scanned with the kernel (inline for small
// work, else on the pool), then merged.
Result<std::vector<std::vector<ScoredRow>>> scan_queries(std::span<const RowRun> runs,
                                                         const std::vector<Piece>& pieces,
                                                         std::size_t dims, Metric metric,
                                                         const float* queries, std::size_t nq,
                                                         std::size_t k, const RowFilter& filter,
                                                         bool inline_scan) {
  std::vector<std::vector<ScoredRow>> out(nq);
  for (std::size_t i = 0; i < nq; ++i) {
    const float* q = queries + i * dims;
    auto one = [&](std::size_t p) {
      return scan_piece(runs[pieces[p].run], filter, pieces[p], dims, metric, q, k);
    };
    std::vector<std::vector<ScoredRow>> lists;
    if (inline_scan) {
      for (std::size_t p = 0; p < pieces.size(); ++p) lists.push_back(one(p));
    } else {
      auto mapped = pool::map(pieces.size(), one);
      if (!mapped) return fail(std::move(mapped.error()));
      lists = std::move(*mapped);
    }
    out[i] = merge_chunk_lists(std::move(lists), k, metric);
  }
  return out;
}

// Many queries: sgemm bands per piece on the pool, then each query's bands
// resolved run by run (a band names rows by their place in its run) and the
// runs' lists merged under the result order.
Result<std::vector<std::vector<ScoredRow>>> band_queries(std::span<const RowRun> runs,
                                                         const std::vector<Piece>& pieces,
                                                         std::size_t dims, Metric metric,
                                                         const float* queries, std::size_t nq,
                                                         std::size_t k, const RowFilter& filter) {
  std::vector<double> qn(nq);
  for (std::size_t i = 0; i < nq; ++i) qn[i] = kernels::query_norm_sq(queries + i * dims, dims);
  auto parts = pool::map(pieces.size(), [&](std::size_t p) {
    return band_piece(runs[pieces[p].run], filter, pieces[p], dims, metric, queries, nq, qn.data(),
                      k);
  });
  if (!parts) return fail(std::move(parts.error()));
  auto resolved = pool::map(nq, [&](std::size_t i) {
    const float* q = queries + i * dims;
    std::vector<std::vector<ScoredRow>> per_run;
    std::size_t p = 0;
    for (std::size_t r = 0; r < runs.size(); ++r) {
      std::vector<BandPart> mine;
      for (; p < pieces.size() && pieces[p].run == r; ++p)
        mine.push_back(std::move((*parts)[p][i]));
      if (mine.empty()) continue;
      std::vector<ScoredRow> best =
          resolve_bands(std::move(mine), k, metric, q, runs[r].data, dims);
      for (ScoredRow& s : best) s.idx += runs[r].first;
      per_run.push_back(std::move(best));
    }
    return merge_chunk_lists(std::move(per_run), k, metric);
  });
  if (!resolved) return fail(std::move(resolved.error()));
  return std::move(*resolved);
}

}  // namespace

Result<std::vector<std::vector<ScoredRow>>> filtered_search(std::span<const RowRun> runs,
                                                            std::size_t dims, Metric metric,
                                                            std::span<const float> queries,
                                                            std::size_t nq, std::size_t k,
                                                            const RowFilter& filter) {
  std::uint64_t selectable = 0;
  for (const RowRun& run : runs) selectable += run.rows;
  if (filter.use_allowed) selectable = std::min<std::uint64_t>(selectable, filter.allowed_count);
  k = static_cast<std::size_t>(std::min<std::uint64_t>(k, selectable));
  if (k == 0 || nq == 0 || dims == 0) return std::vector<std::vector<ScoredRow>>(nq);

  const bool inline_scan = selectable * dims < kFilteredInlineProducts / nq;
  const std::vector<Piece> pieces =
      inline_scan ? whole_runs(runs, filter)
                  : make_pieces(runs, dims, metric, filter,
                                nq < kFilteredMatrixFromQueries ? kFilteredScoreBlock : kTileRows);
  if (nq < kFilteredMatrixFromQueries || inline_scan)
    return scan_queries(runs, pieces, dims, metric, queries.data(), nq, k, filter, inline_scan);
  return band_queries(runs, pieces, dims, metric, queries.data(), nq, k, filter);
}

}  // namespace lumvero
