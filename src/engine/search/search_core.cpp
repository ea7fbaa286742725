// The kernel scan, the band scan's one tile loop, and the default choices.
#include "engine/search/search_core.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

#include "engine/kernels/kernels.h"
#include "engine/prefilter/batch_scan.h"
#include "engine/prefilter/single_scan.h"
#include "engine/runtime/pool.h"
#include "engine/runtime/tuning.h"
#include "engine/search/matrix.h"
#include "engine/search/score_error.h"
#include "engine/search/topk.h"

namespace lumvero::core {

namespace {

using tuning::kPrefetchAhead;
using tuning::kScanRows;
using tuning::kTileQueries;
using tuning::kTileRows;

std::vector<double> query_norms(const float* queries, std::size_t nq, std::size_t dims) {
  std::vector<double> qn(nq);
  for (std::size_t i = 0; i < nq; ++i) qn[i] = kernels::query_norm_sq(queries + i * dims, dims);
  return qn;
}

}  // namespace

bool runs_inline(const RowSet& set, std::size_t queries) {
  const std::uint64_t work = set.selectable() * std::max<std::uint64_t>(set.dims, 1);
  return work < tuning::kInlineProducts / std::max<std::size_t>(queries, 1);
}

std::vector<ScoredRow> kernel_piece(const RowSet& set, const Piece& p, const float* q,
                                    std::size_t k) {
  const RowRun& run = set.runs[p.run];
  const std::size_t dims = static_cast<std::size_t>(set.dims);
  // A heap never holds more entries than it is offered.
  TopKHeap heap(static_cast<std::size_t>(std::min<std::uint64_t>(k, p.end - p.begin)), set.metric);
  float buf[kScanRows];
  std::uint64_t scratch[kScanRows];
  const std::size_t row_bytes = dims * sizeof(float);
  for_selected(run, set.selection, p, kScanRows, scratch, [&](const SelectedWindow& b) {
    if (b.local == nullptr) {
      check_rows(run, b.start, b.count, dims);
      kernels::score_rows(set.metric, q, run.data + b.start * dims, dims, b.count, buf);
      feed_heap(heap, buf, b.count, run.first + b.start);
      return;
    }
    // Scattered rows: fetch a row a few entries ahead while this one is
    // scored, so that their latencies overlap.
    for (std::size_t j = 0; j < b.count; ++j) {
      if (j + kPrefetchAhead < b.count) {
        const auto* ahead =
            reinterpret_cast<const char*>(run.data + b.local[j + kPrefetchAhead] * dims);
        for (std::size_t o = 0; o < row_bytes; o += 64) __builtin_prefetch(ahead + o);
      }
      check_rows(run, b.local[j], 1, dims);
      heap.offer(run.first + b.local[j],
                 kernels::compute_score(set.metric, q, run.data + b.local[j] * dims, dims));
    }
  });
  return heap.into_sorted();
}

Result<std::vector<ScoredRow>> kernel_scan(const RowSet& set, const std::vector<Piece>& pieces,
                                           const float* q, std::size_t k, bool run_inline) {
  auto lists = over_pieces(pieces.size(), run_inline,
                           [&](std::size_t i) { return kernel_piece(set, pieces[i], q, k); });
  if (!lists) return fail(std::move(lists.error()));
  return merge_chunk_lists(std::move(*lists), k, set.metric);
}

std::vector<BandPart> tile_bands(const RowSet& set, const Piece& p, const float* queries,
                                 std::size_t nq, const double* qn, std::size_t k) {
  const RowRun& run = set.runs[p.run];
  const std::size_t dims = static_cast<std::size_t>(set.dims);
  const std::size_t k_piece = static_cast<std::size_t>(std::min<std::uint64_t>(k, p.end - p.begin));
  std::vector<score_error::MatrixGap> gaps;
  std::vector<ExactBand> bands;
  gaps.reserve(nq);
  bands.reserve(nq);
  for (std::size_t i = 0; i < nq; ++i) {
    gaps.emplace_back(set.metric, dims, std::isfinite(qn[i]) ? qn[i] : 0.0);
    bands.emplace_back(std::max<std::size_t>(k_piece, 1), set.metric, std::isfinite(qn[i]));
  }
  const std::size_t tile_rows =
      static_cast<std::size_t>(std::min<std::uint64_t>(kTileRows, p.end - p.begin));
  const std::size_t tile_queries = std::min(kTileQueries, nq);
  // Every entry is written by the seam before it is read: no zero fill.
  const auto tile = std::make_unique_for_overwrite<float[]>(tile_rows * tile_queries);
  // Rows the selection scatters are gathered tile by tile; whole stretches
  // are read in place.
  std::unique_ptr<float[]> gathered;
  std::unique_ptr<double[]> gathered_norms;
  std::vector<std::uint64_t> scratch(tile_rows), positions(tile_rows);
  for_selected(run, set.selection, p, tile_rows, scratch.data(), [&](const SelectedWindow& b) {
    const std::size_t rn = b.count;
    const float* rows = run.data + b.start * dims;
    const double* norms = run.norms_sq + b.start;
    if (b.local == nullptr) check_rows(run, b.start, rn, dims);
    if (b.local != nullptr) {
      if (!gathered) {
        gathered = std::make_unique_for_overwrite<float[]>(tile_rows * dims);
        gathered_norms = std::make_unique_for_overwrite<double[]>(tile_rows);
      }
      for (std::size_t j = 0; j < rn; ++j) {
        check_rows(run, b.local[j], 1, dims);
        std::copy_n(run.data + b.local[j] * dims, dims, gathered.get() + j * dims);
        gathered_norms[j] = run.norms_sq[b.local[j]];
        positions[j] = run.first + b.local[j];
      }
      rows = gathered.get();
      norms = gathered_norms.get();
    }
    const double max_norm_sq = score_error::max_finite(norms, rn);
    for (std::size_t qs = 0; qs < nq; qs += tile_queries) {
      const std::size_t qm = std::min(tile_queries, nq - qs);
      score_tile(set.metric, queries + qs * dims, qm, qn + qs, rows, norms, rn, dims, tile.get());
      for (std::size_t i = 0; i < qm; ++i) {
        const float* s = tile.get() + i * rn;
        const score_error::Gap gap = gaps[qs + i].for_rows(max_norm_sq);
        if (b.local == nullptr)
          bands[qs + i].feed(s, rn, run.first + b.start, gap);
        else
          bands[qs + i].feed_at(s, positions.data(), rn, gap);
      }
    }
  });
  std::vector<BandPart> parts;
  parts.reserve(nq);
  for (ExactBand& band : bands) parts.push_back(band.take());
  return parts;
}

Result<std::vector<std::vector<ScoredRow>>> band_scan(const RowSet& set,
                                                      const std::vector<Piece>& pieces,
                                                      const float* queries, std::size_t nq,
                                                      std::size_t k, bool run_inline,
                                                      SearchStats* stats) {
  const std::size_t dims = static_cast<std::size_t>(set.dims);
  const std::vector<double> qn = query_norms(queries, nq, dims);
  auto parts = over_pieces(pieces.size(), run_inline, [&](std::size_t p) {
    return tile_bands(set, pieces[p], queries, nq, qn.data(), k);
  });
  if (!parts) return fail(std::move(parts.error()));
  std::vector<std::size_t> rescored(nq, 0);
  auto resolved = over_pieces(nq, run_inline || nq == 1, [&](std::size_t i) {
    std::vector<BandPart> mine;
    mine.reserve(parts->size());
    for (auto& piece : *parts) mine.push_back(std::move(piece[i]));
    return resolve_bands(std::move(mine), k, queries + i * dims, set, &rescored[i]);
  });
  if (!resolved) return fail(std::move(resolved.error()));
  if (stats != nullptr)
    for (const std::size_t r : rescored) stats->rows_rescored += r;
  return std::move(*resolved);
}

Result<std::vector<ScoredRow>> single(const RowSet& set, const float* q, std::size_t k,
                                      SearchStats* stats) {
  if (prefilter::wanted(prefilter::mode(), set, k)) {
    auto got = prefilter::scan(set, q, k, 0, stats);
    if (!got) return fail(std::move(got.error()));
    if (*got) return std::move(**got);
  }
  const bool run_inline = runs_inline(set, 1);
  return kernel_scan(set, run_inline ? whole_runs(set) : cut_pieces(set, 0, 1), q, k, run_inline);
}

Result<std::vector<std::vector<ScoredRow>>> batch(const RowSet& set, const float* queries,
                                                  std::size_t nq, std::size_t k,
                                                  std::size_t block_len, SearchStats* stats) {
  if (prefilter::batch_wanted(prefilter::mode(), set.selectable(), set.dims, k, nq)) {
    auto got = prefilter::batch_scan(set, queries, nq, k, 0, stats);
    if (!got) return fail(std::move(got.error()));
    if (*got) return std::move(**got);
  }
  const bool run_inline = runs_inline(set, nq);
  return band_scan(set, run_inline ? whole_runs(set) : cut_pieces(set, block_len, kTileRows),
                   queries, nq, k, run_inline, stats);
}

Result<std::vector<std::vector<ScoredRow>>> search(const RowSet& set, const float* queries,
                                                   std::size_t nq, std::size_t k,
                                                   SearchStats* stats) {
  k = static_cast<std::size_t>(std::min<std::uint64_t>(k, set.selectable()));
  if (k == 0 || nq == 0 || set.dims == 0) return std::vector<std::vector<ScoredRow>>(nq);
  if (nq >= tuning::kMatrixFromQueries) return batch(set, queries, nq, k, 0, stats);
  std::vector<std::vector<ScoredRow>> out(nq);
  for (std::size_t i = 0; i < nq; ++i) {
    auto one = single(set, queries + i * set.dims, k, stats);
    if (!one) return fail(std::move(one.error()));
    out[i] = std::move(*one);
  }
  return out;
}

}  // namespace lumvero::core
