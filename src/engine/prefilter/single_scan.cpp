// The single-query pre-filter over the compressed rows: integer scores, band,
// rescoring.
#include "engine/prefilter/single_scan.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <utility>

#include "engine/kernels/int_kernels.h"
#include "engine/kernels/kernels.h"
#include "engine/runtime/pool.h"
#include "engine/runtime/settings.h"
#include "engine/runtime/tuning.h"
#include "engine/search/search_core.h"
#include "engine/search/topk.h"

namespace lumvero::prefilter {

namespace {

constexpr std::size_t kStripe = CompressedRows::kStripeRows;
constexpr std::size_t kWindow = tuning::kPrefilterWindowRows;

struct Query {
  const RowSet& set;
  const CodesViews& run_codes;
  const float* q;
  QueryCodes codes;
  double norm_sq;
  score_error::CompressedGap model;
  Want want;                // the k_eff best, or a radius
  std::atomic<bool>& wide;  // some piece found the band wide
};

// Rows ahead whose codes, scale and norm a gathered window asks for.
constexpr std::size_t kGatherAhead = 8;

void prefetch_row(const RowRun& run, const CompressedRows& rc, std::uint64_t r, std::size_t width) {
  const auto* codes = reinterpret_cast<const char*>(rc.codes(r));
  for (std::size_t o = 0; o < width; o += 64) __builtin_prefetch(codes + o);
  __builtin_prefetch(rc.scales() + r);
  __builtin_prefetch(run.norms_sq + r);
}

// The bounds of a gathered window's stripes at their largest, or nothing when
// one is not finite.
std::optional<StripeBounds> largest_bounds(const CompressedRows& rc, const SelectedWindow& w) {
  StripeBounds most;
  std::uint64_t last = ~std::uint64_t{0};
  for (std::size_t j = 0; j < w.count; ++j) {
    const std::uint64_t stripe = w.local[j] / kStripe;
    if (stripe == last) continue;
    last = stripe;
    const StripeBounds& b = rc.stripe(stripe);
    if (!std::isfinite(b.resid) || !std::isfinite(b.code_norm) || !std::isfinite(b.norm_sq))
      return std::nullopt;
    most.resid = std::max(most.resid, b.resid);
    most.code_norm = std::max(most.code_norm, b.code_norm);
    most.norm_sq = std::max(most.norm_sq, b.norm_sq);
  }
  return most;
}

struct PieceOut {
  BandPart part;
  SearchStats stats;
};

// The kernel's scores of a window of rows into the collector.
void float_window(const RowSet& set, const RowRun& run, const SelectedWindow& b, const float* q,
                  Collector& found, float* buf) {
  const std::size_t dims = static_cast<std::size_t>(set.dims);
  if (b.local == nullptr) {
    check_rows(run, b.start, b.count, dims);
    kernels::score_rows(set.metric, q, run.data + b.start * dims, dims, b.count, buf);
    found.feed(buf, b.count, run.first + b.start);
    return;
  }
  for (std::size_t j = 0; j < b.count; ++j) {
    check_rows(run, b.local[j], 1, dims);
    found.offer(run.first + b.local[j],
                kernels::compute_score(set.metric, q, run.data + b.local[j] * dims, dims));
  }
}

PieceOut prefilter_piece(const Query& w, const Piece& p) {
  PieceOut out;
  const RowSet& set = w.set;
  const RowRun& run = set.runs[p.run];
  const CompressedRows* rc = w.run_codes.of(p.run);
  // A radius band holds at least one row.
  const std::size_t k = static_cast<std::size_t>(
      std::min<std::uint64_t>(w.want.radius ? 1 : w.want.k, p.end - p.begin));
  std::uint64_t scratch[kWindow];
  float buf[kWindow];
  if (rc == nullptr) {  // this run has no codes: its floats
    Collector found(w.want, set.metric, p.end - p.begin);
    for_selected(run, set.selection, p, kWindow, scratch,
                 [&](const SelectedWindow& b) { float_window(set, run, b, w.q, found, buf); });
    out.part = collected_part(found.take(), w.want);
    return out;
  }
  ExactBand band(w.want, p.end - p.begin, set.metric, std::isfinite(w.norm_sq));
  // The rows read as floats once the band ran wide.
  Collector floats(w.want, set.metric, p.end - p.begin);
  bool wide = w.wide.load(std::memory_order_relaxed);
  std::int32_t sums[kWindow];
  CodeWindow win(kWindow, rc->width());
  const std::uint64_t check_from = first_check(p.end - p.begin, k);
  std::uint64_t scanned = 0;
  // The first window is the probe; then whole windows.
  std::uint64_t window = std::min<std::uint64_t>(check_from, kWindow);
  for (std::uint64_t at = p.begin; at < p.end;) {
    const Piece sub{p.run, p.by_position, at, std::min<std::uint64_t>(p.end, at + window)};
    at = sub.end;
    window = kWindow;
    for_selected(run, set.selection, sub, kWindow, scratch, [&](const SelectedWindow& b) {
      if (wide) {
        float_window(set, run, b, w.q, floats, buf);
        out.stats.rows_fallback += b.count;
        return;
      }
      win.load(run, *rc, b);
      kernels::int_rows_dot(w.codes.codes, win.codes(), rc->width(), b.count, sums);
      win.approximate_all(set.metric, w.codes.scale, w.norm_sq, sums, buf);
      win.feed(band, buf, w.model);
      scanned += b.count;
    });
    if (wide) continue;
    if (w.wide.load(std::memory_order_relaxed) ||
        (scanned >= check_from && band_wide(band.held(), scanned))) {
      // Rescoring the band would cost more than reading the floats: what the
      // band holds is rescored here, on this piece's thread, and the rest is
      // read as floats, here and in every piece that has not yet seen it.
      wide = true;
      w.wide.store(true, std::memory_order_relaxed);
      BandPart held = band.take();
      for (const BandMember& m : held.members)
        floats.offer(m.idx,
                     kernels::compute_score(set.metric, w.q, set.checked_row(m.idx), set.dims));
      out.stats.rows_rescored += held.members.size();
    }
  }
  out.stats.rows_scanned = scanned;
  out.part = wide ? collected_part(floats.take(), w.want) : band.take();
  return out;
}

// Scans the `total` selectable rows in pieces of whole stripes, about four
// per thread unless `pieces` says how many. A search too small for the pool
// runs on this thread, a piece per run unless a count was asked for.
Result<std::vector<PieceOut>> run_pieces(const Query& w, std::uint64_t total, std::size_t pieces) {
  const RowSet& set = w.set;
  const std::uint64_t want =
      pieces != 0 ? pieces : 4 * std::max<std::size_t>(pool::thread_count(), 1);
  const std::uint64_t chunk = std::max<std::uint64_t>(1, (total + want - 1) / want);
  const bool run_inline = core::runs_inline(set, 1);
  const std::vector<Piece> cut =
      run_inline && pieces == 0 ? whole_runs(set) : cut_pieces(set, chunk, 1, kStripe);
  if (!run_inline)
    return pool::map(cut.size(), [&](std::size_t i) { return prefilter_piece(w, cut[i]); });
  std::vector<PieceOut> outs;
  for (const Piece& p : cut) outs.push_back(prefilter_piece(w, p));
  return outs;
}

// The pieces' counts added up into the process's counters and `stats` (with
// `rescored`, the rows the resolving rescored).
void count_pieces(SearchStats s, std::size_t rescored, SearchStats* stats) {
  s.rows_rescored += rescored;
  PrefilterCounters& c = prefilter_counters();
  c.searches.fetch_add(1, std::memory_order_relaxed);
  c.rows_scanned.fetch_add(s.rows_scanned, std::memory_order_relaxed);
  c.rows_fallback.fetch_add(s.rows_fallback, std::memory_order_relaxed);
  c.rows_rescored.fetch_add(s.rows_rescored, std::memory_order_relaxed);
  if (stats != nullptr) stats->add(s);
}

// The pieces' bands resolved by resolve(parts, &rescored) into what the
// search wants, their counts counted (count_pieces).
template <class Resolve>
auto merge_pieces(std::vector<PieceOut> outs, const RowSet& set, const Want& want, bool wide,
                  SearchStats* stats, Resolve&& resolve) {
  std::vector<BandPart> parts;
  SearchStats s;
  s.prefiltered = true;
  for (PieceOut& o : outs) {
    s.add(o.stats);
    parts.push_back(std::move(o.part));
  }
  // Later searches skip the codes only when most of this one read floats: a
  // piece that turned wide late (a cluster near the query) is no reason to.
  // A radius that admits many rows says nothing of the data.
  if (wide && 2 * s.rows_fallback >= set.selectable() && !want.radius) note_wide(set);
  std::size_t rescored = 0;
  auto found = resolve(std::move(parts), &rescored);
  count_pieces(s, rescored, stats);
  return found;
}

// The pieces' outputs of one query, or nothing when the codes cannot serve.
Result<std::optional<std::vector<PieceOut>>> scan_pieces(const RowSet& set, const float* q,
                                                         const Want& want, std::size_t pieces,
                                                         std::atomic<bool>& wide) {
  using Out = std::optional<std::vector<PieceOut>>;
  const std::int32_t limit = CompressedRows::query_code_limit(CompressedRows::width_for(set.dims));
  const bool nothing = want.radius ? want.radius->admits_none() : want.k == 0;
  if (limit == 0 || set.selectable() == 0 || nothing || wide_hinted(set)) return Out{};
  const CodesViews run_codes = acquire_codes(set);
  if (!run_codes.any) return Out{};

  const std::size_t width = CompressedRows::width_for(set.dims);
  const double qn = kernels::query_norm_sq(q, set.dims);
  QueryCodes codes = encode_query(q, set.dims, width);
  const score_error::CompressedGap model(set.metric, set.dims, qn, codes.error);
  const Query w{set, run_codes, q, std::move(codes), qn, model, want, wide};
  auto outs = run_pieces(w, set.selectable(), pieces);
  if (!outs) return fail(std::move(outs.error()));
  return Out{std::move(*outs)};
}

}  // namespace

CodeWindow::CodeWindow(std::size_t max_rows, std::size_t width)
    : width_(width), positions_(max_rows) {
  (void)max_rows;
}

void CodeWindow::load(const RowRun& run, const CompressedRows& rc, const SelectedWindow& b) {
  run_ = &run;
  source_ = &rc;
  window_ = b;
  if (b.local == nullptr) {
    codes_ = rc.codes(b.start);
    return;
  }
  if (!gathered_)
    gathered_ = std::make_unique_for_overwrite<std::uint8_t[]>(positions_.size() * width_);
  for (std::size_t j = 0; j < b.count; ++j) {
    // The rows are scattered: what this window reads of a row some rows
    // ahead is asked for now, so that the misses overlap.
    if (j + kGatherAhead < b.count) prefetch_row(run, rc, b.local[j + kGatherAhead], width_);
    std::memcpy(gathered_.get() + j * width_, rc.codes(b.local[j]), width_);
    positions_[j] = run.first + b.local[j];
  }
  codes_ = gathered_.get();
}

void CodeWindow::approximate_all(Metric metric, double t, double query_norm_sq,
                                 const std::int32_t* sums, float* out) const {
  const float* scales = source_->scales();
  const double* norms = run_->norms_sq;
  if (window_.local == nullptr) {
    const float* s = scales + window_.start;
    const double* n = norms + window_.start;
    if (!is_distance(metric)) {
      for (std::size_t j = 0; j < window_.count; ++j)
        out[j] = static_cast<float>(static_cast<double>(s[j]) * t * sums[j]);
      return;
    }
    for (std::size_t j = 0; j < window_.count; ++j)
      out[j] = approximate(metric, s[j], n[j], t, query_norm_sq, sums[j]);
    return;
  }
  for (std::size_t j = 0; j < window_.count; ++j) {
    const std::uint64_t r = window_.local[j];
    out[j] = approximate(metric, scales[r], norms[r], t, query_norm_sq, sums[j]);
  }
}

void CodeWindow::feed(ExactBand& band, const float* approx,
                      const score_error::CompressedGap& model) const {
  const std::size_t n = window_.count;
  if (window_.local != nullptr) {
    // Scattered rows, a few per stripe: the whole window under one gap, that
    // of its stripes' largest bounds (each bound only widens the gap, so it
    // covers every row of the window), rather than a gap and a cut per stripe.
    const std::optional<StripeBounds> most = largest_bounds(*source_, window_);
    const score_error::Gap gap =
        most ? model.for_rows(most->norm_sq, most->resid, most->code_norm) : score_error::Gap{};
    if (most && gap.bounded) {
      band.feed_at(approx, positions_.data(), n, gap);
      return;
    }
  }
  for (std::size_t j = 0; j < n;) {
    // The rows of one stripe.
    const std::uint64_t stripe = window_.row(j) / kStripe;
    std::size_t e = j + 1;
    if (window_.local == nullptr) {
      e = std::min<std::size_t>(n,
                                static_cast<std::size_t>((stripe + 1) * kStripe - window_.start));
    } else {
      while (e < n && window_.local[e] / kStripe == stripe) ++e;
    }
    const StripeBounds& b = source_->stripe(stripe);
    const score_error::Gap gap = model.for_rows(b.norm_sq, b.resid, b.code_norm);
    if (window_.local == nullptr)
      band.feed(approx + j, e - j, run_->first + window_.start + j, gap);
    else
      band.feed_at(approx + j, positions_.data() + j, e - j, gap);
    j = e;
  }
}

bool band_wide(std::uint64_t held, std::uint64_t scanned) {
  return held * tuning::kPrefilterWideBand > scanned;
}

std::uint64_t first_check(std::uint64_t piece_rows, std::size_t k) {
  const std::uint64_t share = piece_rows / tuning::kPrefilterProbeShare;
  const std::uint64_t probe =
      std::clamp<std::uint64_t>(share, tuning::kPrefilterProbeMinRows, tuning::kPrefilterProbeRows);
  // A band holds at least k rows: the check waits until k of them would be
  // within the rule.
  const std::uint64_t least = 2 * static_cast<std::uint64_t>(k) * tuning::kPrefilterWideBand;
  return (std::max(probe, least) + kStripe - 1) / kStripe * kStripe;
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
         (rows >= tuning::kPrefilterMinRows && rows * dims >= tuning::kPrefilterMinFloats &&
          k_eff <= tuning::kPrefilterMaxK);
}

bool wanted(Mode m, const RowSet& set, std::size_t k_eff) {
  const std::uint64_t rows = set.selectable();
  if (wanted(m, rows, set.dims, k_eff)) return true;
  if (m != Mode::Auto || !set.selection.by_position || rows < tuning::kPrefilterListMinRows ||
      k_eff > tuning::kPrefilterMaxK || !wanted(Mode::Always, rows, set.dims, k_eff))
    return false;
  for (const RowRun& run : set.runs) {
    const auto [b, e] = positions_in(set.selection, run);
    if (e > b && (run.codes == nullptr || !run.codes->ready(run.rows))) return false;
  }
  return true;
}

CodesViews acquire_codes(const RowSet& set) {
  CodesViews c;
  c.views.reserve(set.runs.size());
  for (const RowRun& run : set.runs) {
    if (run.codes == nullptr || run.rows == 0) {
      c.views.emplace_back();
      continue;
    }
    c.views.push_back(run.codes->acquire(run.data, run.rows, std::max(run.capacity, run.rows),
                                         set.dims, run.norms_sq));
    c.any = c.any || c.views.back().rows != nullptr;
  }
  return c;
}

bool wide_hinted(const RowSet& set) {
  bool any = false;
  for (const RowRun& run : set.runs) {
    if (run.codes == nullptr || run.rows == 0) continue;
    if (!run.codes->skip_wide()) return false;
    any = true;
  }
  return any && mode() == Mode::Auto;
}

void note_wide(const RowSet& set) {
  for (const RowRun& run : set.runs)
    if (run.codes != nullptr) run.codes->note_wide();
}

Result<std::optional<std::vector<ScoredRow>>> scan(const RowSet& set, const float* q,
                                                   std::size_t k_eff, std::size_t pieces,
                                                   SearchStats* stats) {
  return scan(set, q, Want{.k = k_eff}, pieces, stats);
}

Result<std::optional<std::vector<ScoredRow>>> scan(const RowSet& set, const float* q,
                                                   const Want& want, std::size_t pieces,
                                                   SearchStats* stats) {
  using Out = std::optional<std::vector<ScoredRow>>;
  std::atomic<bool> wide{false};
  auto outs = scan_pieces(set, q, want, pieces, wide);
  if (!outs) return fail(std::move(outs.error()));
  if (!*outs) return Out{};
  return Out{merge_pieces(std::move(**outs), set, want, wide.load(), stats,
                          [&](std::vector<BandPart>&& parts, std::size_t* rescored) {
                            return resolve_wanted(std::move(parts), want, q, set, rescored);
                          })};
}

Result<std::optional<std::vector<std::vector<ScoredRow>>>> scan_found(const RowSet& set,
                                                                      const float* q,
                                                                      const Radius& radius,
                                                                      std::size_t pieces,
                                                                      SearchStats* stats) {
  using Out = std::optional<std::vector<std::vector<ScoredRow>>>;
  const Want want{.k = 0, .radius = radius};
  std::atomic<bool> wide{false};
  auto outs = scan_pieces(set, q, want, pieces, wide);
  if (!outs) return fail(std::move(outs.error()));
  if (!*outs) return Out{};
  return Out{merge_pieces(std::move(**outs), set, want, wide.load(), stats,
                          [&](std::vector<BandPart>&& parts, std::size_t* rescored) {
                            return radius_parts(std::move(parts), radius, q, set, rescored);
                          })};
}

}  // namespace lumvero::prefilter
