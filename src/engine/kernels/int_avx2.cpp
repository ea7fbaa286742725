// AVX2 integer kernel (this file alone is compiled with -mavx2).
//
// The row's code bytes are widened to int16 (vpmovzxbw) and multiplied with
// the int16 query by vpmaddwd, which adds each pair of products into an int32
// lane; vpmaddubsw is avoided, as its int16 pair sums would saturate. The
// sums are taken over c' = c + 128 and wrap modulo 2^32; subtracting
// 128 * sum(q) at the end gives the exact result. Four rows share each query
// load: row j of each quarter of the call, so memory is read as four streams.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "engine/kernels/int_kernels.h"

namespace lumvero::kernels {

namespace {

inline __m256i widen(const std::uint8_t* p) {
  return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

inline std::uint32_t sum8(__m256i v) {
  const __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  const __m128i t = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
  return static_cast<std::uint32_t>(
      _mm_cvtsi128_si32(_mm_add_epi32(t, _mm_shuffle_epi32(t, 0xB1))));
}

// Four row sums at once: lane r of the result is the total of a[r].
inline __m128i sum4(__m256i a0, __m256i a1, __m256i a2, __m256i a3) {
  const __m256i h01 = _mm256_hadd_epi32(a0, a1);
  const __m256i h23 = _mm256_hadd_epi32(a2, a3);
  const __m256i h = _mm256_hadd_epi32(h01, h23);
  return _mm_add_epi32(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1));
}

void rows_avx2(const IntQuery& query, const std::uint8_t* rows, std::size_t width,
               std::size_t count, std::int32_t* out) {
  const std::int16_t* q = query.q.data();
  const std::uint32_t bias = 128u * static_cast<std::uint32_t>(query.sum);
  const std::size_t quarter = count / 4;
  for (std::size_t j = 0; j < quarter; ++j) {
    const std::uint8_t* x0 = rows + j * width;
    const std::uint8_t* x1 = x0 + quarter * width;
    const std::uint8_t* x2 = x1 + quarter * width;
    const std::uint8_t* x3 = x2 + quarter * width;
    __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
    for (std::size_t i = 0; i < width; i += 16) {
      const __m256i qq = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + i));
      a0 = _mm256_add_epi32(a0, _mm256_madd_epi16(widen(x0 + i), qq));
      a1 = _mm256_add_epi32(a1, _mm256_madd_epi16(widen(x1 + i), qq));
      a2 = _mm256_add_epi32(a2, _mm256_madd_epi16(widen(x2 + i), qq));
      a3 = _mm256_add_epi32(a3, _mm256_madd_epi16(widen(x3 + i), qq));
    }
    alignas(16) std::uint32_t s4[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(s4), sum4(a0, a1, a2, a3));
    for (std::size_t r = 0; r < 4; ++r)
      out[r * quarter + j] = static_cast<std::int32_t>(s4[r] - bias);
  }
  for (std::size_t j = 4 * quarter; j < count; ++j) {
    const std::uint8_t* x = rows + j * width;
    __m256i a = _mm256_setzero_si256();
    for (std::size_t i = 0; i < width; i += 16) {
      const __m256i qq = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + i));
      a = _mm256_add_epi32(a, _mm256_madd_epi16(widen(x + i), qq));
    }
    out[j] = static_cast<std::int32_t>(sum8(a) - bias);
  }
}

}  // namespace

namespace detail {
constinit const IntRowsKernel kIntAvx2 = &rows_avx2;
}  // namespace detail

}  // namespace lumvero::kernels
