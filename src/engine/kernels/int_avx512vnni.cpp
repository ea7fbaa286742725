// AVX-512 VNNI integer kernel (this file alone is compiled with
// -mavx512f/bw/vl/vnni).
//
// 32 elements per step: the row's int8 codes widened to int16 (vpmovsxbw)
// and vpdpwssd adding each pair of int16 products into an int32 lane, with no
// saturation (the caller keeps every sum inside int32). Four rows (row j of
// each quarter of the call, four streams from memory) share each
// query load; the four totals are reduced together.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <cstddef>
#include <cstdint>

#include "engine/kernels/int_kernels.h"

namespace lumvero::kernels {

namespace {

inline __m512i widen(const std::int8_t* p) {
  return _mm512_cvtepi8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
}

inline __m256i fold(__m512i v) {
  return _mm256_add_epi32(_mm512_castsi512_si256(v), _mm512_extracti64x4_epi64(v, 1));
}

inline __m128i sum4(__m512i a0, __m512i a1, __m512i a2, __m512i a3) {
  const __m256i h01 = _mm256_hadd_epi32(fold(a0), fold(a1));
  const __m256i h23 = _mm256_hadd_epi32(fold(a2), fold(a3));
  const __m256i h = _mm256_hadd_epi32(h01, h23);
  return _mm_add_epi32(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1));
}

void rows_avx512vnni(const std::int16_t* q, const std::int8_t* rows, std::size_t width,
                     std::size_t count, std::int32_t* out) {
  const std::size_t quarter = count / 4;
  for (std::size_t j = 0; j < quarter; ++j) {
    const std::int8_t* x0 = rows + j * width;
    const std::int8_t* x1 = x0 + quarter * width;
    const std::int8_t* x2 = x1 + quarter * width;
    const std::int8_t* x3 = x2 + quarter * width;
    __m512i a0 = _mm512_setzero_si512(), a1 = a0, a2 = a0, a3 = a0;
    for (std::size_t i = 0; i < width; i += 32) {
      const __m512i qq = _mm512_loadu_si512(q + i);
      a0 = _mm512_dpwssd_epi32(a0, widen(x0 + i), qq);
      a1 = _mm512_dpwssd_epi32(a1, widen(x1 + i), qq);
      a2 = _mm512_dpwssd_epi32(a2, widen(x2 + i), qq);
      a3 = _mm512_dpwssd_epi32(a3, widen(x3 + i), qq);
    }
    alignas(16) std::int32_t s4[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(s4), sum4(a0, a1, a2, a3));
    for (std::size_t r = 0; r < 4; ++r) out[r * quarter + j] = s4[r];
  }
  for (std::size_t j = 4 * quarter; j < count; ++j) {
    const std::int8_t* x = rows + j * width;
    __m512i a = _mm512_setzero_si512();
    for (std::size_t i = 0; i < width; i += 32)
      a = _mm512_dpwssd_epi32(a, widen(x + i), _mm512_loadu_si512(q + i));
    out[j] = _mm512_reduce_add_epi32(a);
  }
}

}  // namespace

namespace detail {
constinit const IntRowsKernel kIntAvx512Vnni = &rows_avx512vnni;
}  // namespace detail

}  // namespace lumvero::kernels
