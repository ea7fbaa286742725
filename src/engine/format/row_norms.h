// Per-row tables computed once when an index is opened.
//
// Numerical contract: every squared norm is the sum, left to right, of each
// component widened to f64 and squared in f64, starting from 0.0. Block norms
// restart that sum at each block's first component. The f32 norm is the f64
// square root rounded once to binary32. Rows are processed several at a time
// only to overlap their independent dependency chains; the order within one
// row never changes, so results are bit-identical to the plain loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/format/dim_blocks.h"
#include "engine/format/index_format.h"

namespace lumvero {

// Block norms pay off only for large similarity indexes with enough dimensions.
bool wants_block_norms(Metric metric, std::uint64_t rows, std::uint64_t dims);

// Fills norms_sq (rows entries) and, when block_norms_sq is non-null, the
// rows x blocks.size() per-block squared norms.
void compute_row_norms(const float* data, std::uint64_t rows, std::uint64_t dims,
                       const std::vector<DimBlock>& blocks, double* norms_sq,
                       double* block_norms_sq);

// Squared norms of rows x dims floats, the same bits as compute_row_norms,
// on the worker pool for many rows (rows added to an in-memory index).
void run_norms_sq(const float* data, std::uint64_t rows, std::uint64_t dims, double* out);

}  // namespace lumvero
