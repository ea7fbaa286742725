// The compressed pre-filter, one query: the selected rows' int8 codes
// (compressed_rows.h) give approximate scores with a rigorous bound, the
// band (exact_band.h) keeps the rows the bound cannot rule out, and those are
// rescored with compute_score, so the answer is the per-row kernel's rows and
// score bits.
//
// The scan reads a quarter of the bytes of the float rows. A mask skips the
// rows it removes inside the integer scan; a list of positions reads only
// those rows' codes (and their floats only when they reach the band). Where
// the band turns out wide (data whose quantisation error swamps the gaps
// between scores), the piece that notices it rescores what its band holds
// and reads the rest of its rows as floats, and every other piece of the
// search does the same from then on (tuning.h, the wide-band check).
//
// LUMVO_FILTER is read on every query: "off" never uses the codes, "always"
// uses them whatever the size (for checks on small indexes); any other value,
// or none, uses them where they pay. It governs both surfaces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "engine/prefilter/compressed_rows.h"
#include "engine/search/exact_band.h"
#include "engine/search/radius.h"
#include "engine/search/result_order.h"
#include "engine/search/row_set.h"
#include "engine/search/score_error.h"
#include "engine/status.h"

namespace lumvero::prefilter {

enum class Mode : std::uint8_t { Auto, Off, Always };

// LUMVO_FILTER, read now.
Mode mode();

// Whether a single query for the k_eff best of `rows` selectable rows of this
// width should go through the codes.
bool wanted(Mode mode, std::uint64_t rows, std::uint64_t dims, std::size_t k_eff);
// The same for the rows of `set`: also a list of at least
// kPrefilterListMinRows positions, however short, whose runs' codes are all
// built already (the listed rows are scattered, and their codes cost less to
// read than their floats).
bool wanted(Mode mode, const RowSet& set, std::size_t k_eff);

// The runs' codes for one search, each held (and kept from changing) until
// the search ends; null for a run without one (none given, or refused).
struct CodesViews {
  std::vector<RunCodes::View> views;
  bool any = false;
  const CompressedRows* of(std::size_t run) const { return views[run].rows; }
};
CodesViews acquire_codes(const RowSet& set);

// The wide-band hint (RunCodes::note_wide): whether, in auto mode, the
// runs' codes recorded a wide band lately, so the search reads the floats
// without probing (one skip used on each); and the recording itself.
bool wide_hinted(const RowSet& set);
void note_wide(const RowSet& set);

// The k_eff best selected rows under compute_score, best first; nothing when
// no run has codes (memory refused, rows too wide for the integer sums) and
// the caller must scan the floats. pieces: how many tasks the rows are cut
// into (0: about four per thread); the result does not depend on it.
Result<std::optional<std::vector<ScoredRow>>> scan(const RowSet& set, const float* q,
                                                   std::size_t k_eff, std::size_t pieces = 0,
                                                   SearchStats* stats = nullptr);
// The same for what `want` says: the k best, or every row within a radius
// (its band's L is the radius's bound; a row whose optimistic end cannot
// reach it is skipped, the rest rescored). A radius must admit some score.
Result<std::optional<std::vector<ScoredRow>>> scan(const RowSet& set, const float* q,
                                                   const Want& want, std::size_t pieces = 0,
                                                   SearchStats* stats = nullptr);

// The radius scan's rows before they are sorted: the parts its pieces found,
// rows with equal scores in increasing position within and across the parts
// (search/found_order.h writes them out in order; sort_found sorts them).
Result<std::optional<std::vector<std::vector<ScoredRow>>>> scan_found(const RowSet& set,
                                                                      const float* q,
                                                                      const Radius& radius,
                                                                      std::size_t pieces = 0,
                                                                      SearchStats* stats = nullptr);

// The approximate score of a row of scale s and f64 squared norm norm_sq
// from its integer sum with a query of scale t and squared norm
// query_norm_sq: the value score_error::CompressedGap bounds.
inline float approximate(Metric metric, float s, double norm_sq, double t, double query_norm_sq,
                         std::int32_t sum) {
  const double a = static_cast<double>(s) * t * sum;
  if (!is_distance(metric)) return static_cast<float>(a);
  return static_cast<float>((norm_sq + query_norm_sq) - 2.0 * a);
}

// The codes, scales, squared norms and positions of one window of selected
// rows of a run: read in place when the rows are consecutive, else gathered.
class CodeWindow {
 public:
  CodeWindow(std::size_t max_rows, std::size_t width);
  void load(const RowRun& run, const CompressedRows& rc, const SelectedWindow& b);

  const std::uint8_t* codes() const { return codes_; }
  std::size_t count() const { return window_.count; }
  std::uint64_t local(std::size_t j) const { return window_.row(j); }
  // Approximate scores of the window's rows for one query.
  void approximate_all(Metric metric, double t, double query_norm_sq, const std::int32_t* sums,
                       float* out) const;
  // Feeds approx (one per row of the window) to the band, each stripe's rows
  // with the gap of its own bounds.
  void feed(ExactBand& band, const float* approx, const score_error::CompressedGap& model) const;

 private:
  const RowRun* run_ = nullptr;
  const CompressedRows* source_ = nullptr;
  SelectedWindow window_;
  std::size_t width_;
  const std::uint8_t* codes_ = nullptr;
  std::unique_ptr<std::uint8_t[]> gathered_;
  std::vector<std::uint64_t> positions_;
};

// The wide-band rule: whether a band of `held` rows after `scanned` rows
// means the bound is too loose for this data.
bool band_wide(std::uint64_t held, std::uint64_t scanned);
// Rows a piece of `piece_rows` scans before its first check.
std::uint64_t first_check(std::uint64_t piece_rows, std::size_t k);

}  // namespace lumvero::prefilter
