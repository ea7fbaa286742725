// The single-query scan over the compressed rows: integer scores, band, rescoring.
#include "engine/filtered_scan.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "engine/compressed_rows.h"
#include "engine/exact_band.h"
#include "engine/kernels/int_kernels.h"
#include "engine/kernels/kernels.h"
#include "engine/pool.h"
#include "engine/score_error.h"
#include "engine/settings.h"
#include "engine/topk.h"
#include "engine/tuning.h"

namespace lumvero::filter {

namespace {

constexpr std::size_t kRun = CompressedRows::kRunRows;
constexpr std::size_t kBlock = tuning::kFilterBlockRows;
constexpr std::uint64_t kProbeRows = tuning::kFilterProbeRows;
constexpr std::uint64_t kWideBand = tuning::kFilterWideBand;

struct Query {
  const SearchEngine& e;
  const CompressedRows& copy;
  const float* q;
  QueryCodes codes;
  double norm_sq;
  score_error::CompressedGap model;
  std::size_t k_eff;
};

struct PieceOut {
  std::vector<BandPart> parts;
  std::uint64_t scanned = 0;
  std::uint64_t fallback = 0;
};

// The rows [begin, end) as exact kernel scores: the part of a piece whose
// band ran wide.
BandPart float_part(const Query& w, std::uint64_t begin, std::uint64_t end) {
  const SearchEngine& e = w.e;
  TopKHeap heap(std::min<std::uint64_t>(w.k_eff, end - begin), e.metric);
  float buf[kRun];
  for (std::uint64_t r = begin; r < end; r += kRun) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kRun, end - r));
    kernels::score_rows(e.metric, w.q, e.row(r), e.dims, n, buf);
    feed_heap(heap, buf, n, r);
  }
  BandPart part;
  part.sure = heap.into_sorted();
  for (const ScoredRow& s : part.sure)
    part.members.push_back({s.idx, static_cast<double>(s.score)});
  return part;
}

PieceOut scan_piece(const Query& w, std::uint64_t begin, std::uint64_t end) {
  PieceOut out;
  const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(w.k_eff, end - begin));
  ExactBand band(k, w.e.metric, std::isfinite(w.norm_sq));
  std::int32_t sums[kBlock];
  float approx[kBlock];
  bool probed = false;
  for (std::uint64_t r = begin; r < end;) {
    // One kernel call per block of runs (its four streams need length), then
    // the band run by run, each with its own bound.
    const std::uint64_t stop = std::min<std::uint64_t>(end, (r / kRun) * kRun + kBlock);
    const std::size_t n = static_cast<std::size_t>(stop - r);
    kernels::int_rows_dot(w.codes.codes, w.copy.codes(r), w.copy.width(), n, sums);
    approximate_scores(w.e, w.copy, w.codes.scale, w.norm_sq, sums, r, n, approx);
    for (std::uint64_t s = r; s < stop;) {
      const std::uint64_t run = s / kRun;
      const std::uint64_t run_end = std::min(stop, (run + 1) * kRun);
      const RunBounds& b = w.copy.run(run);
      band.feed(approx + (s - r), static_cast<std::size_t>(run_end - s), s,
                w.model.for_rows(b.norm_sq, b.resid, b.code_norm));
      s = run_end;
    }
    r = stop;
    out.scanned = r - begin;
    if (!probed && out.scanned >= kProbeRows) {
      probed = true;
      if (band.size() * kWideBand > out.scanned) {
        // Rescoring the band would cost more than reading the floats: the
        // piece is read as floats from its start, the probe's codes wasted.
        out.parts.push_back(float_part(w, begin, end));
        out.fallback = end - begin;
        return out;
      }
    }
  }
  out.parts.push_back(band.take());
  return out;
}

}  // namespace

void approximate_scores(const SearchEngine& e, const CompressedRows& copy, double t,
                        double query_norm_sq, const std::int32_t* sums, std::uint64_t first,
                        std::size_t n, float* out) {
  const float* scales = copy.scales() + first;
  if (!is_distance(e.metric)) {
    for (std::size_t j = 0; j < n; ++j)
      out[j] = static_cast<float>(static_cast<double>(scales[j]) * t * sums[j]);
    return;
  }
  const double* norms = e.norms_sq.data() + first;
  for (std::size_t j = 0; j < n; ++j) {
    const double a = static_cast<double>(scales[j]) * t * sums[j];
    out[j] = static_cast<float>((norms[j] + query_norm_sq) - 2.0 * a);
  }
}

Mode mode() {
  const std::optional<std::string> v = settings::read("LUMVO_FILTER");
  if (v && *v == "off") return Mode::Off;
  if (v && *v == "always") return Mode::Always;
  return Mode::Auto;
}

bool wanted(Mode m, std::uint64_t rows, std::uint64_t dims, std::size_t k_eff) {
  if (m == Mode::Off || dims == 0 || rows == 0) return false;
  if (CompressedRows::query_code_limit(CompressedRows::width_for(dims)) == 0) return false;
  return m == Mode::Always ||
         (rows >= tuning::kFilterMinRows && rows * dims >= tuning::kFilterMinFloats &&
          k_eff <= tuning::kFilterMaxK);
}

Result<std::optional<std::vector<ScoredRow>>> scan(const SearchEngine& e, std::span<const float> q,
                                                   std::size_t k_eff, std::size_t pieces) {
  using Out = std::optional<std::vector<ScoredRow>>;
  const std::int32_t limit = CompressedRows::query_code_limit(CompressedRows::width_for(e.dims));
  if (limit == 0 || e.rows == 0 || k_eff == 0) return Out{};
  const CompressedRows* copy = e.compressed.get(e.data(), e.rows, e.dims, e.norms_sq.data());
  if (copy == nullptr) return Out{};

  const double qn = kernels::query_norm_sq(q.data(), e.dims);
  QueryCodes codes = encode_query(q.data(), e.dims, copy->width());
  const score_error::CompressedGap model(e.metric, e.dims, qn, codes.error);
  const Query w{e, *copy, q.data(), std::move(codes), qn, model, k_eff};

  // Pieces of whole runs, about four per thread.
  auto outs = map_run_pieces(e.rows, pieces, 4, [&](std::uint64_t begin, std::uint64_t end) {
    return scan_piece(w, begin, end);
  });
  if (!outs) return fail(std::move(outs.error()));

  std::vector<BandPart> parts;
  std::uint64_t scanned = 0, fallback = 0;
  for (PieceOut& o : *outs) {
    scanned += o.scanned;
    fallback += o.fallback;
    for (BandPart& p : o.parts) parts.push_back(std::move(p));
  }
  std::size_t rescored = 0;
  std::vector<ScoredRow> best =
      resolve_bands(std::move(parts), k_eff, e.metric, q.data(), e.data(), e.dims, &rescored);
  FilterCounters& c = filter_counters();
  c.rows_scanned.fetch_add(scanned, std::memory_order_relaxed);
  c.rows_fallback.fetch_add(fallback, std::memory_order_relaxed);
  c.rows_rescored.fetch_add(rescored, std::memory_order_relaxed);
  return Out{std::move(best)};
}

}  // namespace lumvero::filter
