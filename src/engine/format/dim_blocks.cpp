// The partition of the dimensions into blocks used by certified search and explain.
#include "engine/format/dim_blocks.h"

#include <algorithm>
#include <numeric>

#include "engine/search/result_order.h"

namespace lumvero {

std::uint64_t block_size_for(std::uint64_t rows, std::uint64_t dims) {
  if (rows >= 250000) return dims >= 768 ? 64 : 32;
  return dims >= 256 ? 32 : 16;
}

std::vector<DimBlock> make_blocks(std::uint64_t dims, std::uint64_t block_size) {
  std::vector<DimBlock> blocks;
  if (block_size == 0) return blocks;
  blocks.reserve(static_cast<std::size_t>(dims / block_size + (dims % block_size != 0 ? 1 : 0)));
  // Advance by the remaining width rather than computing (j+1)*block_size,
  // which would wrap for a block size near the top of the range.
  for (std::uint64_t start = 0; start < dims;) {
    const std::uint64_t end = start + std::min(block_size, dims - start);
    blocks.emplace_back(start, end);
    start = end;
  }
  return blocks;
}

std::vector<double> block_energies(const float* q, const std::vector<DimBlock>& blocks) {
  std::vector<double> energy(blocks.size(), 0.0);
  for (std::size_t j = 0; j < blocks.size(); ++j) {
    double e = 0.0;
    for (std::uint64_t d = blocks[j].first; d < blocks[j].second; ++d) {
      const double v = static_cast<double>(q[d]);
      e += v * v;
    }
    energy[j] = e;
  }
  return energy;
}

std::vector<std::uint64_t> energy_order(std::span<const double> energies) {
  std::vector<std::uint64_t> order(energies.size());
  std::iota(order.begin(), order.end(), std::uint64_t{0});
  // Stable sort on the key alone: equal energies keep ascending index.
  std::stable_sort(order.begin(), order.end(), [&](std::uint64_t a, std::uint64_t b) {
    return order_key(energies[a]) > order_key(energies[b]);
  });
  return order;
}

}  // namespace lumvero
