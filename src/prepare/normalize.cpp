// Row normalisation in binary32 with a fixed summation order, so the bytes
// written never depend on the thread count or on how a batch is split.
#include <cmath>
#include <cstring>

#include "engine/runtime/pool.h"
#include "prepare/prepare.h"

namespace lumvero::prepare {

void normalize_row(const float* x, float* out, std::size_t dims) {
  float s = 0.0f;
  std::size_t c = 0;
  if (dims >= 8) {
    for (; c + 8 <= dims; c += 8) {
      const float* g = x + c;
      const float h1 = ((g[0] * g[0] + g[1] * g[1]) + g[2] * g[2]) + g[3] * g[3];
      const float h2 = ((g[4] * g[4] + g[5] * g[5]) + g[6] * g[6]) + g[7] * g[7];
      s = s + (h1 + h2);
    }
  }
  for (; c < dims; ++c) s = s + x[c] * x[c];

  const float norm = std::sqrt(s);
  // Zero, infinite or NaN norms cannot be scaled to unit length.
  if (s == 0.0f || !std::isfinite(norm)) {
    std::memset(out, 0, dims * sizeof(float));
    return;
  }
  const float inv = 1.0f / norm;
  for (std::size_t i = 0; i < dims; ++i) out[i] = x[i] * inv;
}

Status normalize_rows(const float* in, float* out, std::uint64_t rows, std::uint64_t dims) {
  // Each task takes a run of whole rows; rows never share an output byte.
  constexpr std::uint64_t kRowsPerTask = 256;
  return pool::for_chunks(rows, kRowsPerTask, [&](std::size_t begin, std::size_t end, std::size_t) {
    for (std::size_t r = begin; r < end; ++r) normalize_row(in + r * dims, out + r * dims, dims);
  });
}

}  // namespace lumvero::prepare
