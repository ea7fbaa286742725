// Scoring kernels and the sgemm wrappers.
//
// The per-row scores must be reproducible bit for bit, so every variant is
// compared with the reference, and the reference with an emulation of the
// lane layout written here from its definition (element i goes to lane i mod 8
// while whole chunks remain). Data spans many binades so that any change in
// the order of additions shows up as a different result.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/format/index_format.h"
#include "engine/kernels/cpu_features.h"
#include "engine/kernels/impl.h"
#include "engine/kernels/int_kernels.h"
#include "engine/search/matrix.h"
#include "engine/status.h"
#include "index_fixture.h"

namespace lumvero {
namespace {

using kernels::Isa;

constexpr Isa kAllIsas[] = {Isa::Reference, Isa::Avx2, Isa::Avx512};
constexpr Metric kAllMetrics[] = {Metric::Cosine, Metric::Dot, Metric::Euclidean};

using testing::bits;

// Bit-identical, except that any NaN matches any NaN (payloads may differ).
::testing::AssertionResult Same(float expected, float actual) {
  if (std::isnan(expected) && std::isnan(actual)) return ::testing::AssertionSuccess();
  if (bits(expected) == bits(actual)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "expected " << expected << " (0x" << std::hex << bits(expected) << "), got " << actual
         << " (0x" << bits(actual) << ")";
}

float term(bool l2, float q, float x) {
  if (l2) {
    const float d = q - x;
    return d * d;
  }
  return q * x;
}

// The lane layout from its definition: lanes 0-3 are A, 4-7 are B.
float emulate_lanes(bool l2, const float* q, const float* x, std::size_t n) {
  float lane[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  const std::size_t whole = n - n % 8;
  for (std::size_t i = 0; i < whole; ++i) lane[i % 8] = lane[i % 8] + term(l2, q[i], x[i]);
  float a = lane[0];
  a = a + lane[1];
  a = a + lane[2];
  a = a + lane[3];
  float b = lane[4];
  b = b + lane[5];
  b = b + lane[6];
  b = b + lane[7];
  float s = a + b;
  for (std::size_t i = whole; i < n; ++i) s = s + term(l2, q[i], x[i]);
  return s;
}

float emulate_sequential(bool l2, const float* q, const float* x, std::size_t n) {
  float s = 0.0f;
  for (std::size_t i = 0; i < n; ++i) s = s + term(l2, q[i], x[i]);
  return s;
}

// Random sign, mantissa and exponent in [2^-12, 2^12], with some exact zeros
// and subnormals, so that rounding depends on the order of the additions.
class WideData {
 public:
  explicit WideData(std::uint64_t seed) : rng_(seed) {}
  float value() {
    const int kind = std::uniform_int_distribution<int>(0, 99)(rng_);
    if (kind == 0) return 0.0f;
    if (kind == 1) return std::numeric_limits<float>::denorm_min() * 37.0f;
    const float mant = std::uniform_real_distribution<float>(1.0f, 2.0f)(rng_);
    const int exp = std::uniform_int_distribution<int>(-12, 12)(rng_);
    const float v = std::ldexp(mant, exp);
    return std::uniform_int_distribution<int>(0, 1)(rng_) ? v : -v;
  }
  std::vector<float> vec(std::size_t n) {
    std::vector<float> v(n);
    for (float& f : v) f = value();
    return v;
  }
  std::size_t index(std::size_t below) {
    return std::uniform_int_distribution<std::size_t>(0, below - 1)(rng_);
  }

 private:
  std::mt19937_64 rng_;
};

std::vector<std::size_t> test_dims() {
  std::vector<std::size_t> d;
  for (std::size_t n = 0; n <= 40; ++n) d.push_back(n);
  d.push_back(97);
  d.push_back(384);
  d.push_back(768);
  return d;
}

TEST(Kernels, ReferenceMatchesLaneEmulation) {
  WideData data(1);
  for (std::size_t n : test_dims()) {
    for (int trial = 0; trial < 25; ++trial) {
      const auto q = data.vec(n), x = data.vec(n);
      ASSERT_TRUE(Same(emulate_lanes(false, q.data(), x.data(), n),
                       kernels::dot_with(Isa::Reference, q.data(), x.data(), n)))
          << "dot n=" << n;
      ASSERT_TRUE(Same(emulate_lanes(true, q.data(), x.data(), n),
                       kernels::l2sq_with(Isa::Reference, q.data(), x.data(), n)))
          << "l2sq n=" << n;
    }
  }
}

TEST(Kernels, EveryVariantMatchesReference) {
  WideData data(2);
  for (Isa isa : kAllIsas) {
    if (!kernels::isa_supported(isa)) continue;
    for (std::size_t n : test_dims()) {
      for (int trial = 0; trial < 25; ++trial) {
        const auto q = data.vec(n), x = data.vec(n);
        ASSERT_TRUE(Same(kernels::dot_with(Isa::Reference, q.data(), x.data(), n),
                         kernels::dot_with(isa, q.data(), x.data(), n)))
            << kernels::isa_name(isa) << " dot n=" << n;
        ASSERT_TRUE(Same(kernels::l2sq_with(Isa::Reference, q.data(), x.data(), n),
                         kernels::l2sq_with(isa, q.data(), x.data(), n)))
            << kernels::isa_name(isa) << " l2sq n=" << n;
      }
    }
  }
}

TEST(Kernels, DispatchedKernelsUseTheLaneLayout) {
  EXPECT_TRUE(kernels::isa_supported(Isa::Reference));
  EXPECT_TRUE(kernels::isa_supported(kernels::active_isa()));
  if (kernels::isa_supported(Isa::Avx2)) {
    EXPECT_NE(kernels::active_isa(), Isa::Reference);
  }
  WideData data(3);
  for (std::size_t n : test_dims()) {
    const auto q = data.vec(n), x = data.vec(n);
    ASSERT_TRUE(Same(emulate_lanes(false, q.data(), x.data(), n),
                     kernels::dot_simd(q.data(), x.data(), n)));
    ASSERT_TRUE(Same(emulate_lanes(true, q.data(), x.data(), n),
                     kernels::l2sq_simd(q.data(), x.data(), n)));
  }
}

TEST(Kernels, ScalarKernelsSumLeftToRight) {
  WideData data(4);
  for (std::size_t n : test_dims()) {
    const auto q = data.vec(n), x = data.vec(n);
    ASSERT_TRUE(Same(emulate_sequential(false, q.data(), x.data(), n),
                     kernels::dot_scalar(q.data(), x.data(), n)));
    ASSERT_TRUE(Same(emulate_sequential(true, q.data(), x.data(), n),
                     kernels::l2sq_scalar(q.data(), x.data(), n)));
  }
}

TEST(Kernels, BelowEightElementsVectorEqualsScalar) {
  WideData data(5);
  for (std::size_t n = 1; n < 8; ++n) {
    for (int trial = 0; trial < 50; ++trial) {
      const auto q = data.vec(n), x = data.vec(n);
      for (Isa isa : kAllIsas) {
        if (!kernels::isa_supported(isa)) continue;
        ASSERT_TRUE(Same(kernels::dot_scalar(q.data(), x.data(), n),
                         kernels::dot_with(isa, q.data(), x.data(), n)));
        ASSERT_TRUE(Same(kernels::l2sq_scalar(q.data(), x.data(), n),
                         kernels::l2sq_with(isa, q.data(), x.data(), n)));
      }
    }
  }
}

// Derived by hand: 2^24 + 1 rounds back to 2^24 (ties to even), so the
// sequential sum loses all seven ones, while the lanes add three of them to
// 2^24 (lost the same way) and the four in B separately (exactly 4).
TEST(Kernels, LaneLayoutKeepsTermsTheSequentialSumLoses) {
  const std::vector<float> ones(9, 1.0f);
  std::vector<float> x(9, 1.0f);
  x[0] = 16777216.0f;
  EXPECT_EQ(kernels::dot_scalar(ones.data(), x.data(), 8), 16777216.0f);
  EXPECT_EQ(kernels::dot_simd(ones.data(), x.data(), 8), 16777220.0f);
  // Ninth element is a tail term added after the horizontal sum: 2^24 + 5
  // rounds to 2^24 + 4.
  EXPECT_EQ(kernels::dot_simd(ones.data(), x.data(), 9), 16777220.0f);
  std::vector<float> zeros(8, 0.0f);
  std::vector<float> y(8, 1.0f);
  y[0] = 4096.0f;  // (0 - 4096)^2 = 2^24
  EXPECT_EQ(kernels::l2sq_scalar(zeros.data(), y.data(), 8), 16777216.0f);
  EXPECT_EQ(kernels::l2sq_simd(zeros.data(), y.data(), 8), 16777220.0f);
}

// The random data must be able to tell the layout apart from plausible wrong
// ones, or the bit-exact comparisons above would prove little.
TEST(Kernels, RandomDataDistinguishesSummationOrders) {
  WideData data(6);
  int differs_from_sequential = 0, differs_from_pairwise = 0;
  for (int trial = 0; trial < 200; ++trial) {
    const std::size_t n = 384;
    const auto q = data.vec(n), x = data.vec(n);
    const float ref = kernels::dot_with(Isa::Reference, q.data(), x.data(), n);
    if (bits(ref) != bits(emulate_sequential(false, q.data(), x.data(), n)))
      ++differs_from_sequential;
    float lane[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (std::size_t i = 0; i < n; ++i) lane[i % 8] = lane[i % 8] + q[i] * x[i];
    const float pairwise =
        ((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7]));
    if (bits(ref) != bits(pairwise)) ++differs_from_pairwise;
  }
  EXPECT_GT(differs_from_sequential, 20);
  EXPECT_GT(differs_from_pairwise, 20);
}

TEST(Kernels, ScoreRowsMatchesReferenceForEveryVariant) {
  WideData data(7);
  const std::size_t counts[] = {0, 1, 3, 4, 5, 7, 8, 9, 12, 15, 16, 17, 31, 33, 64, 130};
  for (Isa isa : kAllIsas) {
    if (!kernels::isa_supported(isa)) continue;
    for (std::size_t dims : test_dims()) {
      for (std::size_t count : counts) {
        const auto q = data.vec(dims);
        // Exact-size buffer starting one float in: rows are only 4-byte
        // aligned, and the sanitizer catches any read past the last row.
        std::vector<float> storage = data.vec(count * dims + 1);
        const float* rows = storage.data() + 1;
        for (Metric m : kAllMetrics) {
          const bool l2 = m == Metric::Euclidean;
          std::vector<float> out(count + 1, -1234.5f);
          kernels::score_rows_with(isa, m, q.data(), rows, dims, count, out.data());
          for (std::size_t j = 0; j < count; ++j) {
            const float* x = rows + j * dims;
            const float ref = l2 ? kernels::l2sq_with(Isa::Reference, q.data(), x, dims)
                                 : kernels::dot_with(Isa::Reference, q.data(), x, dims);
            ASSERT_TRUE(Same(ref, out[j]))
                << kernels::isa_name(isa) << " metric " << int(m) << " dims " << dims << " count "
                << count << " row " << j;
            ASSERT_TRUE(Same(emulate_lanes(l2, q.data(), x, dims), out[j]));
          }
          ASSERT_EQ(out[count], -1234.5f) << "wrote past count";
        }
      }
    }
  }
}

// The integer kernels: exact sums, so every variant equals a plain int64 sum,
// including codes and query values at the ends of their ranges (where a
// saturating pair add would clip, and where the wrapping lanes must come back
// to the exact total) and rows that are not 64-byte aligned.
TEST(Kernels, IntegerRowsEqualExactSumsForEveryVariant) {
  using kernels::IntIsa;
  std::mt19937 gen(11);
  const std::size_t counts[] = {0, 1, 3, 4, 5, 9, 17};
  for (const IntIsa isa : {IntIsa::Reference, IntIsa::Avx2, IntIsa::AvxVnni, IntIsa::Avx512Vnni}) {
    if (!kernels::int_isa_supported(isa)) continue;
    for (const std::size_t width : {64u, 128u, 192u, 448u, 832u}) {
      const std::int32_t limit =
          std::min<std::int32_t>(kernels::kIntQueryMax, 2147483647 / (128 * width));
      for (const std::size_t count : counts) {
        // random, all extremes, alternating signs, the byte split's edges
        for (const int pattern : {0, 1, 2, 3}) {
          std::vector<std::int16_t> q(width);
          std::vector<std::uint8_t> storage(count * width + 1);
          std::uint8_t* rows = storage.data() + 1;
          const std::int32_t edges[] = {-limit, -257, -256, -255, -129, -128, -1,
                                        0,      1,    127,  128,  255,  256,  limit};
          for (std::size_t i = 0; i < width; ++i) {
            const std::int32_t r = static_cast<std::int32_t>(gen() % (2 * limit + 1)) - limit;
            const std::int32_t v = pattern == 0   ? r
                                   : pattern == 1 ? -limit
                                   : pattern == 2 ? (i % 2 ? -limit : limit)
                                                  : edges[i % 14];
            q[i] = static_cast<std::int16_t>(v);
          }
          for (std::size_t i = 0; i < count * width; ++i)
            rows[i] = static_cast<std::uint8_t>(pattern == 0   ? gen() % 256
                                                : pattern == 1 ? 0
                                                : pattern == 3 ? 255
                                                               : ((i / 2) % 2 ? 255 : 0));
          const kernels::IntQuery iq = kernels::prepare_int_query(q.data(), width);
          std::vector<std::int32_t> out(count + 1, 12345);
          kernels::int_rows_dot_with(isa, iq, rows, width, count, out.data());
          for (std::size_t j = 0; j < count; ++j) {
            std::int64_t want = 0;
            for (std::size_t i = 0; i < width; ++i)
              want += std::int64_t{q[i]} * (std::int64_t{rows[j * width + i]} - 128);
            ASSERT_EQ(out[j], want) << kernels::int_isa_name(isa) << " width " << width << " count "
                                    << count << " pattern " << pattern;
          }
          ASSERT_EQ(out[count], 12345) << "wrote past count";
        }
      }
    }
  }
  EXPECT_TRUE(kernels::int_isa_supported(kernels::active_int_isa()));
}

// The tile kernels, every variant, against plain int64 sums: the widths the
// compressed rows take, every number of real queries a batch's last tile can
// hold (the rest are the zero query it pads with, so each variant's partial
// passes are covered), rows counts that leave the tile partly padding, and
// the codes and query values at the ends of their ranges (-127/127 codes and
// the query code limit, where a saturating pair add would clip and wrapping
// lanes must come back to the exact total); packed rows not 32-byte aligned.
TEST(Kernels, IntegerTilesEqualExactSumsForEveryVariant) {
  using kernels::IntIsa;
  constexpr std::size_t kQ = kernels::kIntTileQueries, kR = kernels::kIntTileRows;
  std::mt19937 gen(12);
  const std::vector<std::int16_t> zeros(832, 0);
  for (const IntIsa isa : {IntIsa::Reference, IntIsa::Avx2, IntIsa::AvxVnni, IntIsa::Avx512Vnni}) {
    if (!kernels::int_isa_supported(isa)) continue;
    for (const std::size_t width : {64u, 128u, 192u, 384u, 448u, 832u}) {
      const std::int32_t limit =
          std::min<std::int32_t>(kernels::kIntQueryMax, 2147483647 / (128 * width));
      const kernels::IntQuery zero = kernels::prepare_int_query(zeros.data(), width);
      for (const std::size_t count : {0u, 1u, 7u, 8u, 9u, 16u, 17u, 31u, 32u}) {
        // random; all at the negative ends; alternating ends; the byte
        // split's edges against codes -128, -127 and 127
        for (const int pattern : {0, 1, 2, 3}) {
          std::vector<std::uint8_t> rows(count * width);
          for (std::size_t i = 0; i < rows.size(); ++i)
            rows[i] = static_cast<std::uint8_t>(pattern == 0   ? gen() % 256
                                                : pattern == 1 ? 1
                                                : pattern == 2 ? ((i / 2) % 2 ? 255 : 1)
                                                               : std::array{0, 1, 255}[i % 3]);
          std::vector<std::uint8_t> packed(width * kR + 1);
          kernels::int_pack_rows(rows.data(), width, count, packed.data() + 1);
          const std::int32_t edges[] = {-limit, -257, -256, -255, -129, -128, -1,
                                        0,      1,    127,  128,  255,  256,  limit};
          std::vector<kernels::IntQuery> tq;
          for (std::size_t t = 0; t < kQ; ++t) {
            std::vector<std::int16_t> v(width);
            for (std::size_t i = 0; i < width; ++i) {
              const std::int32_t r = static_cast<std::int32_t>(gen() % (2 * limit + 1)) - limit;
              const std::int32_t sign = t % 2 ? -1 : 1;
              v[i] = static_cast<std::int16_t>(pattern == 0   ? r
                                               : pattern == 1 ? -limit
                                               : pattern == 2 ? sign * (i % 2 ? -limit : limit)
                                                              : sign * edges[(i + t) % 14]);
            }
            tq.push_back(kernels::prepare_int_query(v.data(), width));
          }
          for (std::size_t real = 1; real <= kQ; ++real) {
            const kernels::IntQuery* qs[kQ];
            for (std::size_t t = 0; t < kQ; ++t) qs[t] = t < real ? &tq[t] : &zero;
            std::vector<std::int32_t> tile(kQ * kR + 1, 12345);
            kernels::int_tile_dot_with(isa, qs, packed.data() + 1, width, tile.data());
            for (std::size_t t = 0; t < kQ; ++t)
              for (std::size_t j = 0; j < kR; ++j) {
                std::int64_t want = 0;
                for (std::size_t i = 0; j < count && i < width; ++i)
                  want += std::int64_t{qs[t]->q[i]} * (std::int64_t{rows[j * width + i]} - 128);
                ASSERT_EQ(tile[t * kR + j], want)
                    << kernels::int_isa_name(isa) << " width " << width << " rows " << count
                    << " pattern " << pattern << " queries " << real << " query " << t << " row "
                    << j;
              }
            ASSERT_EQ(tile.back(), 12345) << "tile wrote past its end";
          }
        }
      }
    }
  }
}

TEST(Kernels, ScoreRowsEqualsComputeScore) {
  WideData data(8);
  for (std::size_t dims : {1u, 7u, 8u, 9u, 24u, 97u, 384u}) {
    const std::size_t count = 45;
    const auto q = data.vec(dims);
    const auto rows = data.vec(count * dims);
    for (Metric m : kAllMetrics) {
      std::vector<float> out(count);
      kernels::score_rows(m, q.data(), rows.data(), dims, count, out.data());
      for (std::size_t j = 0; j < count; ++j) {
        ASSERT_TRUE(
            Same(kernels::compute_score(m, q.data(), rows.data() + j * dims, dims), out[j]));
      }
    }
  }
}

TEST(Kernels, CosineAndDotScoreIdentically) {
  WideData data(9);
  const std::size_t dims = 97;
  const auto q = data.vec(dims), x = data.vec(dims);
  EXPECT_TRUE(Same(kernels::compute_score(Metric::Dot, q.data(), x.data(), dims),
                   kernels::compute_score(Metric::Cosine, q.data(), x.data(), dims)));
  const float expected = kernels::force_scalar() ? kernels::dot_scalar(q.data(), x.data(), dims)
                                                 : kernels::dot_simd(q.data(), x.data(), dims);
  EXPECT_TRUE(Same(expected, kernels::compute_score(Metric::Dot, q.data(), x.data(), dims)));
  const float expected_l2 = kernels::force_scalar() ? kernels::l2sq_scalar(q.data(), x.data(), dims)
                                                    : kernels::l2sq_simd(q.data(), x.data(), dims);
  EXPECT_TRUE(
      Same(expected_l2, kernels::compute_score(Metric::Euclidean, q.data(), x.data(), dims)));
}

TEST(Kernels, DotRangeCountsChunksFromStart) {
  WideData data(10);
  for (std::size_t dims : {40u, 97u, 384u}) {
    const auto q = data.vec(dims), x = data.vec(dims);
    for (int trial = 0; trial < 200; ++trial) {
      std::size_t a = data.index(dims + 1), b = data.index(dims + 1);
      if (a > b) std::swap(a, b);
      const float got = kernels::dot_range(q.data(), x.data(), a, b);
      ASSERT_TRUE(Same(emulate_lanes(false, q.data() + a, x.data() + a, b - a), got))
          << "[" << a << ", " << b << ")";
    }
    EXPECT_TRUE(Same(0.0f, kernels::dot_range(q.data(), x.data(), 5, 5)));
    EXPECT_TRUE(Same(kernels::dot_simd(q.data(), x.data(), dims),
                     kernels::dot_range(q.data(), x.data(), 0, dims)));
  }
}

TEST(Kernels, QueryNormIsSequentialDoubleSum) {
  WideData data(11);
  for (std::size_t n : test_dims()) {
    const auto q = data.vec(n);
    double expected = 0.0;
    for (float v : q) expected = expected + double(v) * double(v);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(expected),
              std::bit_cast<std::uint64_t>(kernels::query_norm_sq(q.data(), n)));
  }
  // 2^24 + 1 is exact in double but not in float.
  const float q[2] = {4096.0f, 1.0f};
  EXPECT_EQ(kernels::query_norm_sq(q, 2), 16777217.0);
  EXPECT_EQ(kernels::query_norm_sq(q, 0), 0.0);
}

TEST(Kernels, QueryEqualToRowHasZeroDistance) {
  WideData data(12);
  for (std::size_t n : test_dims()) {
    const auto q = data.vec(n);
    for (Isa isa : kAllIsas) {
      if (!kernels::isa_supported(isa)) continue;
      ASSERT_EQ(bits(kernels::l2sq_with(isa, q.data(), q.data(), n)), bits(0.0f));
    }
    ASSERT_EQ(bits(kernels::l2sq_scalar(q.data(), q.data(), n)), bits(0.0f));
  }
}

// NaN and overflow reach the caller unchanged, in every form of the kernels.
TEST(Kernels, NonFiniteResultsPropagate) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (std::size_t dims : {3u, 8u, 13u, 384u}) {
    for (std::size_t pos : {std::size_t{0}, dims / 2, dims - 1}) {
      const std::size_t count = 11;
      const std::vector<float> q(dims, 0.5f);
      std::vector<float> rows(count * dims, 0.25f);
      const std::size_t nan_row = 2, big_row = 9, neg_row = 6;
      rows[nan_row * dims + pos] = nan;
      std::vector<float> big_q(dims, 3e38f);
      for (std::size_t i = 0; i < dims; ++i) {
        rows[big_row * dims + i] = 3e38f;
        rows[neg_row * dims + i] = -3e38f;
      }
      for (Isa isa : kAllIsas) {
        if (!kernels::isa_supported(isa)) continue;
        const float* nr = rows.data() + nan_row * dims;
        EXPECT_TRUE(std::isnan(kernels::dot_with(isa, q.data(), nr, dims)));
        EXPECT_TRUE(std::isnan(kernels::l2sq_with(isa, q.data(), nr, dims)));
        // 3e38 * 3e38 overflows to +inf; with opposite signs to -inf; the
        // difference 3e38 - (-3e38) overflows and squares to +inf.
        EXPECT_EQ(kernels::dot_with(isa, big_q.data(), rows.data() + big_row * dims, dims), inf);
        EXPECT_EQ(kernels::dot_with(isa, big_q.data(), rows.data() + neg_row * dims, dims), -inf);
        EXPECT_EQ(kernels::l2sq_with(isa, big_q.data(), rows.data() + neg_row * dims, dims), inf);
        for (Metric m : kAllMetrics) {
          std::vector<float> out(count);
          kernels::score_rows_with(isa, m, big_q.data(), rows.data(), dims, count, out.data());
          EXPECT_TRUE(std::isnan(out[nan_row]));
          EXPECT_EQ(out[neg_row], m == Metric::Euclidean ? inf : -inf);
          if (m == Metric::Euclidean) {
            EXPECT_EQ(out[big_row], 0.0f);
          } else {
            EXPECT_EQ(out[big_row], inf);
          }
        }
      }
      // Scalar forms behave the same.
      EXPECT_TRUE(std::isnan(kernels::dot_scalar(q.data(), rows.data() + nan_row * dims, dims)));
      EXPECT_EQ(kernels::dot_scalar(big_q.data(), rows.data() + neg_row * dims, dims), -inf);
    }
  }
  // +inf and -inf products in one sum: inf - inf is NaN.
  const float q2[2] = {inf, inf};
  const float x2[2] = {1.0f, -1.0f};
  EXPECT_TRUE(std::isnan(kernels::dot_simd(q2, x2, 2)));
}

// force_scalar is read once per process, so each case runs in a fresh child
// process (the threadsafe death-test style re-executes this binary) that sets
// the variable before its first kernel call.
int child_force_scalar(const char* value, bool set_after_first_use) {
  unsetenv("LUMVO_FORCE_SCALAR");
  if (value != nullptr && !set_after_first_use) setenv("LUMVO_FORCE_SCALAR", value, 1);
  std::vector<float> q(8, 1.0f), x(8, 1.0f);
  x[0] = 16777216.0f;  // sequential and lane sums differ here (see above)
  const float first = kernels::compute_score(Metric::Dot, q.data(), x.data(), 8);
  if (value != nullptr && set_after_first_use) setenv("LUMVO_FORCE_SCALAR", value, 1);
  const bool scalar = kernels::force_scalar();
  const float s = kernels::compute_score(Metric::Dot, q.data(), x.data(), 8);
  float row_out = 0.0f;
  kernels::score_rows(Metric::Dot, q.data(), x.data(), 8, 1, &row_out);
  const float want = scalar ? 16777216.0f : 16777220.0f;
  const bool consistent = s == want && first == want && row_out == want;
  return consistent ? (scalar ? 10 : 20) : 1;
}

TEST(KernelsDeathTest, ForceScalarOnlyForExactlyOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(child_force_scalar("1", false)), ::testing::ExitedWithCode(10), "");
  EXPECT_EXIT(std::exit(child_force_scalar(nullptr, false)), ::testing::ExitedWithCode(20), "");
  for (const char* v : {"", "0", "true", " 1", "1 ", "11", "\xff", "1\n"}) {
    EXPECT_EXIT(std::exit(child_force_scalar(v, false)), ::testing::ExitedWithCode(20), "")
        << "value '" << v << "'";
  }
}

TEST(KernelsDeathTest, ForceScalarIgnoresLaterChanges) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(child_force_scalar("1", true)), ::testing::ExitedWithCode(20), "");
}

// ---------------------------------------------------------------------------
// sgemm wrappers
// ---------------------------------------------------------------------------

// Dot product in double plus the bound k * 2^-23 * sum|a*b| that any float
// summation order (with rounded products) stays within.
struct DotRef {
  double value;
  double bound;
};

DotRef dot_reference(const float* a, const float* b, std::size_t k) {
  double s = 0.0, abs_sum = 0.0;
  for (std::size_t i = 0; i < k; ++i) {
    s += double(a[i]) * double(b[i]);
    abs_sum += std::fabs(double(a[i]) * double(b[i]));
  }
  return {s, (double(k) + 2.0) * std::ldexp(1.0, -23) * abs_sum + 1e-30};
}

std::vector<float> uniform(std::mt19937_64& rng, std::size_t n) {
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (float& f : v) f = d(rng);
  return v;
}

TEST(Matrix, SgemmNtMatchesDoubleReferenceWithStrides) {
  std::mt19937_64 rng(21);
  const std::size_t m = 3, n = 37, k = 97, lda = k + 3, ldb = k + 5, ldc = n + 4;
  const auto A = uniform(rng, m * lda), B = uniform(rng, n * ldb);
  const float sentinel = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> C(m * ldc, sentinel);
  sgemm_nt(m, n, k, A.data(), lda, B.data(), ldb, C.data(), ldc);
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t j = 0; j < ldc; ++j) {
      const float c = C[i * ldc + j];
      if (j >= n) {
        EXPECT_TRUE(std::isnan(c)) << "padding overwritten at " << i << "," << j;
        continue;
      }
      const DotRef r = dot_reference(A.data() + i * lda, B.data() + j * ldb, k);
      EXPECT_NEAR(double(c), r.value, r.bound) << i << "," << j;
    }
  }
}

TEST(Matrix, SgemmNtEmptyShapes) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> C(6, nan);
  const float a[3] = {1, 2, 3};
  sgemm_nt(2, 3, 0, a, 0, a, 0, C.data(), 3);  // empty sums are 0
  for (float c : C) EXPECT_EQ(bits(c), bits(0.0f));
  std::vector<float> D(4, nan);
  sgemm_nt(0, 2, 3, a, 3, a, 3, D.data(), 2);
  sgemm_nt(2, 0, 3, a, 3, a, 3, D.data(), 1);
  for (float d : D) EXPECT_TRUE(std::isnan(d));
}

TEST(Matrix, RejectsStridesShorterThanRows) {
  const float a[8] = {};
  float c[4] = {};
  EXPECT_THROW(sgemm_nt(2, 2, 4, a, 3, a, 4, c, 2), Panic);
  EXPECT_THROW(sgemm_nt(2, 2, 4, a, 4, a, 4, c, 1), Panic);
}

TEST(Matrix, DotScoresMatchDoubleReference) {
  std::mt19937_64 rng(22);
  const std::size_t dims = 384, count = 2000;
  const auto q = uniform(rng, dims), rows = uniform(rng, dims * count);
  const auto dot = matrix_scores(Metric::Dot, q.data(), dims, rows.data(), count, nullptr);
  const auto cos = matrix_scores(Metric::Cosine, q.data(), dims, rows.data(), count, nullptr);
  ASSERT_EQ(dot.size(), count);
  for (std::size_t j = 0; j < count; ++j) {
    const DotRef r = dot_reference(q.data(), rows.data() + j * dims, dims);
    ASSERT_NEAR(double(dot[j]), r.value, r.bound) << j;
    ASSERT_EQ(bits(dot[j]), bits(cos[j]));
  }
  EXPECT_EQ(blas_threads(), 1);
}

TEST(Matrix, EuclideanFollowsTheNormIdentityExactly) {
  std::mt19937_64 rng(23);
  for (std::size_t dims : {1u, 17u, 384u}) {
    const std::size_t count = 301;
    const auto q = uniform(rng, dims);
    auto rows = uniform(rng, dims * count);
    // Row 7 equals the query: only rounding separates its distance from 0.
    for (std::size_t i = 0; i < dims; ++i) rows[7 * dims + i] = q[i];
    std::vector<double> norms(count);
    for (std::size_t j = 0; j < count; ++j) {
      double s = 0.0;
      for (std::size_t i = 0; i < dims; ++i) s += double(rows[j * dims + i]) * rows[j * dims + i];
      norms[j] = s;
    }
    double qn = 0.0;
    for (float v : q) qn += double(v) * double(v);

    std::vector<float> dots(count);
    sgemm_nt(1, count, dims, q.data(), dims, rows.data(), dims, dots.data(), count);
    const auto got =
        matrix_scores(Metric::Euclidean, q.data(), dims, rows.data(), count, norms.data());
    for (std::size_t j = 0; j < count; ++j) {
      const float want = static_cast<float>((norms[j] + qn) - 2.0 * double(dots[j]));
      ASSERT_EQ(bits(want), bits(got[j])) << "dims " << dims << " row " << j;
      double exact = 0.0;
      for (std::size_t i = 0; i < dims; ++i) {
        const double d = double(q[i]) - double(rows[j * dims + i]);
        exact += d * d;
      }
      ASSERT_NEAR(double(got[j]), exact, 1e-5 * (norms[j] + qn) + 1e-30);
    }
    EXPECT_LE(std::fabs(got[7]), 1e-5 * (2.0 * qn));
  }
}

// Derived by hand: q = (8, 8), x = (2^56, 0) makes every dot product exactly
// 2^59 and qn = 128, and with norms_sq = 2^60 the two groupings differ:
// (2^60 + 128) is a tie in double and rounds to 2^60, giving 0, whereas
// 2^60 + (128 - 2^59 * 2) would give 128. Distances are also not clamped.
TEST(Matrix, EuclideanAddsTheNormsBeforeSubtracting) {
  const float q[2] = {8.0f, 8.0f};
  const float x[4] = {std::ldexp(1.0f, 56), 0.0f, 8.0f, 8.0f};
  const double norms[2] = {std::ldexp(1.0, 60), 0.0};
  const auto got = matrix_scores(Metric::Euclidean, q, 2, x, 2, norms);
  EXPECT_EQ(bits(got[0]), bits(0.0f));
  // Row 1 equals the query but its stated norm is 0: 0 + 128 - 2 * 128.
  EXPECT_EQ(got[1], -128.0f);
}

TEST(Matrix, CallerBufferIsOverwrittenNotRead) {
  std::mt19937_64 rng(24);
  const std::size_t dims = 64, count = 77;
  const auto q = uniform(rng, dims), rows = uniform(rng, dims * count);
  std::vector<double> norms(count, 1.0);
  for (Metric m : kAllMetrics) {
    const auto fresh = matrix_scores(m, q.data(), dims, rows.data(), count, norms.data());
    std::vector<float> out(count + 1, std::numeric_limits<float>::quiet_NaN());
    matrix_scores_into(m, q.data(), dims, rows.data(), count, norms.data(), out.data());
    for (std::size_t j = 0; j < count; ++j) ASSERT_EQ(bits(fresh[j]), bits(out[j]));
    EXPECT_TRUE(std::isnan(out[count]));
  }
}

TEST(Matrix, ConcurrentCallsGiveTheSerialResults) {
  std::mt19937_64 rng(25);
  struct Job {
    std::size_t m, n, k;
    std::vector<float> A, B, C;
  };
  std::vector<Job> jobs;
  for (auto [m, n, k] : {std::tuple<std::size_t, std::size_t, std::size_t>{1, 5000, 384},
                         {8, 1000, 384},
                         {33, 257, 97},
                         {64, 512, 768}}) {
    Job j{m, n, k, uniform(rng, m * k), uniform(rng, n * k), std::vector<float>(m * n)};
    sgemm_nt(m, n, k, j.A.data(), k, j.B.data(), k, j.C.data(), n);
    jobs.push_back(std::move(j));
  }
  std::vector<int> mismatches(2, 0);
  auto worker = [&](int t) {
    for (int rep = 0; rep < 15; ++rep) {
      for (std::size_t i = 0; i < jobs.size(); ++i) {
        const Job& j = jobs[(i + t) % jobs.size()];
        std::vector<float> C(j.m * j.n);
        sgemm_nt(j.m, j.n, j.k, j.A.data(), j.k, j.B.data(), j.k, C.data(), j.n);
        for (std::size_t e = 0; e < C.size(); ++e) {
          if (bits(C[e]) != bits(j.C[e])) ++mismatches[t];
        }
      }
    }
  };
  std::thread t0(worker, 0), t1(worker, 1);
  t0.join();
  t1.join();
  EXPECT_EQ(mismatches[0], 0);
  EXPECT_EQ(mismatches[1], 0);
  EXPECT_EQ(blas_threads(), 1);
}

// Another library in the process may raise BLAS's thread count (threadpoolctl
// does so for every BLAS it finds); the next multiply puts it back to one.
TEST(Matrix, RaisedBlasThreadCountIsResetByTheNextMultiply) {
  const float a[4] = {1, 2, 3, 4};
  float c[1] = {};
  sgemm_nt(1, 1, 4, a, 4, a, 4, c, 1);
  ASSERT_EQ(blas_threads(), 1);
  set_blas_threads(2);
  ASSERT_EQ(blas_threads(), 2);
  sgemm_nt(1, 1, 4, a, 4, a, 4, c, 1);
  EXPECT_EQ(blas_threads(), 1);
  EXPECT_EQ(c[0], 30.0f);
}

TEST(Matrix, BlasNamesItsCoreSet) {
  const std::string core = blas_core_name();
  EXPECT_FALSE(core.empty());
  EXPECT_NE(core, "unknown");
}

TEST(CpuFeatures, PathPrefersTheWidestFeature) {
  using cpu::simd_path_for;
  EXPECT_STREQ(simd_path_for({true, true, true}), "avx2");
  EXPECT_STREQ(simd_path_for({true, false, false}), "avx2");
  EXPECT_STREQ(simd_path_for({false, true, true}), "avx");
  EXPECT_STREQ(simd_path_for({false, true, false}), "avx");
  EXPECT_STREQ(simd_path_for({false, false, true}), "sse4.2");
  EXPECT_STREQ(simd_path_for({false, false, false}), "scalar");
  EXPECT_STREQ(cpu::simd_path_name(), testing::expected_simd_path());
}

}  // namespace
}  // namespace lumvero
