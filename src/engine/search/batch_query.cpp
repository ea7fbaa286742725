// SearchEngine::query_batch and its four strategies.
#include "engine/search/batch_query.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <utility>

#include "engine/kernels/kernels.h"
#include "engine/messages.h"
#include "engine/prefilter/batch_scan.h"
#include "engine/runtime/cpu_count.h"
#include "engine/runtime/pool.h"
#include "engine/runtime/settings.h"
#include "engine/runtime/tuning.h"
#include "engine/search/exact_band.h"
#include "engine/search/matrix.h"
#include "engine/search/result_order.h"
#include "engine/search/scan.h"
#include "engine/search/score_error.h"
#include "engine/search/search_core.h"
#include "engine/search/topk.h"

namespace lumvero {

namespace {

constexpr std::string_view kMethodMatrix = "matrix-full";
constexpr std::string_view kMethodMatrixChunked = "matrix-chunked";
constexpr std::string_view kMethodBlocked = "batch-blocked-exact";
constexpr std::string_view kMethodPerQuery = "rayon-optimized";

const float* query_at(std::span<const float> queries, std::size_t dims, std::size_t i) {
  return queries.data() + i * dims;
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
  return nq >= tuning::kMatrixFromQueries ? BatchStrategy::Blocked : BatchStrategy::PerQuery;
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
  const std::uint64_t budget = is_distance(metric) ? tuning::kQueryChunkFloatsEuclidean
                               : dims <= 256       ? tuning::kQueryChunkFloatsShort
                                                   : tuning::kQueryChunkFloatsLong;
  const std::uint64_t by_rows = rows <= budget && rows > 0 ? budget / rows : 0;
  const std::uint64_t n = nq;
  const std::uint64_t par = std::min(n, 2 * t);
  const std::uint64_t width = std::min(n, std::max(par, by_rows));
  const std::uint64_t cap = dims >= 768   ? tuning::kQueryChunkCapLong
                            : dims >= 384 ? tuning::kQueryChunkCapMedium
                                          : tuning::kQueryChunkCapShort;
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
  const RowRun run = e.as_run();
  const RowSet set = e.as_set(run);
  const std::vector<Piece> whole = whole_runs(set);
  // Each block of queries is one task over every row.
  auto chunks = pool::map_chunks(
      nq, qb, [&](std::size_t b, std::size_t en, std::size_t) -> Result<std::vector<QueryResult>> {
        auto lists = core::band_scan(set, whole, query_at(queries, dims, b), en - b, k_eff, true);
        if (!lists) return fail(std::move(lists.error()));
        std::vector<QueryResult> out;
        out.reserve(en - b);
        for (std::vector<ScoredRow>& l : *lists)
          out.push_back(make_result(std::move(l), kMethodMatrix));
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
  const RowRun run = e.as_run();
  const RowSet set = e.as_set(run);
  // Pieces only split blocks further for an even spread over the pool; each
  // query's bands from every piece are resolved together, so neither blocks
  // nor pieces show.
  auto lists = core::band_scan(set, cut_pieces(set, std::max<std::size_t>(block_len, 1), 1),
                               queries.data(), nq, k_eff, false);
  if (!lists) return fail(std::move(lists.error()));
  std::vector<QueryResult> out;
  out.reserve(nq);
  for (std::vector<ScoredRow>& l : *lists) out.push_back(make_result(std::move(l), kMethodBlocked));
  return out;
}

Result<std::vector<QueryResult>> batch_blocked(const SearchEngine& e,
                                               std::span<const float> queries, std::size_t nq,
                                               std::size_t k) {
  const std::size_t k_eff = k_eff_of(e, k);
  if (k_eff == 0 || nq == 0) return std::vector<QueryResult>{};
  if (prefilter::batch_wanted(prefilter::mode(), e.rows, e.dims, k_eff, nq)) {
    // The compressed rows' tiles; the same answers, so the same name.
    const RowRun run = e.as_run();
    auto f = prefilter::batch_scan(e.as_set(run), queries.data(), nq, k_eff);
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
