// Block-wise breakdown of scores (see explain.h).
#include "engine/certify/explain.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

#include "engine/format/row_norms.h"
#include "engine/kernels/kernels.h"
#include "engine/messages.h"

namespace lumvero {

namespace explain_detail {

void sort_by_magnitude(std::vector<BlockContribution>& blocks) {
  if (blocks.size() < 2) return;
  std::stable_sort(blocks.begin(), blocks.end(),
                   [](const BlockContribution& a, const BlockContribution& b) {
                     const float ma = std::fabs(a.contribution);
                     const float mb = std::fabs(b.contribution);
                     if (ma == mb) return false;  // a tie, also for +0.0 vs -0.0
                     // fabs clears only the sign bit, so NaN magnitudes keep
                     // their all-ones exponent and outrank every other value.
                     return std::bit_cast<std::uint32_t>(ma) > std::bit_cast<std::uint32_t>(mb);
                   });
}

float fold_residual(std::vector<BlockContribution>& sorted, std::uint64_t top_blocks) {
  const std::size_t listed =
      static_cast<std::size_t>(std::min<std::uint64_t>(top_blocks, sorted.size()));
  float residual = 0.0f;
  for (std::size_t i = listed; i < sorted.size(); ++i) residual += sorted[i].contribution;
  sorted.resize(listed);
  return residual;
}

}  // namespace explain_detail

namespace {

using namespace explain_detail;

// The blocks of width w covering [0, dims), in natural order, each with the
// contribution computed over its range.
template <class F>
std::vector<BlockContribution> build_blocks(std::uint64_t dims, std::uint64_t w, F&& contribution) {
  const std::vector<DimBlock> ranges = make_blocks(dims, w);
  std::vector<BlockContribution> blocks;
  blocks.reserve(ranges.size());
  for (std::size_t id = 0; id < ranges.size(); ++id) {
    const auto [start, end] = ranges[id];
    blocks.push_back({id, start, end, contribution(start, end)});
  }
  return blocks;
}

// Sequential f32 sums over [start, end): the scalar kernels, which add each
// rounded product or square strictly left to right from 0.
float block_dot(const float* q, const float* x, std::uint64_t start, std::uint64_t end) {
  return kernels::dot_scalar(q + start, x + start, end - start);
}

float block_l2sq(const float* q, const float* x, std::uint64_t start, std::uint64_t end) {
  return kernels::l2sq_scalar(q + start, x + start, end - start);
}

// Sum of (a - b) * q over the block.
float block_diff_dot(const float* q, const float* a, const float* b, std::uint64_t start,
                     std::uint64_t end) {
  float acc = 0.0f;
  for (std::uint64_t d = start; d < end; ++d) {
    const float diff = a[d] - b[d];
    const float p = diff * q[d];
    acc += p;
  }
  return acc;
}

// The three argument checks after the dimension check, in their fixed order.
Status check_common(bool index_ok, std::uint64_t block_size, std::uint64_t top_blocks) {
  if (!index_ok) return fail(std::string(kIndexOutOfBounds));
  if (block_size == 0) return fail(std::string(kBlockSizeZero));
  if (top_blocks == 0) return fail(std::string(kTopBlocksZero));
  return {};
}

}  // namespace

Result<Explanation> explain(const SearchEngine& engine, std::span<const float> query,
                            std::uint64_t idx, std::uint64_t block_size, std::uint64_t top_blocks) {
  if (query.size() != engine.dims) return fail(msg::query_dimensions(query.size(), engine.dims));
  if (auto st = check_common(idx < engine.rows, block_size, top_blocks); !st)
    return fail(std::move(st.error()));

  const float* q = query.data();
  const float* x = engine.row(idx);
  const std::size_t n = query.size();
  const bool distance = is_distance(engine.metric);

  Explanation out{};
  const float score = kernels::compute_score(engine.metric, q, x, n);
  out.score_total = distance ? -score : score;

  std::vector<BlockContribution> blocks =
      build_blocks(engine.dims, block_size, [&](std::uint64_t s, std::uint64_t e) {
        return distance ? -block_l2sq(q, x, s, e) : block_dot(q, x, s, e);
      });
  out.num_blocks = blocks.size();
  sort_by_magnitude(blocks);
  out.residual = fold_residual(blocks, top_blocks);
  out.blocks = std::move(blocks);
  return out;
}

Result<Comparison> compare(const SearchEngine& engine, std::span<const float> query,
                           std::uint64_t idx_a, std::uint64_t idx_b, std::uint64_t block_size,
                           std::uint64_t top_blocks) {
  if (query.size() != engine.dims) return fail(msg::query_dimensions(query.size(), engine.dims));
  if (auto st = check_common(idx_a < engine.rows && idx_b < engine.rows, block_size, top_blocks);
      !st)
    return fail(std::move(st.error()));

  const float* q = query.data();
  const float* a = engine.row(idx_a);
  const float* b = engine.row(idx_b);
  const std::size_t n = query.size();
  const bool distance = is_distance(engine.metric);

  Comparison out{};
  out.score_a = kernels::compute_score(engine.metric, q, a, n);
  out.score_b = kernels::compute_score(engine.metric, q, b, n);
  // Oriented so that a positive delta always means row a is the better one.
  out.delta_score_space = distance ? out.score_b - out.score_a : out.score_a - out.score_b;

  std::vector<BlockContribution> blocks =
      build_blocks(engine.dims, block_size, [&](std::uint64_t s, std::uint64_t e) {
        if (!distance) return block_diff_dot(q, a, b, s, e);
        // Two separate sums, one subtraction: equal rows give exactly 0.
        const float to_b = block_l2sq(q, b, s, e);
        const float to_a = block_l2sq(q, a, s, e);
        return to_b - to_a;
      });
  out.num_blocks = blocks.size();
  sort_by_magnitude(blocks);
  out.residual = fold_residual(blocks, top_blocks);
  out.blocks = std::move(blocks);
  return out;
}

}  // namespace lumvero
