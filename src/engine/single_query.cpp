// SearchEngine::query_single and its five strategies.
#include "engine/single_query.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>

#include "engine/exact_band.h"
#include "engine/filtered_scan.h"
#include "engine/kernels/kernels.h"
#include "engine/matrix.h"
#include "engine/messages.h"
#include "engine/pool.h"
#include "engine/pool_setup.h"
#include "engine/score_error.h"
#include "engine/settings.h"
#include "engine/tuning.h"

namespace lumvero {

namespace {

constexpr std::string_view kMethodPerRow = "exact";
constexpr std::string_view kMethodChunked = "exact-chunked";
constexpr std::string_view kMethodBlocked = "exact-blocked-matrix";
constexpr std::string_view kMethodMatrixFull = "exact-matrix-full";
constexpr std::string_view kMethodPruned = "exact-pruned-fast";

using tuning::kInlineFloats;
using tuning::kScanRows;

// The pruned scan's bound is never widened by less than this, whatever the
// rounding analysis allows on small magnitudes.
constexpr double kPrunedMinMargin = 0.0001;

// A heap never holds more entries than it is offered, so a chunk shorter than
// k needs (and reserves) only its own length.
std::size_t heap_k(std::size_t k_eff, std::size_t len) { return std::min(k_eff, len); }

// How many pieces a per-row pass is split into: about four per thread.
std::size_t per_row_piece(std::uint64_t rows, std::uint64_t dims) {
  if (rows * std::max<std::uint64_t>(dims, 1) <= kInlineFloats)
    return static_cast<std::size_t>(rows);
  const std::size_t pieces = 4 * std::max<std::size_t>(pool::thread_count(), 1);
  return static_cast<std::size_t>(std::max<std::uint64_t>(1, (rows + pieces - 1) / pieces));
}

// Usable rows of [begin, end) as candidates, in row order.
std::vector<ScoredRow> usable_rows(const SearchEngine& e, const float* q, std::uint64_t begin,
                                   std::uint64_t end) {
  std::vector<ScoredRow> out;
  out.reserve(static_cast<std::size_t>(end - begin));
  float buf[kScanRows];
  for (std::uint64_t r = begin; r < end; r += kScanRows) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kScanRows, end - r));
    kernels::score_rows(e.metric, q, e.row(r), e.dims, n, buf);
    for (std::size_t j = 0; j < n; ++j)
      if (is_usable(buf[j])) out.push_back({r + j, buf[j]});
  }
  return out;
}

// One chunk of the chunked strategy: its own heap, rows offered in order.
std::vector<ScoredRow> scan_chunk(const SearchEngine& e, const float* q, std::size_t k_eff,
                                  std::uint64_t begin, std::uint64_t end) {
  return kernel_top_k(e, q, k_eff, begin, end);
}

// The k best of rows [first, first + n) under compute_score, from their
// sgemm scores: the band of rows the sgemm scores cannot rule out, rescored.
std::vector<ScoredRow> rescored_top_k(const SearchEngine& e, const float* q, std::size_t k_eff,
                                      const float* approx, std::uint64_t first, std::size_t n) {
  const double qn = kernels::query_norm_sq(q, e.dims);
  const score_error::MatrixGap model(e.metric, e.dims, qn);
  ExactBand band(heap_k(k_eff, n), e.metric, std::isfinite(qn));
  feed_band(band, model, approx, n, first, e.norms_sq.data() + first);
  return band.finish(q, e.data(), e.dims);
}

// One block of the blocked strategy: one sgemm call, then the band.
std::vector<ScoredRow> scan_block(const SearchEngine& e, const float* q, std::size_t k_eff,
                                  std::uint64_t begin, std::uint64_t end) {
  // Without BLAS's buffer on this thread the kernels give the same answer.
  if (!blas_ready()) return scan_chunk(e, q, k_eff, begin, end);
  const std::size_t n = static_cast<std::size_t>(end - begin);
  const std::vector<float> scores =
      matrix_scores(e.metric, q, e.dims, e.row(begin), n, e.norms_sq.data() + begin);
  return rescored_top_k(e, q, k_eff, scores.data(), begin, n);
}

bool is_tiny(const SearchEngine& e) {
  return e.rows * std::max<std::uint64_t>(e.dims, 1) <= kInlineFloats;
}

// Runs scan(begin, end) over the pieces of the chunks of chunk_len rows on
// the pool and merges the piece lists in row order.
template <class Scan>
Result<std::vector<ScoredRow>> chunks_then_merge(const SearchEngine& e, std::size_t k_eff,
                                                 std::size_t chunk_len, Scan&& scan) {
  const std::vector<RowRange> pieces = balanced_pieces(e.rows, chunk_len, pool::thread_count());
  auto lists = pool::map(pieces.size(),
                         [&](std::size_t i) { return scan(pieces[i].first, pieces[i].second); });
  if (!lists) return fail(std::move(lists.error()));
  return merge_chunk_lists(std::move(*lists), k_eff, e.metric);
}

// With no dimensions every score is the empty sum +0.0: the k best are the
// first k rows, and no row needs reading.
std::vector<ScoredRow> zero_width_answer(std::size_t k_eff) {
  std::vector<ScoredRow> out(k_eff);
  for (std::size_t i = 0; i < k_eff; ++i) out[i] = ScoredRow{i, 0.0f};
  return out;
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
  const float* qp = q.data();
  const std::size_t piece = per_row_piece(e.rows, e.dims);
  if (piece >= e.rows) {
    std::vector<ScoredRow> candidates = usable_rows(e, qp, 0, e.rows);
    select_top_k(candidates, k_eff, e.metric);
    return SingleOutcome{std::move(candidates), kMethodPerRow};
  }
  auto pieces = pool::map_chunks(
      static_cast<std::size_t>(e.rows), piece,
      [&](std::size_t b, std::size_t en, std::size_t) { return usable_rows(e, qp, b, en); });
  if (!pieces) return fail(std::move(pieces.error()));
  return SingleOutcome{merge_chunk_lists(std::move(*pieces), k_eff, e.metric), kMethodPerRow};
}

Result<std::vector<ScoredRow>> chunked_scan(const SearchEngine& e, std::span<const float> q,
                                            std::size_t k_eff, std::size_t chunk_len) {
  const float* qp = q.data();
  return chunks_then_merge(e, k_eff, chunk_len, [&](std::uint64_t b, std::uint64_t en) {
    return scan_chunk(e, qp, k_eff, b, en);
  });
}

Result<std::vector<ScoredRow>> blocked_scan(const SearchEngine& e, std::span<const float> q,
                                            std::size_t k_eff, std::size_t chunk_len) {
  const float* qp = q.data();
  return chunks_then_merge(e, k_eff, chunk_len, [&](std::uint64_t b, std::uint64_t en) {
    return scan_block(e, qp, k_eff, b, en);
  });
}

Result<SingleOutcome> single_chunked(const SearchEngine& e, std::span<const float> q,
                                     std::size_t k_eff) {
  // The chunking never shows in the result, so a tiny index is scanned as
  // one chunk right here, sparing the hand-over to the pool.
  if (is_tiny(e)) return SingleOutcome{scan_chunk(e, q.data(), k_eff, 0, e.rows), kMethodChunked};
  auto list = chunked_scan(e, q, k_eff, chunk_rows(e.rows, e.dims, e.metric, pool::thread_count()));
  if (!list) return fail(std::move(list.error()));
  return SingleOutcome{std::move(*list), kMethodChunked};
}

Result<SingleOutcome> single_blocked(const SearchEngine& e, std::span<const float> q,
                                     std::size_t k_eff) {
  if (is_tiny(e)) return SingleOutcome{scan_block(e, q.data(), k_eff, 0, e.rows), kMethodBlocked};
  auto list = blocked_scan(e, q, k_eff, chunk_rows(e.rows, e.dims, e.metric, pool::thread_count()));
  if (!list) return fail(std::move(list.error()));
  return SingleOutcome{std::move(*list), kMethodBlocked};
}

Result<SingleOutcome> single_matrix_full(const SearchEngine& e, std::span<const float> q,
                                         std::size_t k_eff) {
  if (!blas_ready()) {
    auto list =
        chunked_scan(e, q, k_eff, chunk_rows(e.rows, e.dims, e.metric, pool::thread_count()));
    if (!list) return fail(std::move(list.error()));
    return SingleOutcome{std::move(*list), kMethodMatrixFull};
  }
  const std::size_t n = static_cast<std::size_t>(e.rows);
  const std::vector<float> scores =
      matrix_scores(e.metric, q.data(), e.dims, e.data(), n, e.norms_sq.data());
  return SingleOutcome{rescored_top_k(e, q.data(), k_eff, scores.data(), 0, n), kMethodMatrixFull};
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
  auto list = filter::scan(e, q, k_eff);
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
  // The scans that read every row may read the compressed copy instead.
  const bool filtered =
      (strategy == SingleStrategy::Chunked || strategy == SingleStrategy::PerRow) &&
      filter::wanted(filter::mode(), rows, dims, k_eff);
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
