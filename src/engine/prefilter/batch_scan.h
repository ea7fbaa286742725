// The compressed pre-filter, many queries: the selected rows' codes in tiles
// (several queries x a window of rows in registers, integer sums,
// kernels/int_kernels.h), each query's scores cut by its band (exact_band.h)
// as they leave the tile, then the survivors rescored with compute_score, so
// every answer is the per-row kernel's rows and score bits.
//
// Against the fp32 product of the band scan it moves a quarter of the row
// bytes and does twice the products per instruction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/prefilter/single_scan.h"
#include "engine/search/radius.h"
#include "engine/search/result_order.h"
#include "engine/search/row_set.h"
#include "engine/status.h"

namespace lumvero::prefilter {

// Whether a batch of nq queries for the k_eff best of `rows` selectable rows
// of this width should go through the codes' tiles.
bool batch_wanted(Mode mode, std::uint64_t rows, std::uint64_t dims, std::size_t k_eff,
                  std::size_t nq);

// Each query's k_eff best selected rows under compute_score, best first
// (nothing for a query that is not finite); nothing at all when a run has no
// codes (refused, or rows too wide for the integer sums) or (unless
// LUMVO_FILTER=always) the bands run wide on this data, and the caller must
// take the float path. pieces: how many tasks the rows are cut into (0: two
// per thread); the result does not depend on it.
Result<std::optional<std::vector<std::vector<ScoredRow>>>> batch_scan(
    const RowSet& set, const float* queries, std::size_t nq, std::size_t k_eff,
    std::size_t pieces = 0, SearchStats* stats = nullptr);
// The same for what `want` says: the k best, or every row within a radius
// (each query's band's L is the radius's bound). A radius must admit some
// score.
Result<std::optional<std::vector<std::vector<ScoredRow>>>> batch_scan(
    const RowSet& set, const float* queries, std::size_t nq, const Want& want,
    std::size_t pieces = 0, SearchStats* stats = nullptr);

}  // namespace lumvero::prefilter
