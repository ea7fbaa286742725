// AVX-512 variant (this file alone is compiled with -mavx512f/vl/dq/bw; never
// with FMA).
//
// In score_rows a 512-bit register holds the A|B accumulators of two rows, one
// per 256-bit half, with the query chunk broadcast to both halves. Each lane
// still receives exactly its row's terms chunk by chunk in increasing order,
// so the result is bit-identical to the reference; only the number of rows per
// instruction changes. Single rows use 256-bit registers, exactly as the AVX2
// variant does (a second chunk of the same row may not share a register: it
// would have to go to the same lanes).
//
// Everything here has internal linkage and nothing from other headers is
// instantiated, so no AVX-512-compiled inline function can leak to code that
// runs on a CPU without it.
//
// GCC 12 flags its own AVX-512 intrinsics' "undefined" self-initialisation
// idiom as maybe-uninitialised when they are inlined; silence only that.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <cstddef>

#include "engine/kernels/avx_common.h"
#include "engine/kernels/impl.h"

namespace lumvero::kernels {

namespace {

template <bool kL2>
inline __m512 term16(__m512 q, __m512 x) {
  if constexpr (kL2) {
    const __m512 d = _mm512_sub_ps(q, x);
    return _mm512_mul_ps(d, d);
  } else {
    return _mm512_mul_ps(q, x);
  }
}

// The same 8-element chunk of two rows: lo in the low half, hi in the high half.
inline __m512 load_pair(const float* lo, const float* hi) {
  return _mm512_insertf32x8(_mm512_castps256_ps512(_mm256_loadu_ps(lo)), _mm256_loadu_ps(hi), 1);
}

template <bool kL2>
float row_avx512(const float* q, const float* x, std::size_t n) {
  __m256 acc = _mm256_setzero_ps();
  const std::size_t chunks = n / 8;
  for (std::size_t c = 0; c < chunks; ++c) {
    acc = _mm256_add_ps(acc, term8<kL2>(_mm256_loadu_ps(q + 8 * c), _mm256_loadu_ps(x + 8 * c)));
  }
  float s = reduce_row(acc);
  for (std::size_t i = chunks * 8; i < n; ++i) s += term1<kL2>(q[i], x[i]);
  return s;
}

// Four rows per step, row i of each quarter of the range (see the reference
// variant for why not neighbouring rows), held in two 512-bit registers:
// [quarter 0 | quarter 2] and [quarter 1 | quarter 3].
template <bool kL2>
void rows_avx512(const float* q, const float* rows, std::size_t dims, std::size_t count,
                 float* out) {
  const std::size_t chunks = dims / 8;
  const std::size_t tail = chunks * 8;
  const std::size_t quarter = count / 4;
  for (std::size_t i = 0; i < quarter; ++i) {
    const float* x[4];
    for (std::size_t r = 0; r < 4; ++r) x[r] = rows + (r * quarter + i) * dims;
    __m512 p02 = _mm512_setzero_ps(), p13 = _mm512_setzero_ps();
    for (std::size_t c = 0; c < chunks; ++c) {
      const std::size_t o = 8 * c;
      const __m512 qq = _mm512_broadcast_f32x8(_mm256_loadu_ps(q + o));
      p02 = _mm512_add_ps(p02, term16<kL2>(qq, load_pair(x[0] + o, x[2] + o)));
      p13 = _mm512_add_ps(p13, term16<kL2>(qq, load_pair(x[1] + o, x[3] + o)));
    }
    alignas(16) float sums[4];
    _mm_store_ps(sums,
                 reduce_rows4(_mm512_castps512_ps256(p02), _mm512_castps512_ps256(p13),
                              _mm512_extractf32x8_ps(p02, 1), _mm512_extractf32x8_ps(p13, 1)));
    for (std::size_t r = 0; r < 4; ++r) {
      float v = sums[r];
      for (std::size_t e = tail; e < dims; ++e) v += term1<kL2>(q[e], x[r][e]);
      out[r * quarter + i] = v;
    }
  }
  for (std::size_t j = 4 * quarter; j < count; ++j)
    out[j] = row_avx512<kL2>(q, rows + j * dims, dims);
}

}  // namespace

namespace detail {
constinit const Variant kAvx512Variant{&row_avx512<false>, &row_avx512<true>, &rows_avx512<false>,
                                       &rows_avx512<true>};
}  // namespace detail

}  // namespace lumvero::kernels
