// Where a score comes from: per-block contributions to one row's score
// (explain) or to the difference between two rows' scores (compare).
//
// Blocks are consecutive runs of block_size dimensions, the last possibly
// shorter. Each contribution is a plain sequential f32 sum over its block
// (products and squares rounded before they are added), independent of the
// kernels' vector layout, so it reads the same on every machine. The totals,
// by contrast, are the real scores from compute_score; the contributions add
// up to them only up to rounding.
//
// Sign convention: a larger contribution always means "more similar" (explain)
// or "favours row a" (compare), so Euclidean terms are negated distances.
//
// Only the top_blocks blocks with the largest |contribution| are listed; the
// rest are folded into one residual. Non-finite queries are not refused:
// NaN and infinities are reported as they come out, NaN blocks listed first.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "engine/search_engine.h"
#include "engine/status.h"

namespace lumvero {

struct BlockContribution {
  std::uint64_t block_id;  // position in natural order
  std::uint64_t start;     // covers start <= d < end
  std::uint64_t end;
  float contribution;
};

struct Explanation {
  float score_total;  // compute_score, negated for Euclidean
  std::uint64_t num_blocks;
  std::vector<BlockContribution> blocks;  // the listed blocks, largest |c| first
  float residual;                         // sum of the unlisted blocks, in sorted order
};

struct Comparison {
  float score_a;            // compute_score(q, a), as is
  float score_b;            // compute_score(q, b), as is
  float delta_score_space;  // positive when row a is the better one
  std::uint64_t num_blocks;
  std::vector<BlockContribution> blocks;
  float residual;
};

namespace explain_detail {

inline constexpr std::string_view kIndexOutOfBounds = "Index out of bounds";
inline constexpr std::string_view kBlockSizeZero = "block_size must be > 0";
inline constexpr std::string_view kTopBlocksZero = "top_blocks must be > 0";

// Sorts blocks by |contribution|, largest first. Magnitudes equal as floats
// tie and keep their current (block_id) order; otherwise the larger bit
// pattern of the magnitude wins, which puts NaN ahead of infinity and of
// every finite value.
void sort_by_magnitude(std::vector<BlockContribution>& blocks);

// Keeps the first min(top_blocks, size) sorted blocks and returns the f32
// sum, from 0 and in sorted order, of the contributions dropped.
float fold_residual(std::vector<BlockContribution>& sorted, std::uint64_t top_blocks);

}  // namespace explain_detail

// Checks, in this order: query length == dims ("Query dimensions {} != index
// dimensions {}"), idx < rows ("Index out of bounds"), block_size > 0,
// top_blocks > 0.
Result<Explanation> explain(const SearchEngine& engine, std::span<const float> query,
                            std::uint64_t idx, std::uint64_t block_size, std::uint64_t top_blocks);

// As explain, with both indices checked before block_size and top_blocks.
Result<Comparison> compare(const SearchEngine& engine, std::span<const float> query,
                           std::uint64_t idx_a, std::uint64_t idx_b, std::uint64_t block_size,
                           std::uint64_t top_blocks);

}  // namespace lumvero
