// AVX2 integer kernel (this file alone is compiled with -mavx2).
//
// The row's code bytes are widened to int16 (vpmovzxbw) and multiplied with
// the int16 query by vpmaddwd, which adds each pair of products into an int32
// lane; vpmaddubsw is avoided, as its int16 pair sums would saturate. The
// sums are taken over c' = c + 128 and wrap modulo 2^32; subtracting
// 128 * sum(q) at the end gives the exact result. Four rows share each query
// load: row j of each quarter of the call, so memory is read as four streams.
// The tile kernel works on packed rows the same way, one row per lane: each
// row's four codes are widened in two int16 pairs (vpshufb) and multiplied
// with the query's matching pairs broadcast to every lane.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

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

// Two adjacent query codes as one int32 lane in every lane, for vpmaddwd.
inline __m256i pair(const std::int16_t* q) {
  std::int32_t v;
  std::memcpy(&v, q, sizeof v);
  return _mm256_set1_epi32(v);
}

// Four codes of 8 packed rows (one 32-byte load, a row per int32 lane) as
// int16: `lo` holds each row's codes 0 and 1 in its lane, `hi` codes 2 and 3.
// Zero-extending keeps c' = c + 128 unsigned.
struct Rows8 {
  __m256i lo;
  __m256i hi;
};

inline Rows8 rows8(const std::uint8_t* p, __m256i lo_bytes, __m256i hi_bytes) {
  const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  return {_mm256_shuffle_epi8(x, lo_bytes), _mm256_shuffle_epi8(x, hi_bytes)};
}

// One query's sums for 16 rows, a row per lane. Each vpmaddwd lane adds two
// products, at most 2 * 255 * kIntQueryMax in magnitude: no saturation, no
// int32 overflow. Named registers, not an array: GCC keeps arrays of vectors
// in memory.
struct TileAcc {
  __m256i s0 = _mm256_setzero_si256();
  __m256i s1 = _mm256_setzero_si256();

  void add(const Rows8& x0, const Rows8& x1, const std::int16_t* q) {
    const __m256i b01 = pair(q);
    const __m256i b23 = pair(q + 2);
    s0 = _mm256_add_epi32(
        s0, _mm256_add_epi32(_mm256_madd_epi16(x0.lo, b01), _mm256_madd_epi16(x0.hi, b23)));
    s1 = _mm256_add_epi32(
        s1, _mm256_add_epi32(_mm256_madd_epi16(x1.lo, b01), _mm256_madd_epi16(x1.hi, b23)));
  }
  void store(const IntQuery* q, std::int32_t* out) const {
    const __m256i bias =
        _mm256_set1_epi32(static_cast<int>(128u * static_cast<std::uint32_t>(q->sum)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_sub_epi32(s0, bias));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8), _mm256_sub_epi32(s1, bias));
  }
};

// The tile in four passes, each 3 queries x 16 rows: 6 accumulators, the
// four widened row vectors, the query pairs and the two byte masks fit the 16
// registers, and each packed load is widened once for three queries (measured
// on Zen 3: faster than 6 queries x 8 rows, or than widening the whole tile
// once into memory). The packed rows stay in L1 between the passes.
void tile_avx2(const IntQuery* const* qs, const std::uint8_t* packed, std::size_t width,
               std::int32_t* out) {
  static_assert(kIntTileQueries == 6 && kIntTileRows == 32);
  const __m256i lo_bytes =
      _mm256_setr_epi8(0, -1, 1, -1, 4, -1, 5, -1, 8, -1, 9, -1, 12, -1, 13, -1, 0, -1, 1, -1, 4,
                       -1, 5, -1, 8, -1, 9, -1, 12, -1, 13, -1);
  const __m256i hi_bytes =
      _mm256_setr_epi8(2, -1, 3, -1, 6, -1, 7, -1, 10, -1, 11, -1, 14, -1, 15, -1, 2, -1, 3, -1, 6,
                       -1, 7, -1, 10, -1, 11, -1, 14, -1, 15, -1);
  for (std::size_t part = 0; part < kIntTileQueries; part += 3) {
    const std::int16_t* q0 = qs[part]->q.data();
    const std::int16_t* q1 = qs[part + 1]->q.data();
    const std::int16_t* q2 = qs[part + 2]->q.data();
    for (std::size_t half = 0; half < 2; ++half) {
      TileAcc a0, a1, a2;
      for (std::size_t c = 0; c < width; c += 4) {
        const std::uint8_t* p = packed + c * kIntTileRows + 64 * half;
        const Rows8 x0 = rows8(p, lo_bytes, hi_bytes);
        const Rows8 x1 = rows8(p + 32, lo_bytes, hi_bytes);
        a0.add(x0, x1, q0 + c);
        a1.add(x0, x1, q1 + c);
        a2.add(x0, x1, q2 + c);
      }
      std::int32_t* o = out + part * kIntTileRows + 16 * half;
      a0.store(qs[part], o);
      a1.store(qs[part + 1], o + kIntTileRows);
      a2.store(qs[part + 2], o + 2 * kIntTileRows);
    }
  }
}

}  // namespace

namespace detail {
constinit const IntRowsKernel kIntAvx2 = &rows_avx2;
constinit const IntTileKernel kIntTileAvx2 = &tile_avx2;
}  // namespace detail

}  // namespace lumvero::kernels
