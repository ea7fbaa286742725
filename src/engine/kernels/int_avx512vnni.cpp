// AVX-512 VNNI integer kernel (this file alone is compiled with
// -mavx512f/bw/vl/vnni).
//
// vpdpbusd multiplies 64 unsigned code bytes by 64 signed query bytes and adds
// each group of four products into an int32 lane. The int16 query goes in as
// two byte halves, q = 256 hi + lo, so a row takes two instructions per 64
// codes and no widening. The lanes wrap modulo 2^32; 256 hi + lo and the
// correction 128 * sum(q) for the code offset land on the exact sum. Four
// rows (row j of each quarter of the call, four streams from memory) share
// each query load; their totals are reduced together. The tile kernel works
// on packed rows and needs no reduction across lanes.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/kernels/int_kernels.h"

namespace lumvero::kernels {

namespace {

struct Acc {
  __m512i hi = _mm512_setzero_si512();
  __m512i lo = _mm512_setzero_si512();

  void add(const std::uint8_t* x, __m512i qhi, __m512i qlo) {
    const __m512i c = _mm512_loadu_si512(x);
    hi = _mm512_dpbusd_epi32(hi, c, qhi);
    lo = _mm512_dpbusd_epi32(lo, c, qlo);
  }
  // 256 hi + lo per lane, folded to eight lanes.
  __m256i total() const {
    const __m512i t = _mm512_add_epi32(_mm512_slli_epi32(hi, 8), lo);
    return _mm256_add_epi32(_mm512_castsi512_si256(t), _mm512_extracti64x4_epi64(t, 1));
  }
};

inline __m128i sum4(__m256i a0, __m256i a1, __m256i a2, __m256i a3) {
  const __m256i h01 = _mm256_hadd_epi32(a0, a1);
  const __m256i h23 = _mm256_hadd_epi32(a2, a3);
  const __m256i h = _mm256_hadd_epi32(h01, h23);
  return _mm_add_epi32(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1));
}

void rows_avx512vnni(const IntQuery& query, const std::uint8_t* rows, std::size_t width,
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
    for (std::size_t i = 0; i < width; i += 64) {
      const __m512i hi = _mm512_loadu_si512(qh + i);
      const __m512i lo = _mm512_loadu_si512(ql + i);
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
    for (std::size_t i = 0; i < width; i += 64)
      a.add(x + i, _mm512_loadu_si512(qh + i), _mm512_loadu_si512(ql + i));
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

// GCC 12 sees the undefined source operand inside the shift intrinsic.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
// One query's accumulators in a tile: two vectors of 16 rows, two byte
// halves. Named registers, not an array: GCC keeps arrays of vectors in
// memory.
struct TileAcc {
  __m512i h0 = _mm512_setzero_si512();
  __m512i h1 = _mm512_setzero_si512();
  __m512i l0 = _mm512_setzero_si512();
  __m512i l1 = _mm512_setzero_si512();

  void add(__m512i x0, __m512i x1, const IntQuery* q, std::size_t c) {
    const __m512i bh = _mm512_set1_epi32(four_codes(q->hi.data() + c));
    const __m512i bl = _mm512_set1_epi32(four_codes(q->lo.data() + c));
    h0 = _mm512_dpbusd_epi32(h0, x0, bh);
    h1 = _mm512_dpbusd_epi32(h1, x1, bh);
    l0 = _mm512_dpbusd_epi32(l0, x0, bl);
    l1 = _mm512_dpbusd_epi32(l1, x1, bl);
  }
  void store(const IntQuery* q, std::int32_t* out) const {
    const __m512i bias =
        _mm512_set1_epi32(static_cast<int>(128u * static_cast<std::uint32_t>(q->sum)));
    _mm512_storeu_si512(out,
                        _mm512_sub_epi32(_mm512_add_epi32(_mm512_slli_epi32(h0, 8), l0), bias));
    _mm512_storeu_si512(out + 16,
                        _mm512_sub_epi32(_mm512_add_epi32(_mm512_slli_epi32(h1, 8), l1), bias));
  }
};

// The tile in two passes of three queries: each packed vector holds four
// codes of 16 rows, each query's four codes are broadcast to every lane;
// 3 queries x 2 vectors x 2 byte halves = 12 accumulators (GCC spills when
// asked to hold 24 across the loop). The packed rows stay in L1 between the
// passes.
void tile_avx512vnni(const IntQuery* const* qs, const std::uint8_t* packed, std::size_t width,
                     std::int32_t* out) {
  static_assert(kIntTileQueries == 6 && kIntTileRows == 32);
  for (std::size_t part = 0; part < 6; part += 3) {
    TileAcc a0, a1, a2;
    const IntQuery* q0 = qs[part];
    const IntQuery* q1 = qs[part + 1];
    const IntQuery* q2 = qs[part + 2];
    for (std::size_t c = 0; c < width; c += 4) {
      const std::uint8_t* p = packed + c * kIntTileRows;
      const __m512i x0 = _mm512_loadu_si512(p);
      const __m512i x1 = _mm512_loadu_si512(p + 64);
      a0.add(x0, x1, q0, c);
      a1.add(x0, x1, q1, c);
      a2.add(x0, x1, q2, c);
    }
    a0.store(q0, out + part * kIntTileRows);
    a1.store(q1, out + (part + 1) * kIntTileRows);
    a2.store(q2, out + (part + 2) * kIntTileRows);
  }
}
#pragma GCC diagnostic pop

}  // namespace

namespace detail {
constinit const IntRowsKernel kIntAvx512Vnni = &rows_avx512vnni;
constinit const IntTileKernel kIntTileAvx512Vnni = &tile_avx512vnni;
}  // namespace detail

}  // namespace lumvero::kernels
