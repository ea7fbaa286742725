// Test helpers for the query tests: temporary index files, deterministic data,
// scoped environment switches and an independent brute-force reference.
//
// The reference deliberately shares no code with the engine: it restates the
// vector summation layout (two 4-lane accumulators over 8-element chunks,
// lanes summed in order, then the tail) in plain scalar C++, and ranks with
// its own totalOrder comparison.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "engine/search/result_order.h"
#include "engine/search_engine.h"

namespace lumvero::testing {

// Writes the 12-byte header (dims, rows, metric id; little-endian u32) and
// the rows to a fresh temporary file, opens it, and removes the name again:
// the engine keeps its own mapping.
inline std::shared_ptr<const SearchEngine> open_index(std::uint32_t dims, std::uint32_t rows,
                                                      Metric metric,
                                                      const std::vector<float>& data) {
  EXPECT_EQ(data.size(), std::size_t{dims} * rows);
  const char* tmp = std::getenv("TMPDIR");
  std::string path =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/lumvero_query_test_XXXXXX";
  const int fd = ::mkstemp(path.data());
  if (fd < 0) {
    ADD_FAILURE() << "mkstemp failed";
    return nullptr;
  }
  unsigned char header[12];
  const std::uint32_t fields[3] = {dims, rows, static_cast<std::uint32_t>(metric)};
  for (int f = 0; f < 3; ++f)
    for (int b = 0; b < 4; ++b)
      header[4 * f + b] = static_cast<unsigned char>(fields[f] >> (8 * b));
  std::FILE* out = ::fdopen(fd, "wb");
  bool ok = out != nullptr && std::fwrite(header, 1, sizeof header, out) == sizeof header;
  // x86-64 is little-endian, so the floats go out as stored.
  if (ok && !data.empty())
    ok = std::fwrite(data.data(), sizeof(float), data.size(), out) == data.size();
  if (out != nullptr) ok = std::fclose(out) == 0 && ok;
  if (!ok) {
    ::unlink(path.c_str());
    ADD_FAILURE() << "cannot write " << path;
    return nullptr;
  }
  auto engine = SearchEngine::open(path);
  ::unlink(path.c_str());
  if (!engine) {
    ADD_FAILURE() << "open failed: " << engine.error();
    return nullptr;
  }
  return *engine;
}

// Deterministic values in [-1, 1); a few rows can be made unit length.
inline std::vector<float> random_matrix(std::size_t rows, std::size_t dims, std::uint32_t seed,
                                        bool unit_rows = false) {
  std::mt19937 gen(seed);
  std::vector<float> v(rows * dims);
  for (float& x : v) x = static_cast<float>(static_cast<double>(gen()) / 2147483648.0 - 1.0);
  if (unit_rows) {
    for (std::size_t r = 0; r < rows; ++r) {
      double s = 0.0;
      for (std::size_t d = 0; d < dims; ++d) s += double(v[r * dims + d]) * v[r * dims + d];
      const double inv = s > 0 ? 1.0 / std::sqrt(s) : 1.0;
      for (std::size_t d = 0; d < dims; ++d)
        v[r * dims + d] = static_cast<float>(v[r * dims + d] * inv);
    }
  }
  return v;
}

// Multiples of 0.5 in [-2, 2]: with a few dozen dimensions every dot product
// and squared distance is exact in binary32 whatever the summation order, so
// even the sgemm paths must reproduce the reference bit for bit, and equal
// rows give truly equal scores.
inline std::vector<float> exact_matrix(std::size_t rows, std::size_t dims, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<float> v(rows * dims);
  for (float& x : v) x = static_cast<float>(static_cast<int>(gen() % 9) - 4) * 0.5f;
  return v;
}

// Sets (or unsets, with nullopt) one variable and restores the old state.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = std::string(old);
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// ---------------------------------------------------------------------------
// Independent reference.
// ---------------------------------------------------------------------------

// Two 4-lane accumulators over whole 8-element chunks, lanes summed in order,
// then the tail one term at a time. kL2 uses (q - x)^2 terms.
template <bool kL2>
float ref_score_layout(const float* q, const float* x, std::size_t n) {
  float a[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  float b[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  auto term = [&](std::size_t i) {
    if constexpr (kL2) {
      const float d = q[i] - x[i];
      return d * d;
    } else {
      return q[i] * x[i];
    }
  };
  const std::size_t chunks = n / 8;
  for (std::size_t c = 0; c < chunks; ++c) {
    for (std::size_t l = 0; l < 4; ++l) {
      a[l] += term(8 * c + l);
      b[l] += term(8 * c + 4 + l);
    }
  }
  float s = (((a[0] + a[1]) + a[2]) + a[3]) + (((b[0] + b[1]) + b[2]) + b[3]);
  for (std::size_t i = chunks * 8; i < n; ++i) s += term(i);
  return s;
}

inline float ref_score(Metric metric, const float* q, const float* x, std::size_t n) {
  return metric == Metric::Euclidean ? ref_score_layout<true>(q, x, n)
                                     : ref_score_layout<false>(q, x, n);
}

struct RefHit {
  std::uint64_t idx;
  float score;
};

inline std::int64_t ref_key(float f) {
  const std::int32_t s = std::bit_cast<std::int32_t>(f);
  return s >= 0 ? s : static_cast<std::int64_t>(s ^ 0x7fffffff);
}

inline bool ref_finite(float f) { return f - f == 0.0f; }

// True when a ranks before b.
inline bool ref_before(Metric metric, const RefHit& a, const RefHit& b) {
  const std::int64_t ka = ref_key(a.score), kb = ref_key(b.score);
  if (ka != kb) return metric == Metric::Euclidean ? ka < kb : ka > kb;
  return a.idx < b.idx;
}

// Every row scored with the reference layout, finite scores only, sorted,
// the first min(k, count) kept.
inline std::vector<RefHit> ref_top_k(const SearchEngine& e, const float* q, std::size_t k) {
  std::vector<RefHit> all;
  for (std::uint64_t r = 0; r < e.rows; ++r) {
    const float s = ref_score(e.metric, q, e.row(r), e.dims);
    if (ref_finite(s)) all.push_back({r, s});
  }
  std::sort(all.begin(), all.end(),
            [&](const RefHit& a, const RefHit& b) { return ref_before(e.metric, a, b); });
  if (all.size() > k) all.resize(k);
  return all;
}

// Bit-exact comparison of an engine result with the reference.
template <class Rows>
void expect_same_hits(const Rows& got, const std::vector<RefHit>& want, const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].idx, want[i].idx) << what << " position " << i;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(got[i].score),
              std::bit_cast<std::uint32_t>(want[i].score))
        << what << " position " << i << ": " << got[i].score << " vs " << want[i].score;
  }
}

// What the certificate should report for this processor, probed here
// independently of the engine.
inline const char* expected_simd_path() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return "avx2";
  if (__builtin_cpu_supports("avx")) return "avx";
  if (__builtin_cpu_supports("sse4.2")) return "sse4.2";
  return "scalar";
}

// ---------------------------------------------------------------------------
// Data for the certified-search and explain tests.
// ---------------------------------------------------------------------------

// Uniform values in [-1, 1), reproducible from the seed.
inline std::vector<float> random_values(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (float& x : v) x = dist(gen);
  return v;
}

inline void normalize(float* v, std::size_t dims) {
  double s = 0.0;
  for (std::size_t d = 0; d < dims; ++d) s += double(v[d]) * double(v[d]);
  const float inv = s > 0.0 ? static_cast<float>(1.0 / std::sqrt(s)) : 0.0f;
  for (std::size_t d = 0; d < dims; ++d) v[d] *= inv;
}

// Unit vectors scattered tightly around `clusters` random unit centres, with
// the energy of each centre concentrated in its first few dimensions so that
// the block order matters. Row r belongs to cluster r % clusters.
struct Clustered {
  std::vector<float> centres;  // clusters x dims
  std::vector<float> rows;     // n x dims
};

inline Clustered clustered_unit_rows(std::size_t n, std::size_t dims, std::size_t clusters,
                                     float spread, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  Clustered out;
  out.centres.resize(clusters * dims);
  for (std::size_t c = 0; c < clusters; ++c) {
    float* centre = out.centres.data() + c * dims;
    for (std::size_t d = 0; d < dims; ++d) {
      const float weight = 1.0f / (1.0f + static_cast<float>(d % 64) * 0.1f);
      centre[d] = normal(gen) * weight;
    }
    normalize(centre, dims);
  }
  out.rows.resize(n * dims);
  for (std::size_t r = 0; r < n; ++r) {
    const float* centre = out.centres.data() + (r % clusters) * dims;
    float* row = out.rows.data() + r * dims;
    for (std::size_t d = 0; d < dims; ++d) row[d] = centre[d] + spread * normal(gen);
    normalize(row, dims);
  }
  return out;
}

// A unit query near centre c.
inline std::vector<float> query_near(const Clustered& data, std::size_t dims, std::size_t c,
                                     float spread, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> q(dims);
  for (std::size_t d = 0; d < dims; ++d) q[d] = data.centres[c * dims + d] + spread * normal(gen);
  normalize(q.data(), dims);
  return q;
}

// The reference top k as ScoredRow: rows scored with the independent layout
// above (never the engine's kernels), ranked with the reference order.
inline std::vector<ScoredRow> brute_force(const SearchEngine& e, std::span<const float> q,
                                          std::size_t k) {
  std::vector<ScoredRow> out;
  for (const RefHit& h : ref_top_k(e, q.data(), k)) out.push_back({h.idx, h.score});
  return out;
}

inline std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// Same rows, same score bits, same order.
inline ::testing::AssertionResult same_rows(const std::vector<ScoredRow>& got,
                                            const std::vector<ScoredRow>& want) {
  if (got.size() != want.size())
    return ::testing::AssertionFailure()
           << "length " << got.size() << " != expected " << want.size();
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (got[i].idx != want[i].idx || bits(got[i].score) != bits(want[i].score))
      return ::testing::AssertionFailure()
             << "entry " << i << ": (" << got[i].idx << ", " << got[i].score << ") != expected ("
             << want[i].idx << ", " << want[i].score << ")";
  }
  return ::testing::AssertionSuccess();
}

}  // namespace lumvero::testing
