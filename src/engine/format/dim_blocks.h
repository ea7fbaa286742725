// Dimension blocks: the partition of a row's dimensions that the pruned and
// certified scans bound block by block and that explain reports on, and the
// order in which a query's blocks are visited.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace lumvero {

using DimBlock = std::pair<std::uint64_t, std::uint64_t>;  // [start, end)

// Width of the engine's dimension blocks: larger indexes use wider blocks.
std::uint64_t block_size_for(std::uint64_t rows, std::uint64_t dims);

// Half-open ranges of block_size dimensions covering [0, dims); the last may
// be shorter; none for dims 0 or block_size 0. Safe for any block_size.
std::vector<DimBlock> make_blocks(std::uint64_t dims, std::uint64_t block_size);

// Per block, the f64 sum over its dimensions d, in increasing d, of
// f64(q[d])^2, starting from zero.
std::vector<double> block_energies(const float* q, const std::vector<DimBlock>& blocks);

// Block indices by energy, highest first under the f64 totalOrder, equal
// energies by lower index: the blocks holding most of the query's energy
// tighten a Cauchy-Schwarz bound fastest.
std::vector<std::uint64_t> energy_order(std::span<const double> energies);

}  // namespace lumvero
