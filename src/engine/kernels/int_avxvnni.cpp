// AVX-VNNI integer kernel (this file alone is compiled with -mavx2 -mavxvnni).
//
// The 256-bit form of the AVX-512 VNNI kernel: vpdpbusd over 32 unsigned code
// bytes and 32 signed query bytes, the int16 query as two byte halves
// (q = 256 hi + lo), lanes wrapping modulo 2^32 and corrected at the end by
// 128 * sum(q) for the code offset. Four rows, one per quarter of the call;
// the tile kernel works on packed rows, one row per lane.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/kernels/int_kernels.h"

namespace lumvero::kernels {

namespace {

struct Acc {
  __m256i hi = _mm256_setzero_si256();
  __m256i lo = _mm256_setzero_si256();

  void add(const std::uint8_t* x, __m256i qhi, __m256i qlo) {
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x));
    hi = _mm256_dpbusd_avx_epi32(hi, c, qhi);
    lo = _mm256_dpbusd_avx_epi32(lo, c, qlo);
  }
  __m256i total() const { return _mm256_add_epi32(_mm256_slli_epi32(hi, 8), lo); }
};

inline __m128i sum4(__m256i a0, __m256i a1, __m256i a2, __m256i a3) {
  const __m256i h01 = _mm256_hadd_epi32(a0, a1);
  const __m256i h23 = _mm256_hadd_epi32(a2, a3);
  const __m256i h = _mm256_hadd_epi32(h01, h23);
  return _mm_add_epi32(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1));
}

inline __m256i load(const std::int8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

void rows_avxvnni(const IntQuery& query, const std::uint8_t* rows, std::size_t width,
                  std::size_t count, std::int32_t* out) {
  const std::int8_t* qh = query.hi.data();
  const std::int8_t* ql = query.lo.data();
  const std::uint32_t bias = 128u * static_cast<std::uint32_t>(query.sum);
  const std::size_t quarter = count / 4;
  for (std::size_t j = 0; j < quarter; ++j) {
    const std::uint8_t* x0 = rows + j * width;
    const std::uint8_t* x1 = x0 + quarter * width;
    const std::uint8_t* x2 = x1 + quarter * width;
    const std::uint8_t* x3 = x2 + quarter * width;
    Acc a0, a1, a2, a3;
    for (std::size_t i = 0; i < width; i += 32) {
      const __m256i hi = load(qh + i);
      const __m256i lo = load(ql + i);
      a0.add(x0 + i, hi, lo);
      a1.add(x1 + i, hi, lo);
      a2.add(x2 + i, hi, lo);
      a3.add(x3 + i, hi, lo);
    }
    alignas(16) std::uint32_t s4[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(s4),
                    sum4(a0.total(), a1.total(), a2.total(), a3.total()));
    for (std::size_t r = 0; r < 4; ++r)
      out[r * quarter + j] = static_cast<std::int32_t>(s4[r] - bias);
  }
  for (std::size_t j = 4 * quarter; j < count; ++j) {
    const std::uint8_t* x = rows + j * width;
    Acc a;
    for (std::size_t i = 0; i < width; i += 32) a.add(x + i, load(qh + i), load(ql + i));
    const __m256i t = a.total();
    const __m128i s = _mm_add_epi32(_mm256_castsi256_si128(t), _mm256_extracti128_si256(t, 1));
    const __m128i u = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
    const auto v =
        static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_add_epi32(u, _mm_shuffle_epi32(u, 0xB1))));
    out[j] = static_cast<std::int32_t>(v - bias);
  }
}

std::int32_t four_codes(const std::int8_t* p) {
  std::int32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// One query's accumulators for 16 rows: two vectors of 8 rows, two byte
// halves. Named registers, not an array: GCC keeps arrays of vectors in
// memory.
struct TileAcc {
  __m256i h0 = _mm256_setzero_si256();
  __m256i h1 = _mm256_setzero_si256();
  __m256i l0 = _mm256_setzero_si256();
  __m256i l1 = _mm256_setzero_si256();

  void add(__m256i x0, __m256i x1, const IntQuery* q, std::size_t c) {
    const __m256i bh = _mm256_set1_epi32(four_codes(q->hi.data() + c));
    const __m256i bl = _mm256_set1_epi32(four_codes(q->lo.data() + c));
    h0 = _mm256_dpbusd_avx_epi32(h0, x0, bh);
    h1 = _mm256_dpbusd_avx_epi32(h1, x1, bh);
    l0 = _mm256_dpbusd_avx_epi32(l0, x0, bl);
    l1 = _mm256_dpbusd_avx_epi32(l1, x1, bl);
  }
  void store(const IntQuery* q, std::int32_t* out) const {
    const __m256i bias =
        _mm256_set1_epi32(static_cast<int>(128u * static_cast<std::uint32_t>(q->sum)));
    const __m256i t0 = _mm256_sub_epi32(_mm256_add_epi32(_mm256_slli_epi32(h0, 8), l0), bias);
    const __m256i t1 = _mm256_sub_epi32(_mm256_add_epi32(_mm256_slli_epi32(h1, 8), l1), bias);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), t0);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8), t1);
  }
};

// The tile in four passes, each 3 queries x 16 rows: 3 queries x 2 row
// vectors x 2 byte halves = 12 accumulators of the 16 registers.
void tile_pass(const IntQuery* const* qs, const std::uint8_t* packed, std::size_t width,
               std::size_t half, std::int32_t* out) {
  TileAcc a0, a1, a2;
  for (std::size_t c = 0; c < width; c += 4) {
    const std::uint8_t* p = packed + c * kIntTileRows + 64 * half;
    const __m256i x0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i x1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    a0.add(x0, x1, qs[0], c);
    a1.add(x0, x1, qs[1], c);
    a2.add(x0, x1, qs[2], c);
  }
  a0.store(qs[0], out + 16 * half);
  a1.store(qs[1], out + kIntTileRows + 16 * half);
  a2.store(qs[2], out + 2 * kIntTileRows + 16 * half);
}

void tile_avxvnni(const IntQuery* const* qs, const std::uint8_t* packed, std::size_t width,
                  std::int32_t* out) {
  static_assert(kIntTileQueries == 6 && kIntTileRows == 32);
  for (std::size_t part = 0; part < 2; ++part)
    for (std::size_t half = 0; half < 2; ++half)
      tile_pass(qs + 3 * part, packed, width, half, out + 3 * part * kIntTileRows);
}

}  // namespace

namespace detail {
constinit const IntTileKernel kIntTileAvxVnni = &tile_avxvnni;
constinit const IntRowsKernel kIntAvxVnni = &rows_avxvnni;
}  // namespace detail

}  // namespace lumvero::kernels
