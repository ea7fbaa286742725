// Helpers shared by the AVX2 and AVX-512 variants, included into each of
// their translation units (and only those), so that every copy is compiled
// with its file's instruction-set flags. Everything has internal linkage:
// no AVX-compiled inline function can be chosen by the linker for code that
// runs on a processor without it.
#pragma once

#include <immintrin.h>

#include <cstddef>

#include "engine/kernels/term.h"

namespace lumvero::kernels {
namespace {

template <bool kL2>
inline __m256 term8(__m256 q, __m256 x) {
  if constexpr (kL2) {
    const __m256 d = _mm256_sub_ps(q, x);
    return _mm256_mul_ps(d, d);
  } else {
    return _mm256_mul_ps(q, x);
  }
}

// (((A0+A1)+A2)+A3) + (((B0+B1)+B2)+B3) of one row's accumulator.
inline float reduce_row(__m256 acc) {
  alignas(32) float l[8];
  _mm256_store_ps(l, acc);
  return (((l[0] + l[1]) + l[2]) + l[3]) + (((l[4] + l[5]) + l[6]) + l[7]);
}

// The same reduction for four rows at once. The in-lane 4x4 transpose puts
// lane l of rows 0..3 side by side in c_l (A half and B half separately), so
// ((c0+c1)+c2)+c3 is the in-order lane sum of every row; A and B are then
// added. Result lane r belongs to row r.
inline __m128 reduce_rows4(__m256 r0, __m256 r1, __m256 r2, __m256 r3) {
  const __m256 t0 = _mm256_unpacklo_ps(r0, r1);
  const __m256 t1 = _mm256_unpackhi_ps(r0, r1);
  const __m256 t2 = _mm256_unpacklo_ps(r2, r3);
  const __m256 t3 = _mm256_unpackhi_ps(r2, r3);
  const __m256 c0 = _mm256_shuffle_ps(t0, t2, 0x44);
  const __m256 c1 = _mm256_shuffle_ps(t0, t2, 0xEE);
  const __m256 c2 = _mm256_shuffle_ps(t1, t3, 0x44);
  const __m256 c3 = _mm256_shuffle_ps(t1, t3, 0xEE);
  const __m256 u = _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(c0, c1), c2), c3);
  return _mm_add_ps(_mm256_castps256_ps128(u), _mm256_extractf128_ps(u, 1));
}

}  // namespace
}  // namespace lumvero::kernels
