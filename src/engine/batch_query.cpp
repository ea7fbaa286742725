// SearchEngine::query_batch and its four strategies.
#include "engine/batch_query.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <utility>

#include "engine/cpu_count.h"
#include "engine/exact_band.h"
#include "engine/filtered_batch.h"
#include "engine/kernels/kernels.h"
#include "engine/matrix.h"
#include "engine/messages.h"
#include "engine/pool.h"
#include "engine/result_order.h"
#include "engine/scan.h"
#include "engine/score_error.h"
#include "engine/settings.h"
#include "engine/topk.h"
#include "engine/tuning.h"

namespace lumvero {

namespace {

constexpr std::string_view kMethodMatrix = "matrix-full";
constexpr std::string_view kMethodMatrixChunked = "matrix-chunked";
constexpr std::string_view kMethodBlocked = "batch-blocked-exact";
constexpr std::string_view kMethodPerQuery = "rayon-optimized";

// Tiles (tuning.h) still feed rows to each query's band in increasing
// order, so the band ends exactly as over the untiled matrix.
using tuning::kTileQueries;
using tuning::kTileRows;

const float* query_at(std::span<const float> queries, std::size_t dims, std::size_t i) {
  return queries.data() + i * dims;
}

// Squared query norms: the euclidean identity and the score gaps need them.
std::vector<double> query_norms(const SearchEngine& e, const float* first, std::size_t m) {
  std::vector<double> qn(m);
  for (std::size_t i = 0; i < m; ++i) qn[i] = kernels::query_norm_sq(first + i * e.dims, e.dims);
  return qn;
}

// Per query of a task: the band that turns its sgemm scores into the kernel's
// answer, and the gap model behind it.
struct QueryBands {
  std::vector<score_error::MatrixGap> gaps;
  std::vector<ExactBand> bands;

  QueryBands(const SearchEngine& e, const double* qn, std::size_t m, std::size_t k) {
    gaps.reserve(m);
    bands.reserve(m);
    for (std::size_t i = 0; i < m; ++i) {
      gaps.emplace_back(e.metric, e.dims, qn[i]);
      bands.emplace_back(k, e.metric, std::isfinite(qn[i]));
    }
  }
};

// Scores queries [0, m) starting at qbase against rows [r0, r1) through sgemm
// and feeds query i's band with its scores in increasing row order. qn holds
// the squared query norms.
void score_into_bands(const SearchEngine& e, const float* qbase, std::size_t m, const double* qn,
                      std::uint64_t r0, std::uint64_t r1, QueryBands& out) {
  const std::size_t dims = static_cast<std::size_t>(e.dims);
  const bool distance = is_distance(e.metric);
  const std::size_t tile_rows =
      static_cast<std::size_t>(std::min<std::uint64_t>(kTileRows, r1 - r0));
  const std::size_t tile_queries = std::min(kTileQueries, m);
  // Every entry is written by sgemm before it is read: no zero fill needed.
  const auto tile = std::make_unique_for_overwrite<float[]>(tile_rows * tile_queries);
  for (std::uint64_t rs = r0; rs < r1; rs += tile_rows) {
    const std::size_t rn = static_cast<std::size_t>(std::min<std::uint64_t>(tile_rows, r1 - rs));
    const double* norms_sq = e.norms_sq.data() + rs;
    const double max_norm_sq = score_error::max_finite(norms_sq, rn);
    for (std::size_t qs = 0; qs < m; qs += tile_queries) {
      const std::size_t qm = std::min(tile_queries, m - qs);
      sgemm_nt(qm, rn, dims, qbase + qs * dims, dims, e.row(rs), dims, tile.get(), rn);
      for (std::size_t i = 0; i < qm; ++i) {
        float* s = tile.get() + i * rn;
        const std::size_t q = qs + i;
        if (distance) dots_to_l2sq(s, rn, norms_sq, qn[q]);
        out.bands[q].feed(s, rn, rs, out.gaps[q].for_rows(max_norm_sq));
      }
    }
  }
}

// Each query's band over rows [r0, r1), ready to be resolved.
std::vector<BandPart> band_parts(const SearchEngine& e, const float* qbase, std::size_t m,
                                 std::size_t k, std::uint64_t r0, std::uint64_t r1) {
  if (!blas_ready()) {
    // Without BLAS's buffer on this thread: each query's k best of the rows
    // from the kernels. Their scores are exact, so each is both ends of its
    // own interval, and the parts resolve with any others as before.
    std::vector<BandPart> parts(m);
    for (std::size_t i = 0; i < m; ++i) {
      parts[i].sure = kernel_top_k(e, qbase + i * e.dims, k, r0, r1);
      for (const ScoredRow& s : parts[i].sure)
        parts[i].members.push_back({s.idx, static_cast<double>(s.score)});
    }
    return parts;
  }
  const std::vector<double> qn = query_norms(e, qbase, m);
  QueryBands bands(e, qn.data(), m, k);
  score_into_bands(e, qbase, m, qn.data(), r0, r1, bands);
  std::vector<BandPart> parts;
  parts.reserve(m);
  for (ExactBand& band : bands.bands) parts.push_back(band.take());
  return parts;
}

QueryResult make_result(std::vector<ScoredRow>&& rows, std::string_view method) {
  QueryResult r;
  r.results = std::move(rows);
  r.method_used = std::string(method);
  return r;
}

template <class T>
std::vector<T> flatten(std::vector<std::vector<T>>&& parts) {
  std::size_t total = 0;
  for (const auto& p : parts) total += p.size();
  std::vector<T> out;
  out.reserve(total);
  for (auto& p : parts)
    for (auto& item : p) out.push_back(std::move(item));
  return out;
}

std::size_t k_eff_of(const SearchEngine& e, std::size_t k) {
  return static_cast<std::size_t>(std::min<std::uint64_t>(k, e.rows));
}

}  // namespace

Status check_query_matrix(const SearchEngine& e, std::size_t values, std::size_t cols) {
  if (cols == 0) return fail(std::string(msg::kZeroColumns));
  if (values % cols != 0) return fail(std::string(msg::kBatchNotMultiple));
  if (cols != e.dims) return fail(msg::query_dimensions(cols, e.dims));
  return {};
}

std::string_view batch_method_name(BatchStrategy s) {
  switch (s) {
    case BatchStrategy::Matrix:
      return kMethodMatrix;
    case BatchStrategy::MatrixChunked:
      return kMethodMatrixChunked;
    case BatchStrategy::Blocked:
      return kMethodBlocked;
    case BatchStrategy::PerQuery:
      return kMethodPerQuery;
  }
  return kMethodBlocked;
}

BatchStrategy choose_batch_strategy(std::optional<std::string_view> mode, std::size_t nq) {
  if (mode) {
    if (*mode == "matrix" || *mode == "matrix_full") return BatchStrategy::Matrix;
    if (*mode == "chunked" || *mode == "chunked_matrix") return BatchStrategy::MatrixChunked;
    if (*mode == "blocked" || *mode == "blocked_exact") return BatchStrategy::Blocked;
    if (*mode == "rayon") return BatchStrategy::PerQuery;
  }
  return nq >= 4 ? BatchStrategy::Blocked : BatchStrategy::PerQuery;
}

std::optional<std::size_t> parse_qblock(std::string_view text) {
  const auto value = settings::parse_u64(text);
  if (!value || *value == 0) return std::nullopt;
  return static_cast<std::size_t>(*value);
}

std::size_t qblock(std::optional<std::string_view> env, std::size_t nq, std::uint64_t rows,
                   std::uint64_t dims, Metric metric, std::size_t threads) {
  if (env) {
    if (auto v = parse_qblock(*env)) return *v;
  }
  if (nq < 2) return 1;
  const std::uint64_t t = std::max<std::size_t>(threads, 1);
  const std::uint64_t budget = is_distance(metric) ? tuning::kQueryBlockFloatsEuclidean
                               : dims <= 256       ? tuning::kQueryBlockFloatsNarrow
                                                   : tuning::kQueryBlockFloatsWide;
  const std::uint64_t by_rows = rows <= budget && rows > 0 ? budget / rows : 0;
  const std::uint64_t n = nq;
  const std::uint64_t par = std::min(n, 2 * t);
  const std::uint64_t width = std::min(n, std::max(par, by_rows));
  const std::uint64_t cap = dims >= 768   ? tuning::kQueryBlockCapWide
                            : dims >= 384 ? tuning::kQueryBlockCapMedium
                                          : tuning::kQueryBlockCapNarrow;
  const std::uint64_t per_task = std::max<std::uint64_t>(1, (n + par - 1) / par);
  return static_cast<std::size_t>(std::min({per_task, width, cap}));
}

std::size_t row_block_len(std::uint64_t rows, std::uint64_t dims, Metric metric,
                          std::size_t threads) {
  // The same budget, thread share and caps as a single query's chunks.
  return chunk_rows(rows, dims, metric, threads);
}

std::size_t super_chunk_len(std::size_t nq, std::uint64_t rows) {
  const std::uint64_t r = std::max<std::uint64_t>(rows, 1);
  const std::uint64_t per = r > tuning::kSuperChunkScores ? 0 : tuning::kSuperChunkScores / r;
  return static_cast<std::size_t>(std::min<std::uint64_t>(nq, std::max<std::uint64_t>(1, per)));
}

std::size_t per_query_group(std::size_t nq, std::size_t cpus) {
  return std::min(nq, std::max<std::size_t>(8, 4 * std::max<std::size_t>(cpus, 1)));
}

namespace batch {

Result<std::vector<QueryResult>> batch_matrix(const SearchEngine& e, std::span<const float> queries,
                                              std::size_t nq, std::size_t k) {
  const std::size_t k_eff = k_eff_of(e, k);
  if (k_eff == 0 || nq == 0) return std::vector<QueryResult>{};
  const std::size_t dims = static_cast<std::size_t>(e.dims);
  const std::optional<std::string> env = settings::read("LUMVO_QBLOCK");
  const std::size_t qb = qblock(env ? std::optional<std::string_view>(*env) : std::nullopt, nq,
                                e.rows, e.dims, e.metric, pool::thread_count());
  auto chunks = pool::map_chunks(nq, qb, [&](std::size_t b, std::size_t en, std::size_t) {
    const std::size_t m = en - b;
    const float* first = query_at(queries, dims, b);
    std::vector<BandPart> parts = band_parts(e, first, m, k_eff, 0, e.rows);
    std::vector<QueryResult> out;
    out.reserve(m);
    for (std::size_t i = 0; i < m; ++i) {
      std::vector<BandPart> one;
      one.push_back(std::move(parts[i]));
      out.push_back(make_result(
          resolve_bands(std::move(one), k_eff, e.metric, first + i * dims, e.data(), dims),
          kMethodMatrix));
    }
    return out;
  });
  if (!chunks) return fail(std::move(chunks.error()));
  return flatten(std::move(*chunks));
}

Result<std::vector<QueryResult>> batch_matrix_chunked(const SearchEngine& e,
                                                      std::span<const float> queries,
                                                      std::size_t nq, std::size_t k) {
  std::vector<QueryResult> out;
  if (nq == 0) return out;
  const std::size_t dims = static_cast<std::size_t>(e.dims);
  const std::size_t chunk = super_chunk_len(nq, e.rows);
  // One super-chunk at a time bounds the memory of the whole call; the
  // parallelism is inside batch_matrix.
  for (std::size_t b = 0; b < nq; b += chunk) {
    const std::size_t m = std::min(chunk, nq - b);
    auto part = batch_matrix(e, queries.subspan(b * dims, m * dims), m, k);
    if (!part) return fail(std::move(part.error()));
    for (QueryResult& r : *part) {
      r.method_used = std::string(kMethodMatrixChunked);
      out.push_back(std::move(r));
    }
  }
  return out;
}

Result<std::vector<QueryResult>> blocked_with_len(const SearchEngine& e,
                                                  std::span<const float> queries, std::size_t nq,
                                                  std::size_t k, std::size_t block_len) {
  const std::size_t k_eff = k_eff_of(e, k);
  if (k_eff == 0 || nq == 0) return std::vector<QueryResult>{};
  if (block_len == 0) block_len = 1;

  // Per piece of a block: each query's k best rows of that piece, global
  // indices. Pieces only split blocks further for an even spread over the
  // pool; a block's lists are the concatenation of its pieces' lists.
  const std::vector<RowRange> pieces = balanced_pieces(e.rows, block_len, pool::thread_count());
  auto blocks = pool::map(pieces.size(), [&](std::size_t p) {
    const auto [s, en] = pieces[p];
    const std::size_t k_piece = static_cast<std::size_t>(std::min<std::uint64_t>(k_eff, en - s));
    return band_parts(e, queries.data(), nq, k_piece, s, en);
  });
  if (!blocks) return fail(std::move(blocks.error()));

  // Each query's bands from every piece are resolved together: its rows are
  // rescored once, and under the total order neither blocks nor pieces show.
  std::vector<QueryResult> out;
  out.reserve(nq);
  for (std::size_t i = 0; i < nq; ++i) {
    std::vector<BandPart> parts;
    parts.reserve(blocks->size());
    for (auto& block : *blocks) parts.push_back(std::move(block[i]));
    out.push_back(make_result(resolve_bands(std::move(parts), k_eff, e.metric,
                                            query_at(queries, e.dims, i), e.data(), e.dims),
                              kMethodBlocked));
  }
  return out;
}

Result<std::vector<QueryResult>> batch_blocked(const SearchEngine& e,
                                               std::span<const float> queries, std::size_t nq,
                                               std::size_t k) {
  const std::size_t k_eff = k_eff_of(e, k);
  if (k_eff == 0 || nq == 0) return std::vector<QueryResult>{};
  if (filter::batch_wanted(filter::mode(), e.rows, e.dims, k_eff, nq)) {
    // The compressed rows' tiles; the same answers, so the same name.
    auto f = filter::batch_scan(e, queries, nq, k_eff);
    if (!f) return fail(std::move(f.error()));
    if (*f) {
      std::vector<QueryResult> out;
      out.reserve(nq);
      for (std::vector<ScoredRow>& rows : **f)
        out.push_back(make_result(std::move(rows), kMethodBlocked));
      return out;
    }
  }
  return blocked_with_len(e, queries, nq, k,
                          row_block_len(e.rows, e.dims, e.metric, pool::thread_count()));
}

Result<std::vector<QueryResult>> batch_per_query(const SearchEngine& e,
                                                 std::span<const float> queries, std::size_t nq,
                                                 std::size_t k) {
  std::vector<QueryResult> out;
  if (nq == 0) return out;
  // The whole block is checked before any query runs, so no partial work is
  // done for a batch that fails.
  for (const float v : queries)
    if (!is_usable(v)) return fail(std::string(msg::kBatchNonFinite));

  const std::size_t dims = static_cast<std::size_t>(e.dims);
  const std::size_t k_eff = k_eff_of(e, k);
  const std::size_t group = per_query_group(nq, cpu::cpu_count());
  out.reserve(nq);
  for (std::size_t g = 0; g < nq; g += group) {
    const std::size_t m = std::min(group, nq - g);
    auto results = pool::map(m, [&](std::size_t i) {
      auto r = e.query_single(queries.subspan((g + i) * dims, dims), k_eff);
      if (!r) return make_result({}, kMethodPerQuery);  // this query alone comes back empty
      r->method_used = std::string(kMethodPerQuery);
      return std::move(*r);
    });
    if (!results) return fail(std::move(results.error()));
    for (QueryResult& r : *results) out.push_back(std::move(r));
  }
  return out;
}

}  // namespace batch

Result<std::vector<QueryResult>> SearchEngine::query_batch(std::span<const float> queries,
                                                           std::size_t qdims, std::size_t k) const {
  if (auto shape = check_query_matrix(*this, queries.size(), qdims); !shape)
    return fail(std::move(shape.error()));
  const std::size_t nq = queries.size() / qdims;
  if (nq == 0) return std::vector<QueryResult>{};
  if (nq == 1) {
    auto one = query_single(queries, k);
    if (!one) return fail(std::move(one.error()));
    std::vector<QueryResult> out;
    out.push_back(std::move(*one));
    return out;
  }

  const std::optional<std::string> mode = settings::read("LUMVO_BATCH_MODE");
  switch (choose_batch_strategy(mode ? std::optional<std::string_view>(*mode) : std::nullopt, nq)) {
    case BatchStrategy::Matrix:
      return batch::batch_matrix(*this, queries, nq, k);
    case BatchStrategy::MatrixChunked:
      return batch::batch_matrix_chunked(*this, queries, nq, k);
    case BatchStrategy::Blocked:
      return batch::batch_blocked(*this, queries, nq, k);
    case BatchStrategy::PerQuery:
      return batch::batch_per_query(*this, queries, nq, k);
  }
  return batch::batch_blocked(*this, queries, nq, k);
}

}  // namespace lumvero
