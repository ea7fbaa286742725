// AVX-VNNI integer kernel (this file alone is compiled with -mavx2 -mavxvnni).
//
// As the AVX2 kernel, with the multiply and the add fused into vpdpwssd: each
// int32 lane gains the two int16 products of its pair, without saturation
// (the caller keeps every sum inside int32).
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "engine/kernels/int_kernels.h"

namespace lumvero::kernels {

namespace {

inline __m256i widen(const std::int8_t* p) {
  return _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

inline __m128i sum4(__m256i a0, __m256i a1, __m256i a2, __m256i a3) {
  const __m256i h01 = _mm256_hadd_epi32(a0, a1);
  const __m256i h23 = _mm256_hadd_epi32(a2, a3);
  const __m256i h = _mm256_hadd_epi32(h01, h23);
  return _mm_add_epi32(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1));
}

inline std::int32_t sum8(__m256i v) {
  const __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  const __m128i t = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
  return _mm_cvtsi128_si32(_mm_add_epi32(t, _mm_shuffle_epi32(t, 0xB1)));
}

void rows_avxvnni(const std::int16_t* q, const std::int8_t* rows, std::size_t width,
                  std::size_t count, std::int32_t* out) {
  std::size_t j = 0;
  for (; j + 4 <= count; j += 4) {
    const std::int8_t* x = rows + j * width;
    __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
    for (std::size_t i = 0; i < width; i += 16) {
      const __m256i qq = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + i));
      a0 = _mm256_dpwssd_avx_epi32(a0, widen(x + i), qq);
      a1 = _mm256_dpwssd_avx_epi32(a1, widen(x + width + i), qq);
      a2 = _mm256_dpwssd_avx_epi32(a2, widen(x + 2 * width + i), qq);
      a3 = _mm256_dpwssd_avx_epi32(a3, widen(x + 3 * width + i), qq);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), sum4(a0, a1, a2, a3));
  }
  for (; j < count; ++j) {
    const std::int8_t* x = rows + j * width;
    __m256i a = _mm256_setzero_si256();
    for (std::size_t i = 0; i < width; i += 16) {
      const __m256i qq = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + i));
      a = _mm256_dpwssd_avx_epi32(a, widen(x + i), qq);
    }
    out[j] = sum8(a);
  }
}

}  // namespace

namespace detail {
constinit const IntRowsKernel kIntAvxVnni = &rows_avxvnni;
}  // namespace detail

}  // namespace lumvero::kernels
