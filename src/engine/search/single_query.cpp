// SearchEngine::query_single and its five strategies.
#include "engine/search/single_query.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>

#include "engine/kernels/kernels.h"
#include "engine/messages.h"
#include "engine/prefilter/single_scan.h"
#include "engine/runtime/pool.h"
#include "engine/runtime/pool_setup.h"
#include "engine/runtime/settings.h"
#include "engine/runtime/tuning.h"
#include "engine/search/exact_band.h"
#include "engine/search/matrix.h"
#include "engine/search/score_error.h"
#include "engine/search/search_core.h"

namespace lumvero {

namespace {

constexpr std::string_view kMethodPerRow = "exact";
constexpr std::string_view kMethodChunked = "exact-chunked";
constexpr std::string_view kMethodBlocked = "exact-blocked-matrix";
constexpr std::string_view kMethodMatrixFull = "exact-matrix-full";
constexpr std::string_view kMethodPruned = "exact-pruned-fast";

// The pruned scan's bound is never widened by less than this, whatever the
// rounding analysis allows on small magnitudes.
constexpr double kPrunedMinMargin = 0.0001;

// The kernel scan over pieces of chunk_len rows, on the calling thread when
// the work is tiny (the chunking never shows in the result).
Result<std::vector<ScoredRow>> kernel_pieces(const SearchEngine& e, const float* q,
                                             std::size_t k_eff, std::size_t chunk_len) {
  const RowRun run = e.as_run();
  const RowSet set = e.as_set(run);
  const bool run_inline = core::runs_inline(set, 1);
  return core::kernel_scan(set, run_inline ? whole_runs(set) : cut_pieces(set, chunk_len, 1), q,
                           k_eff, run_inline);
}

// The band scan of one query over pieces of chunk_len rows (one piece when
// chunk_len is 0 or the work is tiny).
Result<std::vector<ScoredRow>> band_over_chunks(const SearchEngine& e, const float* q,
                                                std::size_t k_eff, std::size_t chunk_len) {
  const RowRun run = e.as_run();
  const RowSet set = e.as_set(run);
  const bool run_inline = chunk_len == 0 || core::runs_inline(set, 1);
  auto lists = core::band_scan(set, run_inline ? whole_runs(set) : cut_pieces(set, chunk_len, 1), q,
                               1, k_eff, run_inline);
  if (!lists) return fail(std::move(lists.error()));
  return std::move((*lists)[0]);
}

std::size_t default_chunk(const SearchEngine& e) {
  return chunk_rows(e.rows, e.dims, e.metric, pool::thread_count());
}

// With no dimensions every score is the empty sum +0.0: the k best are the
// first k rows, and no row needs reading.
std::vector<ScoredRow> zero_width_answer(std::size_t k_eff) {
  std::vector<ScoredRow> out(k_eff);
  for (std::size_t i = 0; i < k_eff; ++i) out[i] = ScoredRow{i, 0.0f};
  return out;
}

template <class R>
Result<SingleOutcome> named(R&& list, std::string_view method) {
  if (!list) return fail(std::move(list.error()));
  return SingleOutcome{std::move(*list), method};
}

}  // namespace

std::string_view single_method_name(SingleStrategy s) {
  switch (s) {
    case SingleStrategy::PerRow:
      return kMethodPerRow;
    case SingleStrategy::Chunked:
      return kMethodChunked;
    case SingleStrategy::Blocked:
      return kMethodBlocked;
    case SingleStrategy::MatrixFull:
      return kMethodMatrixFull;
    case SingleStrategy::Pruned:
      return kMethodPruned;
  }
  return kMethodPerRow;
}

SingleStrategy choose_single_strategy(std::optional<std::string_view> mode, std::uint64_t rows,
                                      std::uint64_t dims, Metric metric) {
  const bool similarity = !is_distance(metric);
  if (mode) {
    if (*mode == "rayon") return SingleStrategy::PerRow;
    if (*mode == "pruned")
      return rows >= 1000000 && dims >= 64 && similarity ? SingleStrategy::Pruned
                                                         : SingleStrategy::PerRow;
    if (*mode == "blocked" || *mode == "blocked_matrix") return SingleStrategy::Blocked;
    if (*mode == "matrix_full") return SingleStrategy::MatrixFull;
    if (*mode == "matrix_parallel") return SingleStrategy::Chunked;
  }
  return dims >= 64 && rows >= 10000 && similarity ? SingleStrategy::Chunked
                                                   : SingleStrategy::PerRow;
}

namespace single {

Result<SingleOutcome> single_per_row(const SearchEngine& e, std::span<const float> q,
                                     std::size_t k_eff) {
  // Every usable row is a candidate and the k best of them are kept: what a
  // heap per piece keeps, merged, under the one total order.
  const std::size_t pieces = 4 * std::max<std::size_t>(pool::thread_count(), 1);
  const std::size_t len =
      static_cast<std::size_t>(std::max<std::uint64_t>(1, (e.rows + pieces - 1) / pieces));
  return named(kernel_pieces(e, q.data(), k_eff, len), kMethodPerRow);
}

Result<std::vector<ScoredRow>> chunked_scan(const SearchEngine& e, std::span<const float> q,
                                            std::size_t k_eff, std::size_t chunk_len) {
  return kernel_pieces(e, q.data(), k_eff, std::max<std::size_t>(chunk_len, 1));
}

Result<std::vector<ScoredRow>> blocked_scan(const SearchEngine& e, std::span<const float> q,
                                            std::size_t k_eff, std::size_t chunk_len) {
  return band_over_chunks(e, q.data(), k_eff, std::max<std::size_t>(chunk_len, 1));
}

Result<SingleOutcome> single_chunked(const SearchEngine& e, std::span<const float> q,
                                     std::size_t k_eff) {
  return named(kernel_pieces(e, q.data(), k_eff, default_chunk(e)), kMethodChunked);
}

Result<SingleOutcome> single_blocked(const SearchEngine& e, std::span<const float> q,
                                     std::size_t k_eff) {
  return named(band_over_chunks(e, q.data(), k_eff, default_chunk(e)), kMethodBlocked);
}

Result<SingleOutcome> single_matrix_full(const SearchEngine& e, std::span<const float> q,
                                         std::size_t k_eff) {
  return named(band_over_chunks(e, q.data(), k_eff, 0), kMethodMatrixFull);
}

Result<SingleOutcome> single_pruned(const SearchEngine& e, std::span<const float> q,
                                    std::size_t k_eff) {
  const std::size_t nb = e.blocks.size();
  if (nb == 0 || !e.block_norms_sq || e.block_norms_sq->size() != nb * e.rows)
    return single_chunked(e, q, k_eff);

  const float* qp = q.data();
  const std::vector<double> qb = block_energies(qp, e.blocks);
  double q_total = 0.0;
  for (std::size_t b = 0; b < nb; ++b) q_total += qb[b];
  const std::vector<std::uint64_t> order = energy_order(qb);

  const double* block_norms = e.block_norms_sq->data();
  const score_error::BlockScanMargin margins(e.metric, e.dims, e.block_size, nb, q_total);
  TopKHeap heap(k_eff, e.metric);
  for (std::uint64_t r = 0; r < e.rows; ++r) {
    const float* x = e.row(r);
    if (heap.full()) {
      const double w = static_cast<double>(heap.worst().score);
      const double* xb = block_norms + r * nb;
      const double x_total = e.norms_sq[r];
      // Covers every rounding between this bound and compute_score, so a
      // skipped row's kernel score is never above w (a later row that ties
      // loses on its index).
      const double margin = std::max(kPrunedMinMargin, margins.pruned_similarity(x_total));
      double partial = 0.0, consumed_q = 0.0, consumed_x = 0.0;
      bool pruned = false;
      for (const std::uint64_t b : order) {
        const float p = kernels::dot_range(qp, x, e.blocks[b].first, e.blocks[b].second);
        partial += static_cast<double>(p);
        // An overflowed block sum bounds nothing (the kernel's order may
        // still give a finite score): the row is scored in full.
        if (!std::isfinite(partial)) break;
        consumed_q += qb[b];
        consumed_x += xb[b];
        const double rem_q = std::max(q_total - consumed_q, 0.0);
        const double rem_x = std::max(x_total - consumed_x, 0.0);
        const double bound = (std::sqrt(rem_x) * std::sqrt(rem_q) + partial) + margin;
        if (w > bound && std::isfinite(bound)) {  // NaN or infinity never prunes
          pruned = true;
          break;
        }
      }
      if (pruned) continue;
    }
    // Every admitted row carries its kernel score, as in a per-row scan.
    heap.offer(r, kernels::compute_score(e.metric, qp, x, e.dims));
  }
  return SingleOutcome{heap.into_sorted(), kMethodPruned};
}

Result<SingleOutcome> single_filtered(const SearchEngine& e, std::span<const float> q,
                                      std::size_t k_eff, SingleStrategy fallback) {
  const RowRun run = e.as_run();
  auto list = prefilter::scan(e.as_set(run), q.data(), k_eff);
  if (!list) return fail(std::move(list.error()));
  if (!*list) return run_strategy(fallback, e, q, k_eff);
  return SingleOutcome{std::move(**list), single_method_name(fallback)};
}

Result<SingleOutcome> run_strategy(SingleStrategy s, const SearchEngine& e,
                                   std::span<const float> q, std::size_t k_eff) {
  switch (s) {
    case SingleStrategy::PerRow:
      return single_per_row(e, q, k_eff);
    case SingleStrategy::Chunked:
      return single_chunked(e, q, k_eff);
    case SingleStrategy::Blocked:
      return single_blocked(e, q, k_eff);
    case SingleStrategy::MatrixFull:
      return single_matrix_full(e, q, k_eff);
    case SingleStrategy::Pruned:
      return single_pruned(e, q, k_eff);
  }
  return single_per_row(e, q, k_eff);
}

}  // namespace single

Result<QueryResult> SearchEngine::query_single(std::span<const float> query, std::size_t k) const {
  if (query.size() != dims) return fail(msg::query_dimension(query.size(), dims));
  for (const float v : query)
    if (!is_usable(v)) return fail(std::string(msg::kSingleNonFinite));
  if (k == 0 || rows == 0) {
    QueryResult trivial;
    trivial.method_used = std::string(kMethodPerRow);
    return trivial;
  }

  const SearchClock::time_point start = SearchClock::now();
  const std::size_t k_eff = static_cast<std::size_t>(std::min<std::uint64_t>(k, rows));
  const std::optional<std::string> mode = settings::read("LUMVO_SINGLE_MODE");
  const SingleStrategy strategy = choose_single_strategy(
      mode ? std::optional<std::string_view>(*mode) : std::nullopt, rows, dims, metric);
  // The scans that read every row may read the codes instead.
  const bool filtered =
      (strategy == SingleStrategy::Chunked || strategy == SingleStrategy::PerRow) &&
      prefilter::wanted(prefilter::mode(), rows, dims, k_eff);
  // Rows without dimensions all score 0, so the answer is the first k_eff
  // rows; a scan would cost memory for every row the header declares.
  auto outcome = dims == 0  ? Result<SingleOutcome>(SingleOutcome{zero_width_answer(k_eff),
                                                                 single_method_name(strategy)})
                 : filtered ? single::single_filtered(*this, query, k_eff, strategy)
                            : single::run_strategy(strategy, *this, query, k_eff);
  if (!outcome) return fail(std::move(outcome.error()));

  QueryResult out;
  out.results = std::move(outcome->results);
  out.method_used = std::string(outcome->method);
  out.query_time_ms = elapsed_ms(start, SearchClock::now());
  return out;
}

}  // namespace lumvero
