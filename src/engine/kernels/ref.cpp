// The reference variant: 128-bit SSE2, which every x86-64 processor has. Its
// two registers per row are literally the A and B accumulators of the layout
// in kernels.h, so this file is the definition the wider variants are tested
// against. The scalar kernels and the query norm live here as well.
#include <emmintrin.h>
#include <xmmintrin.h>

#include <cstddef>

#include "engine/kernels/impl.h"
#include "engine/kernels/term.h"

namespace lumvero::kernels {

namespace {

// One term of the sum: q*x, or d*d with d = q - x (query minus row).
template <bool kL2>
inline __m128 term4(__m128 q, __m128 x) {
  if constexpr (kL2) {
    const __m128 d = _mm_sub_ps(q, x);
    return _mm_mul_ps(d, d);
  } else {
    return _mm_mul_ps(q, x);
  }
}

// ((v0 + v1) + v2) + v3, in exactly that order.
inline float sum_lanes_in_order(__m128 v) {
  alignas(16) float l[4];
  _mm_store_ps(l, v);
  return ((l[0] + l[1]) + l[2]) + l[3];
}

template <bool kL2>
float row_ref(const float* q, const float* x, std::size_t n) {
  __m128 a = _mm_setzero_ps();
  __m128 b = _mm_setzero_ps();
  const std::size_t chunks = n / 8;
  for (std::size_t c = 0; c < chunks; ++c) {
    const float* qc = q + 8 * c;
    const float* xc = x + 8 * c;
    a = _mm_add_ps(a, term4<kL2>(_mm_loadu_ps(qc), _mm_loadu_ps(xc)));
    b = _mm_add_ps(b, term4<kL2>(_mm_loadu_ps(qc + 4), _mm_loadu_ps(xc + 4)));
  }
  float s = sum_lanes_in_order(a) + sum_lanes_in_order(b);
  for (std::size_t i = chunks * 8; i < n; ++i) s += term1<kL2>(q[i], x[i]);
  return s;
}

// Four rows per step, for instruction-level parallelism: eight independent
// accumulator chains instead of two. The rows are taken from four separate
// quarters of the range (row i of each), not four neighbours: each quarter is
// then read strictly front to back, which the hardware prefetcher follows at
// full memory bandwidth, whereas neighbouring rows read side by side defeat
// it. After a 4x4 transpose, register l holds lane l of the four rows and the
// in-order horizontal sum becomes three vertical adds.
template <bool kL2>
void rows_ref(const float* q, const float* rows, std::size_t dims, std::size_t count, float* out) {
  const std::size_t chunks = dims / 8;
  const std::size_t tail = chunks * 8;
  const std::size_t quarter = count / 4;
  for (std::size_t i = 0; i < quarter; ++i) {
    const float* x[4];
    for (std::size_t r = 0; r < 4; ++r) x[r] = rows + (r * quarter + i) * dims;
    __m128 a0 = _mm_setzero_ps(), a1 = _mm_setzero_ps(), a2 = _mm_setzero_ps(),
           a3 = _mm_setzero_ps();
    __m128 b0 = _mm_setzero_ps(), b1 = _mm_setzero_ps(), b2 = _mm_setzero_ps(),
           b3 = _mm_setzero_ps();
    for (std::size_t c = 0; c < chunks; ++c) {
      const std::size_t o = 8 * c;
      const __m128 qa = _mm_loadu_ps(q + o);
      const __m128 qb = _mm_loadu_ps(q + o + 4);
      a0 = _mm_add_ps(a0, term4<kL2>(qa, _mm_loadu_ps(x[0] + o)));
      b0 = _mm_add_ps(b0, term4<kL2>(qb, _mm_loadu_ps(x[0] + o + 4)));
      a1 = _mm_add_ps(a1, term4<kL2>(qa, _mm_loadu_ps(x[1] + o)));
      b1 = _mm_add_ps(b1, term4<kL2>(qb, _mm_loadu_ps(x[1] + o + 4)));
      a2 = _mm_add_ps(a2, term4<kL2>(qa, _mm_loadu_ps(x[2] + o)));
      b2 = _mm_add_ps(b2, term4<kL2>(qb, _mm_loadu_ps(x[2] + o + 4)));
      a3 = _mm_add_ps(a3, term4<kL2>(qa, _mm_loadu_ps(x[3] + o)));
      b3 = _mm_add_ps(b3, term4<kL2>(qb, _mm_loadu_ps(x[3] + o + 4)));
    }
    _MM_TRANSPOSE4_PS(a0, a1, a2, a3);
    _MM_TRANSPOSE4_PS(b0, b1, b2, b3);
    const __m128 sa = _mm_add_ps(_mm_add_ps(_mm_add_ps(a0, a1), a2), a3);
    const __m128 sb = _mm_add_ps(_mm_add_ps(_mm_add_ps(b0, b1), b2), b3);
    alignas(16) float sums[4];
    _mm_store_ps(sums, _mm_add_ps(sa, sb));
    for (std::size_t r = 0; r < 4; ++r) {
      float v = sums[r];
      for (std::size_t e = tail; e < dims; ++e) v += term1<kL2>(q[e], x[r][e]);
      out[r * quarter + i] = v;
    }
  }
  for (std::size_t j = 4 * quarter; j < count; ++j) out[j] = row_ref<kL2>(q, rows + j * dims, dims);
}

}  // namespace

namespace detail {
constinit const Variant kReferenceVariant{&row_ref<false>, &row_ref<true>, &rows_ref<false>,
                                          &rows_ref<true>};
}  // namespace detail

float dot_scalar(const float* q, const float* x, std::size_t n) {
  float s = 0.0f;
  for (std::size_t i = 0; i < n; ++i) s += q[i] * x[i];
  return s;
}

float l2sq_scalar(const float* q, const float* x, std::size_t n) {
  float s = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const float d = q[i] - x[i];
    s += d * d;
  }
  return s;
}

double query_norm_sq(const float* q, std::size_t n) {
  double s = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double v = static_cast<double>(q[i]);
    s += v * v;
  }
  return s;
}

}  // namespace lumvero::kernels
