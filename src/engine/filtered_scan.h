// The filtered scan: one query against the compressed copy of the rows
// (compressed_rows.h), then the band (exact_band.h) and a rescoring of the
// rows the bound cannot rule out, so the answer is the per-row kernel's rows
// and score bits.
//
// The scan reads a quarter of the bytes of the float rows. Where the band
// turns out wide (data whose quantisation error swamps the gaps between
// scores), each piece of the scan notices it within its first few thousand
// rows and reads its rows as floats instead.
//
// LUMVO_FILTER is read on every query: "off" never uses the copy, "always"
// uses it whatever the index's size (for checks on small indexes); any other
// value, or none, uses it where it pays.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/compressed_rows.h"
#include "engine/pool.h"
#include "engine/result_order.h"
#include "engine/search_engine.h"
#include "engine/status.h"

namespace lumvero {
class CompressedRows;
}

namespace lumvero::filter {

enum class Mode : std::uint8_t { Auto, Off, Always };

// LUMVO_FILTER, read now.
Mode mode();

// Whether a single query for the k_eff best rows of an index of this shape
// should go through the copy.
bool wanted(Mode mode, std::uint64_t rows, std::uint64_t dims, std::size_t k_eff);

// The k_eff best rows under compute_score, best first; nothing when the copy
// was refused (memory) or the rows are too wide for the integer sums, and the
// caller must scan the float rows. pieces: how many tasks the rows are cut
// into (0: about four per thread); the result does not depend on it.
Result<std::optional<std::vector<ScoredRow>>> scan(const SearchEngine& e, std::span<const float> q,
                                                   std::size_t k_eff, std::size_t pieces = 0);

// Approximate scores of rows [first, first + n) of the copy from their
// integer sums with a query of scale t and squared norm query_norm_sq: the
// values score_error::CompressedGap bounds.
void approximate_scores(const SearchEngine& e, const CompressedRows& copy, double t,
                        double query_norm_sq, const std::int32_t* sums, std::uint64_t first,
                        std::size_t n, float* out);

// Rows [0, rows) in pieces of whole runs of the copy: `pieces` of them, or
// per_thread for each pool thread when pieces is 0; scan(begin, end) runs
// on the pool for each, results in piece order.
template <class Scan>
auto map_run_pieces(std::uint64_t rows, std::size_t pieces, std::size_t per_thread, Scan&& scan) {
  constexpr std::uint64_t run = CompressedRows::kRunRows;
  const std::uint64_t runs = (rows + run - 1) / run;
  if (pieces == 0) pieces = per_thread * std::max<std::size_t>(pool::thread_count(), 1);
  const std::uint64_t per = std::max<std::uint64_t>(1, (runs + pieces - 1) / pieces);
  const std::size_t count = static_cast<std::size_t>((runs + per - 1) / per);
  return pool::map(count, [&](std::size_t i) {
    const std::uint64_t begin = i * per * run;
    return scan(begin, std::min<std::uint64_t>(rows, begin + per * run));
  });
}

}  // namespace lumvero::filter
