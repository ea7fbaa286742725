// The batch over the compressed rows: integer tiles, per-query bands, rescoring.
#include "engine/filtered_batch.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <utility>

#include "engine/compressed_rows.h"
#include "engine/exact_band.h"
#include "engine/filtered_scan.h"
#include "engine/kernels/int_kernels.h"
#include "engine/kernels/kernels.h"
#include "engine/pool.h"
#include "engine/score_error.h"
#include "engine/tuning.h"

namespace lumvero::filter {

namespace {

constexpr std::size_t kRun = CompressedRows::kRunRows;
constexpr std::size_t kTileQ = kernels::kIntTileQueries;
constexpr std::size_t kTileR = kernels::kIntTileRows;
static_assert(kRun % kTileR == 0);

struct Batch {
  const SearchEngine& e;
  const CompressedRows& copy;
  std::vector<QueryCodes> codes;
  std::vector<double> norm_sq;
  std::vector<score_error::CompressedGap> models;
  std::vector<bool> finite;
  kernels::IntQuery zero;  // pads the last tile of queries
  std::size_t nq;
  std::size_t k_eff;
  bool may_give_up;
  std::atomic<bool> wide{false};
};

// Packs the run's n rows from r0 into `tiles` tiles, once for every query of
// the batch.
void pack_run(const Batch& b, std::uint64_t r0, std::size_t n, std::size_t tiles,
              std::uint8_t* packed) {
  const std::size_t width = b.copy.width();
  for (std::size_t t = 0; t < tiles; ++t)
    kernels::int_pack_rows(b.copy.codes(r0 + t * kTileR), width, std::min(kTileR, n - t * kTileR),
                           packed + t * kTileR * width);
}

// Integer sums of queries [q0, q0 + qm) with the packed tiles, kRun places
// per query in `sums`.
void tile_sums(const Batch& b, const std::uint8_t* packed, std::size_t tiles, std::size_t q0,
               std::size_t qm, std::int32_t* sums) {
  const std::size_t width = b.copy.width();
  alignas(64) std::int32_t tile[kTileQ * kTileR];
  const kernels::IntQuery* qs[kTileQ];
  for (std::size_t i = 0; i < kTileQ; ++i) qs[i] = i < qm ? &b.codes[q0 + i].codes : &b.zero;
  for (std::size_t t = 0; t < tiles; ++t) {
    kernels::int_tile_dot(qs, packed + t * kTileR * width, width, tile);
    for (std::size_t i = 0; i < qm; ++i)
      std::memcpy(sums + i * kRun + t * kTileR, tile + i * kTileR, kTileR * sizeof(std::int32_t));
  }
}

// Whether the bands hold more than one row in kFilterWideBand of the rows
// seen per query.
bool bands_wide(const std::vector<ExactBand>& bands, std::uint64_t seen) {
  std::uint64_t held = 0;
  for (const ExactBand& band : bands) held += band.size();
  return held * tuning::kFilterWideBand > seen * bands.size();
}

// Each query's band over the rows [begin, end), whole runs; empty when the
// batch gave up on a wide band.
std::vector<BandPart> scan_piece(Batch& b, std::uint64_t begin, std::uint64_t end) {
  const SearchEngine& e = b.e;
  const std::size_t width = b.copy.width();
  const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(b.k_eff, end - begin));
  std::vector<ExactBand> bands;
  bands.reserve(b.nq);
  for (std::size_t q = 0; q < b.nq; ++q) bands.emplace_back(k, e.metric, b.finite[q]);

  const auto packed = std::make_unique_for_overwrite<std::uint8_t[]>(kRun * width);
  const auto sums = std::make_unique_for_overwrite<std::int32_t[]>(kTileQ * kRun);
  float approx[kRun];
  bool probed = !b.may_give_up;
  for (std::uint64_t r0 = begin; r0 < end; r0 += kRun) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kRun, end - r0));
    const std::size_t tiles = (n + kTileR - 1) / kTileR;
    pack_run(b, r0, n, tiles, packed.get());
    const RunBounds& rb = b.copy.run(r0 / kRun);
    for (std::size_t q0 = 0; q0 < b.nq; q0 += kTileQ) {
      const std::size_t qm = std::min(kTileQ, b.nq - q0);
      tile_sums(b, packed.get(), tiles, q0, qm, sums.get());
      // The epilogue: each query's scores go through its band's cut, which
      // keeps only the rows that can still reach its k best.
      for (std::size_t i = 0; i < qm; ++i) {
        const std::size_t q = q0 + i;
        if (!b.finite[q]) continue;
        approximate_scores(e, b.copy, b.codes[q].scale, b.norm_sq[q], sums.get() + i * kRun, r0, n,
                           approx);
        bands[q].feed(approx, n, r0, b.models[q].for_rows(rb.norm_sq, rb.resid, rb.code_norm));
      }
    }
    if (!probed && r0 + n - begin >= tuning::kFilterProbeRows) {
      probed = true;
      if (bands_wide(bands, r0 + n - begin)) b.wide.store(true, std::memory_order_relaxed);
    }
    if (b.wide.load(std::memory_order_relaxed)) return {};
  }
  std::vector<BandPart> parts;
  parts.reserve(b.nq);
  for (ExactBand& band : bands) parts.push_back(band.take());
  return parts;
}

}  // namespace

bool batch_wanted(Mode m, std::uint64_t rows, std::uint64_t dims, std::size_t k_eff,
                  std::size_t nq) {
  if (m == Mode::Off || dims == 0 || rows == 0 || nq == 0) return false;
  if (CompressedRows::query_code_limit(CompressedRows::width_for(dims)) == 0) return false;
  if (m == Mode::Always) return true;
  return kernels::int_tile_vectorised() && nq >= tuning::kFilterBatchMinQueries &&
         rows >= tuning::kFilterMinRows && rows * dims >= tuning::kFilterMinFloats &&
         k_eff <= tuning::kFilterMaxK;
}

Result<std::optional<std::vector<std::vector<ScoredRow>>>> batch_scan(
    const SearchEngine& e, std::span<const float> queries, std::size_t nq, std::size_t k_eff,
    std::size_t pieces) {
  using Out = std::optional<std::vector<std::vector<ScoredRow>>>;
  const std::int32_t limit = CompressedRows::query_code_limit(CompressedRows::width_for(e.dims));
  if (limit == 0 || e.rows == 0 || k_eff == 0 || nq == 0) return Out{};
  const CompressedRows* copy = e.compressed.get(e.data(), e.rows, e.dims, e.norms_sq.data());
  if (copy == nullptr) return Out{};

  const std::size_t dims = static_cast<std::size_t>(e.dims);
  Batch b{.e = e,
          .copy = *copy,
          .codes = {},
          .norm_sq = {},
          .models = {},
          .finite = {},
          .zero = {},
          .nq = nq,
          .k_eff = k_eff,
          .may_give_up = mode() != Mode::Always};
  const std::vector<std::int16_t> zeros(copy->width(), 0);
  b.zero = kernels::prepare_int_query(zeros.data(), copy->width());
  b.codes.reserve(nq);
  b.models.reserve(nq);
  for (std::size_t q = 0; q < nq; ++q) {
    const float* v = queries.data() + q * dims;
    const double qn = kernels::query_norm_sq(v, dims);
    const bool finite = std::isfinite(qn);
    b.norm_sq.push_back(qn);
    b.finite.push_back(finite);
    // A query that is not finite keeps an empty band; its codes are zeros.
    b.codes.push_back(finite ? encode_query(v, dims, copy->width()) : QueryCodes{b.zero, 1.0, 0.0});
    b.models.emplace_back(e.metric, e.dims, finite ? qn : 0.0, b.codes.back().error);
  }

  // Pieces of whole runs, about two per thread: each piece holds a band per
  // query, and every band is one more part to resolve.
  auto outs = map_run_pieces(e.rows, pieces, 2, [&](std::uint64_t begin, std::uint64_t end) {
    return scan_piece(b, begin, end);
  });
  if (!outs) return fail(std::move(outs.error()));
  if (b.wide.load()) return Out{};

  std::vector<std::vector<ScoredRow>> best(nq);
  std::size_t rescored = 0;
  for (std::size_t q = 0; q < nq; ++q) {
    std::vector<BandPart> parts;
    parts.reserve(outs->size());
    for (std::vector<BandPart>& piece : *outs) parts.push_back(std::move(piece[q]));
    std::size_t one = 0;
    best[q] = resolve_bands(std::move(parts), k_eff, e.metric, queries.data() + q * dims, e.data(),
                            dims, &one);
    rescored += one;
  }
  FilterCounters& c = filter_counters();
  c.rows_scanned.fetch_add(e.rows * nq, std::memory_order_relaxed);
  c.rows_rescored.fetch_add(rescored, std::memory_order_relaxed);
  return Out{std::move(best)};
}

}  // namespace lumvero::filter
