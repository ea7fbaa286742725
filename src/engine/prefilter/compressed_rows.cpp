// The int8 codes of the rows, their per-stripe error bounds and their lazy, growing build.
#include "engine/prefilter/compressed_rows.h"

#include <emmintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "engine/kernels/int_kernels.h"
#include "engine/runtime/memory_info.h"
#include "engine/runtime/pool.h"
#include "engine/runtime/tuning.h"
#include "engine/search/score_error.h"

namespace lumvero {

namespace {

constexpr std::int32_t kCodeMax = 127;
// The byte that stores code 0 (codes are kept as c + 128).
constexpr std::uint8_t kZeroCode = 128;
constexpr std::size_t kAlign = 64;

struct RowCode {
  float scale;
  double resid;      // upper bound of ||x - s c||
  double code_norm;  // upper bound of s ||c||
};

// Codes of one row. The scale is rounded up so |x_i| / s <= 127 and no code
// clips. Any code is a valid code: the bound is taken over the residual that
// the codes actually leave, r_i = x_i - s c_i, evaluated in f64 where s c_i
// (at most 31 significant bits) is exact; only the subtraction, squares, sums
// and square roots round, which the inflation by 1 + gamma64(n + 2) covers.
// The loops are plain so that they vectorise: the build touches every value.
RowCode encode(const float* x, std::size_t dims, std::size_t width, std::uint8_t* out) {
  // Non-negative floats order as their bit patterns, and |x| >= inf in bits
  // exactly for an infinity or a NaN: one integer maximum finds both.
  std::uint32_t max_bits = 0;
  for (std::size_t i = 0; i < dims; ++i) {
    const std::uint32_t b = std::bit_cast<std::uint32_t>(x[i]) & 0x7fffffffu;
    max_bits = b > max_bits ? b : max_bits;
  }
  std::fill(out, out + width, kZeroCode);
  if (max_bits >= 0x7f800000u) return {std::numeric_limits<float>::quiet_NaN(), 0.0, 0.0};
  if (max_bits == 0) return {0.0f, 0.0, 0.0};
  const double want = static_cast<double>(std::bit_cast<float>(max_bits)) / kCodeMax;
  float s = static_cast<float>(want);
  if (static_cast<double>(s) < want) s = std::nextafter(s, std::numeric_limits<float>::infinity());
  const double sd = static_cast<double>(s);
  // Adding and removing 1.5 * 2^23 rounds a float of magnitude < 2^22 to the
  // nearest integer (ties to even). Below 2^-100 the reciprocal of s could
  // overflow binary32, so such rows take the same steps in f64.
  constexpr float kRound = 12582912.0f;
  constexpr float kMax = kCodeMax;
  const bool tiny = s < 0x1p-100f;
  const float inv = tiny ? 0.0f : 1.0f / s;
  std::int32_t c2 = 0;  // exact: build() refuses rows too wide for int32 sums
  for (std::size_t i = 0; i < dims; ++i) {
    float c = (x[i] * inv + kRound) - kRound;
    c = c > kMax ? kMax : c;
    c = c < -kMax ? -kMax : c;
    const auto ci = static_cast<std::int32_t>(c);
    out[i] = static_cast<std::uint8_t>(ci + kZeroCode);
    c2 += ci * ci;
  }
  if (tiny) {  // the loop above saw inv = 0: every code 0
    c2 = 0;
    for (std::size_t i = 0; i < dims; ++i) {
      const auto ci = static_cast<std::int32_t>(
          std::clamp(std::nearbyint(static_cast<double>(x[i]) / sd), -double{kMax}, double{kMax}));
      out[i] = static_cast<std::uint8_t>(ci + kZeroCode);
      c2 += ci * ci;
    }
  }
  // Squares of r_i = x_i - s c_i, two f64 lanes at a time (SSE2, which every
  // x86-64 processor has; the compiler will not vectorise a reduction).
  const __m128d sv = _mm_set1_pd(sd);
  const __m128i zero = _mm_setzero_si128();
  const __m128i bias = _mm_set1_epi32(kZeroCode);
  __m128d acc0 = _mm_setzero_pd(), acc1 = _mm_setzero_pd();
  std::size_t i = 0;
  for (; i + 4 <= dims; i += 4) {
    const __m128 xf = _mm_loadu_ps(x + i);
    std::int32_t bytes;
    std::memcpy(&bytes, out + i, sizeof bytes);
    const __m128i c = _mm_sub_epi32(
        _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(bytes), zero), zero), bias);
    const __m128d r0 = _mm_sub_pd(_mm_cvtps_pd(xf), _mm_mul_pd(sv, _mm_cvtepi32_pd(c)));
    const __m128d r1 = _mm_sub_pd(_mm_cvtps_pd(_mm_movehl_ps(xf, xf)),
                                  _mm_mul_pd(sv, _mm_cvtepi32_pd(_mm_shuffle_epi32(c, 0x0E))));
    acc0 = _mm_add_pd(acc0, _mm_mul_pd(r0, r0));
    acc1 = _mm_add_pd(acc1, _mm_mul_pd(r1, r1));
  }
  alignas(16) double lanes[4];
  _mm_store_pd(lanes, acc0);
  _mm_store_pd(lanes + 2, acc1);
  double r2 = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
  for (; i < dims; ++i) {
    const double r = static_cast<double>(x[i]) - sd * (out[i] - kZeroCode);
    r2 += r * r;
  }
  const double inflate = 1.0 + score_error::gamma64(dims + 2);
  return {s, std::sqrt(r2) * inflate, sd * std::sqrt(static_cast<double>(c2)) * inflate};
}

}  // namespace

void CompressedRows::FreeAligned::operator()(std::uint8_t* p) const {
  ::operator delete[](p, std::align_val_t{kAlign});
}

std::size_t CompressedRows::width_for(std::uint64_t dims) {
  const std::uint64_t step = kernels::kIntWidthStep;
  return static_cast<std::size_t>((std::max<std::uint64_t>(dims, 1) + step - 1) / step * step);
}

std::int32_t CompressedRows::query_code_limit(std::size_t width) {
  // The kernels' contract: width * 128 * max|q| < 2^31.
  const std::uint64_t limit =
      static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()) / (128 * width);
  // Fewer than 8 bits of query would leave a bound too wide to filter.
  if (limit < 255) return 0;
  return static_cast<std::int32_t>(
      std::min<std::uint64_t>(limit, static_cast<std::uint64_t>(kernels::kIntQueryMax)));
}

std::uint64_t CompressedRows::bytes_for(std::uint64_t rows, std::uint64_t dims) {
  const std::uint64_t stripes = (rows + kStripeRows - 1) / kStripeRows;
  return rows * (width_for(dims) + sizeof(float)) + stripes * sizeof(StripeBounds);
}

std::unique_ptr<CompressedRows> CompressedRows::reserve(std::uint64_t capacity,
                                                        std::uint64_t dims) {
  const std::size_t width = width_for(dims);
  if (query_code_limit(width) == 0) return nullptr;  // too wide to pre-filter
  const std::uint64_t stripes = (capacity + kStripeRows - 1) / kStripeRows;
  if (capacity > std::numeric_limits<std::size_t>::max() / (width + 64)) return nullptr;
  std::unique_ptr<CompressedRows> out(new CompressedRows());
  out->capacity_ = capacity;
  out->dims_ = dims;
  out->width_ = width;
  out->codes_.reset(static_cast<std::uint8_t*>(::operator new[](
      std::max<std::uint64_t>(capacity, 1) * width, std::align_val_t{kAlign}, std::nothrow)));
  out->scales_.reset(new (std::nothrow) float[std::max<std::uint64_t>(capacity, 1)]);
  out->stripes_.reset(new (std::nothrow) StripeBounds[std::max<std::uint64_t>(stripes, 1)]);
  if (!out->codes_ || !out->scales_ || !out->stripes_) return nullptr;
  out->codes_at_ = out->codes_.get();
  out->scales_at_ = out->scales_.get();
  out->stripes_at_ = out->stripes_.get();
  return out;
}

std::unique_ptr<CompressedRows> CompressedRows::over(Mapping file, std::uint64_t rows,
                                                     std::uint64_t dims, const std::uint8_t* codes,
                                                     const float* scales,
                                                     const StripeBounds* stripes) {
  std::unique_ptr<CompressedRows> out(new CompressedRows());
  out->rows_ = rows;
  out->capacity_ = rows;
  out->dims_ = dims;
  out->width_ = width_for(dims);
  // Read-only: extend() never writes codes whose rows fill its capacity.
  out->codes_at_ = const_cast<std::uint8_t*>(codes);
  out->scales_at_ = const_cast<float*>(scales);
  out->stripes_at_ = const_cast<StripeBounds*>(stripes);
  out->file_ = std::move(file);
  return out;
}

bool CompressedRows::extend(const float* data, std::uint64_t upto, const double* norms_sq) {
  if (upto <= rows_) return true;
  if (upto > capacity_) return false;
  const std::uint64_t from = rows_;
  // Tasks start on whole stripes, so no two write the same stripe.
  const std::uint64_t first_stripe = from / kStripeRows;
  const std::uint64_t base = first_stripe * kStripeRows;
  const Status st = pool::for_chunks(
      static_cast<std::size_t>(upto - base), tuning::kPrefilterBuildRows,
      [&](std::size_t b0, std::size_t e0, std::size_t) {
        const std::uint64_t begin = base + b0, end = base + e0;
        for (std::uint64_t r0 = begin; r0 < end; r0 += kStripeRows) {
          const std::uint64_t r1 = std::min<std::uint64_t>(end, r0 + kStripeRows);
          // A stripe partly quantised before keeps its bounds and grows them.
          StripeBounds b = r0 < from ? stripes_at_[r0 / kStripeRows] : StripeBounds{};
          for (std::uint64_t r = std::max(r0, from); r < r1; ++r) {
            const RowCode rc = encode(data + r * dims_, dims_, width_, codes_at_ + r * width_);
            scales_at_[r] = rc.scale;
            if (std::isnan(rc.scale)) continue;  // never finite, never bounded
            b.resid = std::max(b.resid, rc.resid);
            b.code_norm = std::max(b.code_norm, rc.code_norm);
            if (norms_sq[r] < std::numeric_limits<double>::infinity())
              b.norm_sq = std::max(b.norm_sq, norms_sq[r]);
          }
          stripes_at_[r0 / kStripeRows] = b;
        }
      });
  if (!st) return false;
  rows_ = upto;
  return true;
}

std::unique_ptr<CompressedRows> CompressedRows::build(const float* data, std::uint64_t rows,
                                                      std::uint64_t dims, const double* norms_sq) {
  std::unique_ptr<CompressedRows> out = reserve(rows, dims);
  if (!out || !out->extend(data, rows, norms_sq)) return nullptr;
  return out;
}

RunCodes::View RunCodes::acquire(const float* data, std::uint64_t count, std::uint64_t capacity,
                                 std::uint64_t dims, const double* norms_sq,
                                 double available_bytes) const {
  {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    if (refused_) return {};
    if (rows_ && rows_->rows() >= count) return {std::move(lock), rows_.get()};
  }
  {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    PrefilterCounters& counters = prefilter_counters();
    if (!refused_ && !rows_) {
      capacity = std::max(capacity, count);
      const double need = static_cast<double>(CompressedRows::bytes_for(capacity, dims));
      if (available_bytes < 0.0) available_bytes = available_memory_bytes();
      if (need > tuning::kPrefilterMemoryShare * available_bytes) {
        refused_ = true;
      } else {
        rows_ = CompressedRows::reserve(capacity, dims);
        refused_ = !rows_;
      }
      if (refused_) {
        counters.codes_refused.fetch_add(1, std::memory_order_relaxed);
      } else {
        counters.codes_built.fetch_add(1, std::memory_order_relaxed);
        counters.codes_bytes.fetch_add(rows_->bytes(), std::memory_order_relaxed);
      }
    }
    if (refused_) return {};
    if (rows_->rows() < count && !rows_->extend(data, count, norms_sq)) {
      // Rows beyond the reserved capacity, or a failed task: the codes stand
      // as it was, and this search reads floats.
      return {};
    }
  }
  // Another search may extend it further in between; it never shrinks.
  std::shared_lock<std::shared_mutex> lock(mutex_);
  return {std::move(lock), rows_.get()};
}

void RunCodes::note_wide() const {
  wide_skips_.store(tuning::kPrefilterWideSkips, std::memory_order_relaxed);
}

bool RunCodes::skip_wide() const {
  std::uint32_t left = wide_skips_.load(std::memory_order_relaxed);
  // Racing searches may both take the last skip: a hint, so either is fine.
  while (left > 0 &&
         !wide_skips_.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
  }
  return left > 0;
}

bool RunCodes::refused() const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  return refused_;
}

bool RunCodes::ready(std::uint64_t count) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  return !refused_ && rows_ && rows_->rows() >= count;
}

void RunCodes::adopt(std::unique_ptr<CompressedRows> rows) {
  std::unique_lock<std::shared_mutex> lock(mutex_);
  rows_ = std::move(rows);
  refused_ = !rows_;
}

bool RunCodes::damaged() const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  return rows_ && rows_->damaged();
}

QueryCodes encode_query(const float* q, std::size_t dims, std::size_t width) {
  const std::int32_t limit = CompressedRows::query_code_limit(width);
  QueryCodes out;
  std::vector<std::int16_t> codes(width, 0);
  double max_abs = 0.0;
  for (std::size_t i = 0; i < dims; ++i) max_abs = std::max(max_abs, std::fabs(double{q[i]}));
  if (max_abs > 0.0) {
    // t = 2^e >= max_abs / limit, so |q_i| / t <= limit; a power of two keeps
    // q_i / t and t p_i exact.
    int e = 0;
    std::frexp(max_abs / limit, &e);
    out.scale = std::ldexp(1.0, e);
    double e2 = 0.0;
    for (std::size_t i = 0; i < dims; ++i) {
      const double p = std::nearbyint(static_cast<double>(q[i]) / out.scale);
      codes[i] = static_cast<std::int16_t>(p);
      const double d = static_cast<double>(q[i]) - out.scale * p;
      e2 += d * d;
    }
    out.error = std::sqrt(e2) * (1.0 + score_error::gamma64(dims + 2));
  }
  out.codes = kernels::prepare_int_query(codes.data(), width);
  return out;
}

PrefilterCounters& prefilter_counters() {
  static PrefilterCounters counters;
  return counters;
}

}  // namespace lumvero
