// Per-row norms (f64 and f32) and per-block norms computed when an index opens.
#include "engine/format/row_norms.h"

#include <algorithm>

#include "engine/runtime/pool.h"

namespace lumvero {

bool wants_block_norms(Metric metric, std::uint64_t rows, std::uint64_t dims) {
  return metric != Metric::Euclidean && rows >= 10000 && dims >= 64;
}

namespace {

constexpr std::size_t kLanes = 8;

// kLanes rows at once: each row keeps its own left-to-right chain.
void norms_group(const float* base, std::uint64_t dims, const std::vector<DimBlock>& blocks,
                 double* norms_sq, double* block_norms_sq) {
  double total[kLanes] = {};
  const std::size_t nb = blocks.size();
  for (std::size_t b = 0; b < nb; ++b) {
    double part[kLanes] = {};
    for (std::uint64_t c = blocks[b].first; c < blocks[b].second; ++c) {
      for (std::size_t l = 0; l < kLanes; ++l) {
        const double v = base[l * dims + c];
        const double sq = v * v;
        total[l] += sq;
        part[l] += sq;
      }
    }
    if (block_norms_sq != nullptr)
      for (std::size_t l = 0; l < kLanes; ++l) block_norms_sq[l * nb + b] = part[l];
  }
  for (std::size_t l = 0; l < kLanes; ++l) norms_sq[l] = total[l];
}

void norms_one(const float* row, const std::vector<DimBlock>& blocks, double* norm_sq,
               double* block_norms_sq) {
  double total = 0.0;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    double part = 0.0;
    for (std::uint64_t c = blocks[b].first; c < blocks[b].second; ++c) {
      const double v = row[c];
      total += v * v;
      part += v * v;
    }
    if (block_norms_sq != nullptr) block_norms_sq[b] = part;
  }
  *norm_sq = total;
}

}  // namespace

void compute_row_norms(const float* data, std::uint64_t rows, std::uint64_t dims,
                       const std::vector<DimBlock>& blocks, double* norms_sq,
                       double* block_norms_sq) {
  const std::size_t nb = blocks.size();
  std::uint64_t r = 0;
  for (; r + kLanes <= rows; r += kLanes)
    norms_group(data + r * dims, dims, blocks, norms_sq + r,
                block_norms_sq != nullptr ? block_norms_sq + r * nb : nullptr);
  for (; r < rows; ++r)
    norms_one(data + r * dims, blocks, norms_sq + r,
              block_norms_sq != nullptr ? block_norms_sq + r * nb : nullptr);
}

void run_norms_sq(const float* data, std::uint64_t rows, std::uint64_t dims, double* out) {
  // One block over every dimension: the same left-to-right f64 sum. Rows are
  // independent, so cutting them into tasks changes no bit.
  const std::vector<DimBlock> whole{{0, dims}};
  const std::size_t per_task =
      std::max<std::size_t>(1, (std::size_t{1} << 20) / std::max<std::uint64_t>(dims, 1));
  if (rows <= per_task) {
    compute_row_norms(data, rows, dims, whole, out, nullptr);
    return;
  }
  (void)pool::for_chunks(rows, per_task, [&](std::size_t b, std::size_t e, std::size_t) {
    compute_row_norms(data + b * dims, e - b, dims, whole, out + b, nullptr);
  });
}

}  // namespace lumvero
