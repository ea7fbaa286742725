// Small engines for the certified-search and explain tests: writes an index
// file (12-byte little-endian header, then row-major float32) to a temporary
// path, opens it with SearchEngine::open and removes the file again (the
// mapping keeps the data alive). Also deterministic data generators and a
// brute-force top-k reference.
#pragma once

#include <gtest/gtest.h>

#include "index_fixture.h"
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "engine/index_format.h"
#include "engine/kernels.h"
#include "engine/result_order.h"
#include "engine/search_engine.h"

namespace lumvero::certified_fixture {

// The engine of a freshly written file (see index_fixture.h).
inline std::shared_ptr<const SearchEngine> open_index(std::uint32_t dims, std::uint32_t rows,
                                                      Metric metric, std::span<const float> data) {
  return lumvero::testing::open_index(dims, rows, metric,
                                      std::vector<float>(data.begin(), data.end()));
}

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

// Every row scored with compute_score, non-finite scores dropped, the whole
// list sorted under the result order and cut to k.
inline std::vector<ScoredRow> brute_force(const SearchEngine& e, std::span<const float> q,
                                          std::size_t k) {
  std::vector<ScoredRow> all;
  for (std::uint64_t r = 0; r < e.rows; ++r) {
    const float s = kernels::compute_score(e.metric, q.data(), e.row(r), q.size());
    if (std::isfinite(s)) all.push_back({r, s});
  }
  std::sort(all.begin(), all.end(), ResultOrder{e.metric});
  if (all.size() > k) all.resize(k);
  return all;
}

inline std::uint32_t bits(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

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

}  // namespace lumvero::certified_fixture
