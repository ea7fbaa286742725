// AVX-512 variant (this file alone is compiled with -mavx512f/vl/dq/bw; never
// with FMA).
//
// A 512-bit register holds the A|B accumulators of two rows: row p in the low
// 256 bits and row p+4 in the high 256 bits, with the query chunk broadcast to
// both halves. Each lane still receives exactly its row's terms chunk by chunk
// in increasing order, so the result is bit-identical to the reference; only
// the number of rows per instruction changes. Single rows use 256-bit
// registers, exactly as the AVX2 variant does.
//
// Everything here has internal linkage and nothing from other headers is
// instantiated, so no AVX-512-compiled inline function can leak to code that
// runs on a CPU without it.
// GCC 12 flags its own AVX-512 intrinsics' "undefined" self-initialisation
// idiom as maybe-uninitialised when they are inlined; silence only that.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <cstddef>
#include <cstdint>

#include "engine/kernels.h"

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

template <bool kL2>
inline __m256 term8(__m256 q, __m256 x) {
  if constexpr (kL2) {
    const __m256 d = _mm256_sub_ps(q, x);
    return _mm256_mul_ps(d, d);
  } else {
    return _mm256_mul_ps(q, x);
  }
}

template <bool kL2>
inline float term1(float q, float x) {
  if constexpr (kL2) {
    const float d = q - x;
    return d * d;
  } else {
    return q * x;
  }
}

// The same 8-element chunk of two rows: lo in the low half, hi in the high half.
inline __m512 load_pair(const float* lo, const float* hi) {
  return _mm512_insertf32x8(_mm512_castps256_ps512(_mm256_loadu_ps(lo)), _mm256_loadu_ps(hi), 1);
}

// (((A0+A1)+A2)+A3) + (((B0+B1)+B2)+B3) of one row's accumulator.
inline float reduce_row(__m256 acc) {
  alignas(32) float l[8];
  _mm256_store_ps(l, acc);
  return (((l[0] + l[1]) + l[2]) + l[3]) + (((l[4] + l[5]) + l[6]) + l[7]);
}

// Four rows, one 256-bit accumulator each; see the AVX2 variant.
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

// Eight rows held as p_k = [row k | row k+4], k = 0..3. The per-128-bit-lane
// transpose gives c_l with 128-bit blocks (A of rows 0-3, B of rows 0-3,
// A of rows 4-7, B of rows 4-7), each lane holding lane l of its row, so
// ((c0+c1)+c2)+c3 is every row's in-order lane sum. Regrouping the blocks as
// (A0-3, A4-7 | B0-3, B4-7) and adding the halves gives rows 0..7 in order.
inline __m256 reduce_rows8(__m512 p0, __m512 p1, __m512 p2, __m512 p3) {
  const __m512 t0 = _mm512_unpacklo_ps(p0, p1);
  const __m512 t1 = _mm512_unpackhi_ps(p0, p1);
  const __m512 t2 = _mm512_unpacklo_ps(p2, p3);
  const __m512 t3 = _mm512_unpackhi_ps(p2, p3);
  const __m512 c0 = _mm512_shuffle_ps(t0, t2, 0x44);
  const __m512 c1 = _mm512_shuffle_ps(t0, t2, 0xEE);
  const __m512 c2 = _mm512_shuffle_ps(t1, t3, 0x44);
  const __m512 c3 = _mm512_shuffle_ps(t1, t3, 0xEE);
  const __m512 u = _mm512_add_ps(_mm512_add_ps(_mm512_add_ps(c0, c1), c2), c3);
  const __m512 g = _mm512_shuffle_f32x4(u, u, _MM_SHUFFLE(3, 1, 2, 0));
  return _mm256_add_ps(_mm512_castps512_ps256(g), _mm512_extractf32x8_ps(g, 1));
}

template <bool kL2>
inline void add_tails(const float* q, const float* first_row, std::size_t dims, std::size_t tail,
                      std::size_t nrows, float* out) {
  for (std::size_t r = 0; r < nrows; ++r) {
    const float* x = first_row + r * dims;
    float s = out[r];
    for (std::size_t i = tail; i < dims; ++i) s += term1<kL2>(q[i], x[i]);
    out[r] = s;
  }
}

#ifndef LV_PF_BYTES
#define LV_PF_BYTES 8192
#endif
inline std::uintptr_t prefetch_distance(std::uintptr_t block_bytes) {
  std::uintptr_t d = block_bytes;
  while (d < LV_PF_BYTES) d += block_bytes;
  return d;
}

template <int kLines>
inline void prefetch_lines(std::uintptr_t addr) {
  for (int i = 0; i < kLines; ++i) _mm_prefetch(reinterpret_cast<const char*>(addr + 64 * i), _MM_HINT_T0);
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

template <bool kL2>
void rows_avx512(const float* q, const float* rows, std::size_t dims, std::size_t count,
                 float* out) {
  const std::size_t chunks = dims / 8;
  const std::size_t tail = chunks * 8;
  std::size_t j = 0;
  const std::uintptr_t ahead = prefetch_distance(8 * dims * sizeof(float));
  for (; j + 8 <= count; j += 8) {
    const float* x0 = rows + j * dims;
    const float* x1 = x0 + dims;
    const float* x2 = x1 + dims;
    const float* x3 = x2 + dims;
    const float* x4 = x3 + dims;
    const float* x5 = x4 + dims;
    const float* x6 = x5 + dims;
    const float* x7 = x6 + dims;
    const std::uintptr_t pf = reinterpret_cast<std::uintptr_t>(x0) + ahead;
    __m512 p0 = _mm512_setzero_ps(), p1 = _mm512_setzero_ps(), p2 = _mm512_setzero_ps(),
           p3 = _mm512_setzero_ps();
    for (std::size_t c = 0; c < chunks; ++c) {
      const std::size_t o = 8 * c;
      prefetch_lines<4>(pf + 256 * c);
      const __m512 qq = _mm512_broadcast_f32x8(_mm256_loadu_ps(q + o));
      p0 = _mm512_add_ps(p0, term16<kL2>(qq, load_pair(x0 + o, x4 + o)));
      p1 = _mm512_add_ps(p1, term16<kL2>(qq, load_pair(x1 + o, x5 + o)));
      p2 = _mm512_add_ps(p2, term16<kL2>(qq, load_pair(x2 + o, x6 + o)));
      p3 = _mm512_add_ps(p3, term16<kL2>(qq, load_pair(x3 + o, x7 + o)));
    }
    _mm256_storeu_ps(out + j, reduce_rows8(p0, p1, p2, p3));
    if (tail < dims) add_tails<kL2>(q, x0, dims, tail, 8, out + j);
  }
  if (j + 4 <= count) {
    const float* x0 = rows + j * dims;
    const float* x1 = x0 + dims;
    const float* x2 = x1 + dims;
    const float* x3 = x2 + dims;
    __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps(), a2 = _mm256_setzero_ps(),
           a3 = _mm256_setzero_ps();
    for (std::size_t c = 0; c < chunks; ++c) {
      const std::size_t o = 8 * c;
      const __m256 qv = _mm256_loadu_ps(q + o);
      a0 = _mm256_add_ps(a0, term8<kL2>(qv, _mm256_loadu_ps(x0 + o)));
      a1 = _mm256_add_ps(a1, term8<kL2>(qv, _mm256_loadu_ps(x1 + o)));
      a2 = _mm256_add_ps(a2, term8<kL2>(qv, _mm256_loadu_ps(x2 + o)));
      a3 = _mm256_add_ps(a3, term8<kL2>(qv, _mm256_loadu_ps(x3 + o)));
    }
    _mm_storeu_ps(out + j, reduce_rows4(a0, a1, a2, a3));
    if (tail < dims) add_tails<kL2>(q, x0, dims, tail, 4, out + j);
    j += 4;
  }
  for (; j < count; ++j) out[j] = row_avx512<kL2>(q, rows + j * dims, dims);
}

}  // namespace

namespace detail {
constinit const Variant kAvx512Variant{&row_avx512<false>, &row_avx512<true>,
                                       &rows_avx512<false>, &rows_avx512<true>};
}  // namespace detail

}  // namespace lumvero::kernels
