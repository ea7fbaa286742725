// The one search core under both surfaces: the module's strategies
// (single_query.cpp, batch_query.cpp) and lumvero_contrib.Index
// (native_module.cpp) describe what to search as a RowSet (row_set.h) and
// reach the same scans here:
//   - the kernel scan: pieces of selected rows scored with the per-row
//     kernel into heaps, merged;
//   - the band scan: one tile loop scores tiles of queries x selected rows
//     through the matrix seam (score_tile: sgemm, or the kernels where BLAS
//     has no room), each query's band (exact_band.h) cuts them, and one
//     rescoring per query resolves every band;
//   - the compressed pre-filter (prefilter/single_scan.h, prefilter/batch_scan.h), which
//     reads the runs' int8 codes instead of their floats.
// Every answer is the per-row kernel's rows and score bits under the result
// order, ties by lower position, whichever scan ran and however it was cut.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/runtime/pool.h"
#include "engine/search/exact_band.h"
#include "engine/search/radius.h"
#include "engine/search/result_order.h"
#include "engine/search/row_set.h"
#include "engine/status.h"

namespace lumvero::core {

// Whether a search of `queries` queries over these rows is small enough to
// run on the calling thread.
bool runs_inline(const RowSet& set, std::size_t queries);

// fn(i) for every piece, on the pool or right here (a small search is not
// worth a task's hand-off), results in piece order.
template <class F>
auto over_pieces(std::size_t n, bool run_inline, F&& fn)
    -> Result<std::vector<pool::detail::value_of_t<F, std::size_t>>> {
  if (!run_inline) return pool::map(n, fn);
  std::vector<pool::detail::value_of_t<F, std::size_t>> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) out.push_back(fn(i));
  return out;
}

// One query's k best of one piece by the kernel scan, positions.
std::vector<ScoredRow> kernel_piece(const RowSet& set, const Piece& p, const float* q,
                                    std::size_t k);

// One query's k best over the pieces (on the pool unless run_inline), merged.
Result<std::vector<ScoredRow>> kernel_scan(const RowSet& set, const std::vector<Piece>& pieces,
                                           const float* q, std::size_t k, bool run_inline);

// Every query's band over one piece: the one tile loop. qn: the queries'
// squared norms (query_norm_sq).
std::vector<BandPart> tile_bands(const RowSet& set, const Piece& p, const float* queries,
                                 std::size_t nq, const double* qn, std::size_t k);

// Each query's k best over the pieces by the band scan: tile_bands per piece
// (on the pool unless run_inline), then one rescoring per query.
Result<std::vector<std::vector<ScoredRow>>> band_scan(const RowSet& set,
                                                      const std::vector<Piece>& pieces,
                                                      const float* queries, std::size_t nq,
                                                      std::size_t k, bool run_inline,
                                                      SearchStats* stats = nullptr);

// The default search of lumvero_contrib.Index, as the module chooses for a
// file: fewer than kMatrixFromQueries queries run the single-query scan one
// by one (the pre-filter where it pays), more the batch tiles (the
// pre-filter's tiles where they pay, else the band scan). queries: nq x dims,
// all finite. k is capped at the selectable rows. stats, when given,
// receives the call's counts.
Result<std::vector<std::vector<ScoredRow>>> search(const RowSet& set, const float* queries,
                                                   std::size_t nq, std::size_t k,
                                                   SearchStats* stats = nullptr);

// One query: the pre-filter where LUMVO_FILTER and the size say so (and the
// codes are there), else the kernel scan over `pieces` (cut_pieces with the
// scan's chunk length when empty).
Result<std::vector<ScoredRow>> single(const RowSet& set, const float* q, std::size_t k,
                                      SearchStats* stats = nullptr);

// A batch of nq >= 1 queries: the pre-filter's tiles where they pay, else
// the band scan over pieces of block_len rows (0: the scan's chunk length).
Result<std::vector<std::vector<ScoredRow>>> batch(const RowSet& set, const float* queries,
                                                  std::size_t nq, std::size_t k,
                                                  std::size_t block_len = 0,
                                                  SearchStats* stats = nullptr);

// Every selected row the radius admits, for each query, best first, equal
// scores by lower position (range_core.cpp): one query at a time through the
// pre-filter where it pays (its band's L is the radius's bound), else the
// kernel scan; from kMatrixFromQueries queries the pre-filter's tiles where
// they pay, else one kernel scan scoring every window of rows for all the
// queries. queries: nq x dims, all finite. Lists grow as rows are found.
Result<std::vector<std::vector<ScoredRow>>> range_search(const RowSet& set, const float* queries,
                                                         std::size_t nq, const Radius& radius,
                                                         SearchStats* stats = nullptr);

// range_search's rows before they are sorted: each query's rows as the parts
// a scan found them in, rows with equal scores in increasing position within
// and across the parts (found_order.h writes them out in order).
Result<std::vector<std::vector<std::vector<ScoredRow>>>> range_parts(const RowSet& set,
                                                                     const float* queries,
                                                                     std::size_t nq,
                                                                     const Radius& radius,
                                                                     SearchStats* stats = nullptr);

// The kernel scan of `nq` queries over the pieces, each query's lists as the
// pieces collected them (in piece order, not merged).
Result<std::vector<std::vector<std::vector<ScoredRow>>>> kernel_parts(
    const RowSet& set, const std::vector<Piece>& pieces, const float* queries, std::size_t nq,
    const Want& want, bool run_inline);

// The kernel scan of `nq` queries over the pieces (on the pool unless
// run_inline): each window of rows is scored for every query in turn, into
// one collector per query; each query's lists merged as `want` says.
Result<std::vector<std::vector<ScoredRow>>> kernel_queries(const RowSet& set,
                                                           const std::vector<Piece>& pieces,
                                                           const float* queries, std::size_t nq,
                                                           const Want& want, bool run_inline);

}  // namespace lumvero::core
