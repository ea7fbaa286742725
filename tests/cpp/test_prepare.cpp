// The writer's rules that the Python tests cannot reach cheaply.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "prepare/prepare.h"

namespace lumvero::prepare {
namespace {

const std::string kFixtures = LUMVO_FIXTURE_DIR;

TEST(Prepare, MemAvailableParsing) {
  EXPECT_EQ(available_memory_bytes((kFixtures + "/meminfo/normal").c_str()), 20000000.0 * 1024);
  // The first MemAvailable line whose value parses wins.
  EXPECT_EQ(available_memory_bytes((kFixtures + "/meminfo/second_line").c_str()), 512.0 * 1024);
  EXPECT_EQ(available_memory_bytes((kFixtures + "/meminfo/missing").c_str()), 8589934592.0);
  EXPECT_EQ(available_memory_bytes("/nonexistent/meminfo"), 8589934592.0);
}

TEST(Prepare, MemoryCheckOnlyFailsInStrictMode) {
  const double gib = 1073741824.0;
  EXPECT_TRUE(memory_check(2 * gib, 2 * gib, "1"));
  for (const char* lax : {static_cast<const char*>(nullptr), "", "0", "true", "yes", " 1", "1 "})
    EXPECT_TRUE(memory_check(30 * gib, 2 * gib, lax)) << (lax ? lax : "(unset)");
  auto strict = memory_check(30.04 * gib, 1.25 * gib, "1");
  ASSERT_FALSE(strict);
  EXPECT_EQ(strict.error(), "Insufficient memory: need 30.0GB, available 1.2GB");
}

TEST(Prepare, BatchRows) {
  EXPECT_EQ(batch_rows(1000000, 768), 8192u);
  EXPECT_EQ(batch_rows(1000000, 1279), 8192u);
  EXPECT_EQ(batch_rows(1000000, 2048), 4096u);
  EXPECT_EQ(batch_rows(1000000, 4096), 2048u);
  EXPECT_EQ(batch_rows(1000000, 10000), 1000u);
  EXPECT_EQ(batch_rows(10, 10000), 10u);
  EXPECT_EQ(batch_rows(500, 128), 500u);
}

TEST(Prepare, InvalidSampleStride) {
  std::vector<float> v(100999, 1.0f);
  auto c = invalid_sample(v.data(), v.size());
  // Inputs below 101,000 values are examined at stride n / 100.
  EXPECT_EQ(c.examined, (100999 + 1008) / 1009);
  v.assign(101, 1.0f);
  EXPECT_EQ(invalid_sample(v.data(), v.size()).examined, 101u);  // stride 1
  v.assign(100, std::numeric_limits<float>::infinity());
  c = invalid_sample(v.data(), v.size());
  EXPECT_EQ(c.examined, 100u);
  EXPECT_EQ(c.bad, 100u);
  v.assign(2000000, 1.0f);
  v[1000] = -std::numeric_limits<float>::infinity();
  v[1001] = std::nanf("");
  c = invalid_sample(v.data(), v.size());
  EXPECT_EQ(c.examined, 2000u);
  EXPECT_EQ(c.bad, 1u);
}

TEST(Prepare, NormalizeRowEdgeCases) {
  std::vector<float> out(3, 7.0f);
  const float zeros[3] = {0, 0, 0};
  normalize_row(zeros, out.data(), 3);
  EXPECT_EQ(out, std::vector<float>(3, 0.0f));
  const float tiny[2] = {1e-30f, 0.0f};  // the square underflows to zero
  normalize_row(tiny, out.data(), 2);
  EXPECT_EQ(out[0], 0.0f);
  const float x[3] = {1, 2, 3};
  normalize_row(x, out.data(), 3);
  const float inv = 1.0f / std::sqrt(14.0f);
  EXPECT_EQ(out[0], 1.0f * inv);
  EXPECT_EQ(out[2], 3.0f * inv);
}

TEST(Prepare, MetricLowerCasingIsFullUnicode) {
  EXPECT_EQ(parse_metric("COSINE").value(), Metric::Cosine);
  EXPECT_EQ(parse_metric("L2").value(), Metric::Euclidean);
  // U+212A KELVIN SIGN lower-cases to 'k', so it spells nothing here; the text
  // is reported as given.
  EXPECT_EQ(parse_metric("\u212Aos").error(), "Unknown similarity metric: \u212Aos");
  EXPECT_FALSE(parse_metric("cosine\n"));
}

}  // namespace
}  // namespace lumvero::prepare
