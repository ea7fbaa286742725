// The batch over the compressed rows: integer tiles, per-query bands, rescoring.
#include "engine/prefilter/batch_scan.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <utility>

#include "engine/kernels/int_kernels.h"
#include "engine/kernels/kernels.h"
#include "engine/prefilter/compressed_rows.h"
#include "engine/runtime/pool.h"
#include "engine/runtime/tuning.h"
#include "engine/search/exact_band.h"
#include "engine/search/score_error.h"

namespace lumvero::prefilter {

namespace {

constexpr std::size_t kStripe = CompressedRows::kStripeRows;
constexpr std::size_t kTileQ = kernels::kIntTileQueries;
constexpr std::size_t kTileR = kernels::kIntTileRows;
static_assert(kStripe % kTileR == 0);

struct Batch {
  const RowSet& set;
  const CodesViews& run_codes;
  std::size_t width;
  std::vector<QueryCodes> codes;
  std::vector<double> norm_sq;
  std::vector<score_error::CompressedGap> models;
  std::vector<bool> finite;
  kernels::IntQuery zero;  // pads the last tile of queries
  std::size_t nq;
  Want want;  // the k_eff best, or a radius
  bool may_give_up;
  std::atomic<bool> wide{false};
};

// Packs the block's n rows into `tiles` tiles, once for every query.
void pack_window(const Batch& b, const std::uint8_t* codes, std::size_t n, std::size_t tiles,
                 std::uint8_t* packed) {
  for (std::size_t t = 0; t < tiles; ++t)
    kernels::int_pack_rows(codes + t * kTileR * b.width, b.width, std::min(kTileR, n - t * kTileR),
                           packed + t * kTileR * b.width);
}

// Integer sums of queries [q0, q0 + qm) with the packed tiles, kStripe places
// per query in `sums`.
void tile_sums(const Batch& b, const std::uint8_t* packed, std::size_t tiles, std::size_t q0,
               std::size_t qm, std::int32_t* sums) {
  alignas(64) std::int32_t tile[kTileQ * kTileR];
  const kernels::IntQuery* qs[kTileQ];
  for (std::size_t i = 0; i < kTileQ; ++i) qs[i] = i < qm ? &b.codes[q0 + i].codes : &b.zero;
  for (std::size_t t = 0; t < tiles; ++t) {
    kernels::int_tile_dot(qs, packed + t * kTileR * b.width, b.width, tile);
    for (std::size_t i = 0; i < qm; ++i)
      std::memcpy(sums + i * kStripe + t * kTileR, tile + i * kTileR,
                  kTileR * sizeof(std::int32_t));
  }
}

// Whether the bands, together, hold more than the wide-band rule allows.
bool bands_wide(std::vector<ExactBand>& bands, std::uint64_t seen) {
  std::uint64_t held = 0;
  for (ExactBand& band : bands) held += band.held();
  return band_wide(held, seen * bands.size());
}

// Each query's band over the piece; empty when the batch gave up on a wide
// band.
std::vector<BandPart> tile_piece(Batch& b, const Piece& p) {
  const RowSet& set = b.set;
  const RowRun& run = set.runs[p.run];
  const CompressedRows& codes = *b.run_codes.of(p.run);
  // A radius band holds at least one row.
  const std::size_t k = static_cast<std::size_t>(
      std::min<std::uint64_t>(b.want.radius ? 1 : b.want.k, p.end - p.begin));
  std::vector<ExactBand> bands;
  bands.reserve(b.nq);
  for (std::size_t q = 0; q < b.nq; ++q)
    bands.emplace_back(b.want, p.end - p.begin, set.metric, b.finite[q]);

  const auto packed = std::make_unique_for_overwrite<std::uint8_t[]>(kStripe * b.width);
  const auto sums = std::make_unique_for_overwrite<std::int32_t[]>(kTileQ * kStripe);
  float approx[kStripe];
  std::uint64_t scratch[kStripe];
  CodeWindow window(kStripe, b.width);
  const std::uint64_t check_from = first_check(p.end - p.begin, k);
  std::uint64_t seen = 0;
  bool gave_up = false;
  // Windows of one stripe (pieces of rows start on one).
  for_selected(run, set.selection, p, kStripe, scratch, [&](const SelectedWindow& sb) {
    if (gave_up) return;
    window.load(run, codes, sb);
    const std::size_t n = sb.count;
    const std::size_t tiles = (n + kTileR - 1) / kTileR;
    pack_window(b, window.codes(), n, tiles, packed.get());
    for (std::size_t q0 = 0; q0 < b.nq; q0 += kTileQ) {
      const std::size_t qm = std::min(kTileQ, b.nq - q0);
      tile_sums(b, packed.get(), tiles, q0, qm, sums.get());
      // The epilogue: each query's scores go through its band's cut, which
      // keeps only the rows that can still reach its k best.
      for (std::size_t i = 0; i < qm; ++i) {
        const std::size_t q = q0 + i;
        if (!b.finite[q]) continue;
        window.approximate_all(set.metric, b.codes[q].scale, b.norm_sq[q], sums.get() + i * kStripe,
                               approx);
        window.feed(bands[q], approx, b.models[q]);
      }
    }
    seen += n;
    if (b.may_give_up && seen >= check_from && bands_wide(bands, seen))
      b.wide.store(true, std::memory_order_relaxed);
    gave_up = b.wide.load(std::memory_order_relaxed);
  });
  if (gave_up) return {};
  std::vector<BandPart> parts;
  parts.reserve(b.nq);
  for (ExactBand& band : bands) parts.push_back(band.take());
  return parts;
}

// Every run needs its codes: a batch is not split between the two paths.
bool every_run_coded(const RowSet& set, const CodesViews& run_codes) {
  for (std::size_t r = 0; r < set.runs.size(); ++r)
    if (set.runs[r].rows > 0 && run_codes.of(r) == nullptr) return false;
  return true;
}

// Each query's codes, squared norm, finiteness and gap model, and the zero
// codes that pad the last tile of queries.
void encode_queries(Batch& b, const float* queries) {
  const std::size_t dims = static_cast<std::size_t>(b.set.dims);
  const std::vector<std::int16_t> zeros(b.width, 0);
  b.zero = kernels::prepare_int_query(zeros.data(), b.width);
  b.codes.reserve(b.nq);
  b.models.reserve(b.nq);
  for (std::size_t q = 0; q < b.nq; ++q) {
    const float* v = queries + q * dims;
    const double qn = kernels::query_norm_sq(v, dims);
    const bool finite = std::isfinite(qn);
    b.norm_sq.push_back(qn);
    b.finite.push_back(finite);
    // A query that is not finite keeps an empty band; its codes are zeros.
    b.codes.push_back(finite ? encode_query(v, dims, b.width) : QueryCodes{b.zero, 1.0, 0.0});
    b.models.emplace_back(b.set.metric, b.set.dims, finite ? qn : 0.0, b.codes.back().error);
  }
}

// Every piece's bands over the `total` selectable rows, in pieces of whole
// stripes, about two per thread: each piece holds a band per query, and
// every band is one more part to resolve.
Result<std::vector<std::vector<BandPart>>> tile_pieces(Batch& b, std::uint64_t total,
                                                       std::size_t pieces) {
  const std::uint64_t want =
      pieces != 0 ? pieces : 2 * std::max<std::size_t>(pool::thread_count(), 1);
  const std::uint64_t chunk = std::max<std::uint64_t>(1, (total + want - 1) / want);
  const std::vector<Piece> cut = cut_pieces(b.set, chunk, 1, kStripe);
  return pool::map(cut.size(), [&](std::size_t i) { return tile_piece(b, cut[i]); });
}

// What a query wants and the rows rescored to find it.
using Resolved = std::pair<std::vector<ScoredRow>, std::size_t>;

// Each query's bands, one from every piece, resolved on the pool.
Result<std::vector<Resolved>> resolve_queries(const Batch& b, const float* queries,
                                              std::vector<std::vector<BandPart>>& outs) {
  const std::size_t dims = static_cast<std::size_t>(b.set.dims);
  return pool::map(b.nq, [&](std::size_t q) {
    std::vector<BandPart> parts;
    parts.reserve(outs.size());
    for (std::vector<BandPart>& piece : outs) parts.push_back(std::move(piece[q]));
    std::size_t one = 0;
    std::vector<ScoredRow> list =
        resolve_wanted(std::move(parts), b.want, queries + q * dims, b.set, &one);
    return std::make_pair(std::move(list), one);
  });
}

// The queries' lists, the batch's counts added to the process's counters
// and to `stats`.
std::vector<std::vector<ScoredRow>> gather_lists(std::vector<Resolved>& best,
                                                 std::uint64_t rows_scanned, SearchStats* stats) {
  SearchStats s;
  s.prefiltered = true;
  s.rows_scanned = rows_scanned;
  std::vector<std::vector<ScoredRow>> lists;
  lists.reserve(best.size());
  for (auto& [list, one] : best) {
    s.rows_rescored += one;
    lists.push_back(std::move(list));
  }
  PrefilterCounters& c = prefilter_counters();
  c.searches.fetch_add(best.size(), std::memory_order_relaxed);
  c.rows_scanned.fetch_add(s.rows_scanned, std::memory_order_relaxed);
  c.rows_rescored.fetch_add(s.rows_rescored, std::memory_order_relaxed);
  if (stats != nullptr) stats->add(s);
  return lists;
}

}  // namespace

bool batch_wanted(Mode m, std::uint64_t rows, std::uint64_t dims, std::size_t k_eff,
                  std::size_t nq) {
  if (m == Mode::Off || dims == 0 || rows == 0 || nq == 0) return false;
  if (CompressedRows::query_code_limit(CompressedRows::width_for(dims)) == 0) return false;
  if (m == Mode::Always) return true;
  return kernels::int_tile_vectorised() && nq >= tuning::kMatrixFromQueries &&
         rows >= tuning::kPrefilterMinRows && rows * dims >= tuning::kPrefilterMinFloats &&
         k_eff <= tuning::kPrefilterMaxK;
}

Result<std::optional<std::vector<std::vector<ScoredRow>>>> batch_scan(
    const RowSet& set, const float* queries, std::size_t nq, std::size_t k_eff, std::size_t pieces,
    SearchStats* stats) {
  return batch_scan(set, queries, nq, Want{.k = k_eff}, pieces, stats);
}

Result<std::optional<std::vector<std::vector<ScoredRow>>>> batch_scan(
    const RowSet& set, const float* queries, std::size_t nq, const Want& want, std::size_t pieces,
    SearchStats* stats) {
  using Out = std::optional<std::vector<std::vector<ScoredRow>>>;
  const std::size_t width = CompressedRows::width_for(set.dims);
  const bool nothing = want.radius ? want.radius->admits_none() : want.k == 0;
  if (CompressedRows::query_code_limit(width) == 0 || set.selectable() == 0 || nothing || nq == 0 ||
      wide_hinted(set))
    return Out{};
  const CodesViews run_codes = acquire_codes(set);
  if (!every_run_coded(set, run_codes)) return Out{};

  Batch b{.set = set,
          .run_codes = run_codes,
          .width = width,
          .codes = {},
          .norm_sq = {},
          .models = {},
          .finite = {},
          .zero = {},
          .nq = nq,
          .want = want,
          .may_give_up = mode() != Mode::Always};
  encode_queries(b, queries);
  const std::uint64_t total = set.selectable();
  auto outs = tile_pieces(b, total, pieces);
  if (!outs) return fail(std::move(outs.error()));
  if (b.wide.load()) {
    // A radius that admits many rows says nothing of the data.
    if (!want.radius) note_wide(set);
    return Out{};
  }
  auto best = resolve_queries(b, queries, *outs);
  if (!best) return fail(std::move(best.error()));
  return Out{gather_lists(*best, total * nq, stats)};
}

}  // namespace lumvero::prefilter
