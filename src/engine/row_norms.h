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

#include "engine/search_engine.h"

namespace lumvero {

// Width of a dimension block: larger indexes use wider blocks.
std::uint64_t block_size_for(std::uint64_t rows, std::uint64_t dims);

// Half-open ranges of block_size dimensions covering [0, dims); the last may
// be shorter; none for dims 0 or block_size 0. Safe for any block_size.
// Shared by the engine's blocks, the certified search and explain/compare.
std::vector<DimBlock> make_blocks(std::uint64_t dims, std::uint64_t block_size);

// Block norms pay off only for large similarity indexes with enough dimensions.
bool wants_block_norms(Metric metric, std::uint64_t rows, std::uint64_t dims);

// Fills norms_sq (rows entries) and, when block_norms_sq is non-null, the
// rows x blocks.size() per-block squared norms.
void compute_row_norms(const float* data, std::uint64_t rows, std::uint64_t dims,
                       const std::vector<DimBlock>& blocks, double* norms_sq,
                       double* block_norms_sq);

}  // namespace lumvero
