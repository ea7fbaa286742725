// AVX2 variant (this file alone is compiled with -mavx2; never with FMA).
//
// One 256-bit register per row holds exactly the A|B accumulator pair of the
// reference layout: lanes 0-3 take elements 8c..8c+3, lanes 4-7 take
// 8c+4..8c+7, and a 256-bit multiply and add per chunk is the same arithmetic
// as the reference's two 128-bit ones. The gain is in score_rows, which keeps
// four rows in flight so their add chains overlap.
//
// Everything here has internal linkage and nothing from other headers is
// instantiated, so no AVX2-compiled inline function can be picked by the
// linker for code that runs on a CPU without AVX2.
#include <immintrin.h>

#include <cstddef>

#include "engine/kernels/avx_common.h"
#include "engine/kernels/impl.h"

namespace lumvero::kernels {

namespace {

template <bool kL2>
float row_avx2(const float* q, const float* x, std::size_t n) {
  __m256 acc = _mm256_setzero_ps();
  const std::size_t chunks = n / 8;
  for (std::size_t c = 0; c < chunks; ++c) {
    acc = _mm256_add_ps(acc, term8<kL2>(_mm256_loadu_ps(q + 8 * c), _mm256_loadu_ps(x + 8 * c)));
  }
  float s = reduce_row(acc);
  for (std::size_t i = chunks * 8; i < n; ++i) s += term1<kL2>(q[i], x[i]);
  return s;
}

// Four rows per step: row i of each quarter of the range, so that every
// quarter is read strictly front to back (see the reference variant for why
// neighbouring rows are not used).
template <bool kL2>
void rows_avx2(const float* q, const float* rows, std::size_t dims, std::size_t count, float* out) {
  const std::size_t chunks = dims / 8;
  const std::size_t tail = chunks * 8;
  const std::size_t quarter = count / 4;
  for (std::size_t i = 0; i < quarter; ++i) {
    const float* x[4];
    for (std::size_t r = 0; r < 4; ++r) x[r] = rows + (r * quarter + i) * dims;
    __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps(), a2 = _mm256_setzero_ps(),
           a3 = _mm256_setzero_ps();
    for (std::size_t c = 0; c < chunks; ++c) {
      const std::size_t o = 8 * c;
      const __m256 qv = _mm256_loadu_ps(q + o);
      a0 = _mm256_add_ps(a0, term8<kL2>(qv, _mm256_loadu_ps(x[0] + o)));
      a1 = _mm256_add_ps(a1, term8<kL2>(qv, _mm256_loadu_ps(x[1] + o)));
      a2 = _mm256_add_ps(a2, term8<kL2>(qv, _mm256_loadu_ps(x[2] + o)));
      a3 = _mm256_add_ps(a3, term8<kL2>(qv, _mm256_loadu_ps(x[3] + o)));
    }
    alignas(16) float sums[4];
    _mm_store_ps(sums, reduce_rows4(a0, a1, a2, a3));
    for (std::size_t r = 0; r < 4; ++r) {
      float v = sums[r];
      for (std::size_t e = tail; e < dims; ++e) v += term1<kL2>(q[e], x[r][e]);
      out[r * quarter + i] = v;
    }
  }
  for (std::size_t j = 4 * quarter; j < count; ++j)
    out[j] = row_avx2<kL2>(q, rows + j * dims, dims);
}

}  // namespace

namespace detail {
constinit const Variant kAvx2Variant{&row_avx2<false>, &row_avx2<true>, &rows_avx2<false>,
                                     &rows_avx2<true>};
}  // namespace detail

}  // namespace lumvero::kernels
