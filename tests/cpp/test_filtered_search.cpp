// filtered_search: rows in several runs, a live mask or an allow-list, one
// query or many, against the reference layout and result order; row norms
// as the loader computes them.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "engine/dim_blocks.h"
#include "engine/filtered_search.h"
#include "engine/row_norms.h"
#include "index_fixture.h"

namespace lumvero {
namespace {

using testing::exact_matrix;
using testing::expect_same_hits;
using testing::random_matrix;
using testing::ref_before;
using testing::ref_finite;
using testing::ref_score;
using testing::RefHit;

struct Store {
  std::size_t dims;
  std::vector<float> rows;  // every position, in order
  std::vector<double> norms;
  std::vector<RowRun> runs;
};

// Rows cut into runs of the given lengths, each its own piece of memory
// (copied, so that a run boundary is also a memory boundary).
Store make_store(const std::vector<float>& rows, std::size_t dims,
                 const std::vector<std::size_t>& lengths, std::vector<std::vector<float>>& mem) {
  Store s{dims, rows, std::vector<double>(rows.size() / dims), {}};
  run_norms_sq(rows.data(), rows.size() / dims, dims, s.norms.data());
  std::uint64_t first = 0;
  for (std::size_t len : lengths) {
    mem.emplace_back(rows.begin() + first * dims, rows.begin() + (first + len) * dims);
    s.runs.push_back({mem.back().data(), s.norms.data() + first, len, first});
    first += len;
  }
  return s;
}

std::vector<RefHit> reference(const Store& s, Metric metric, const float* q, std::size_t k,
                              const std::vector<bool>& selected) {
  std::vector<RefHit> all;
  for (std::uint64_t r = 0; r < selected.size(); ++r) {
    if (!selected[r]) continue;
    const float v = ref_score(metric, q, s.rows.data() + r * s.dims, s.dims);
    if (ref_finite(v)) all.push_back({r, v});
  }
  std::sort(all.begin(), all.end(),
            [&](const RefHit& a, const RefHit& b) { return ref_before(metric, a, b); });
  if (all.size() > k) all.resize(k);
  return all;
}

TEST(RunNorms, EqualTheLoadersNorms) {
  const std::size_t rows = 5000, dims = 37;
  const std::vector<float> x = random_matrix(rows, dims, 3);
  std::vector<double> got(rows), want(rows);
  run_norms_sq(x.data(), rows, dims, got.data());
  compute_row_norms(x.data(), rows, dims, make_blocks(dims, 16), want.data(), nullptr);
  for (std::size_t r = 0; r < rows; ++r) ASSERT_EQ(got[r], want[r]) << r;
}

struct FilterCase {
  Metric metric;
  std::size_t nq;
  bool exact_values;  // small multiples of 0.5: many equal scores
};

class FilteredSearch : public ::testing::TestWithParam<FilterCase> {};

TEST_P(FilteredSearch, EqualsTheReferenceOnTheSelectedRows) {
  const FilterCase c = GetParam();
  // Large enough that every form but the smallest calls runs on the pool:
  // pieces of the kernel scan, and sgemm tiles (gathered for the list).
  const std::size_t rows = 60000, dims = 75, k = 12;
  const std::vector<float> x =
      c.exact_values ? exact_matrix(rows, dims, 11) : random_matrix(rows, dims, 11);
  std::vector<std::vector<float>> mem;
  const Store s = make_store(x, dims, {1, 4096, 7, 40000, 15896}, mem);
  const std::vector<float> qs = random_matrix(c.nq, dims, 12);

  std::mt19937 gen(13);
  std::vector<std::uint8_t> live(rows);
  for (auto& b : live) b = gen() % 4 != 0;  // three in four live
  std::vector<std::uint64_t> sparse;
  for (std::uint64_t r = 0; r < rows; r += 1 + gen() % 5) sparse.push_back(r);
  sparse.push_back(4097);  // a stretch of neighbours across a run boundary
  sparse.push_back(4098);
  sparse.push_back(4104);
  std::sort(sparse.begin(), sparse.end());
  sparse.erase(std::unique(sparse.begin(), sparse.end()), sparse.end());

  struct Form {
    std::string name;
    RowFilter filter;
    std::vector<bool> selected;
  };
  std::vector<Form> forms;
  forms.push_back({"all", {}, std::vector<bool>(rows, true)});
  RowFilter mask;
  mask.live = live.data();
  forms.push_back({"mask", mask, std::vector<bool>(live.begin(), live.end())});
  RowFilter list;
  list.allowed = sparse.data();
  list.allowed_count = sparse.size();
  list.use_allowed = true;
  std::vector<bool> in_list(rows, false);
  for (auto p : sparse) in_list[p] = true;
  forms.push_back({"list", list, in_list});
  RowFilter empty;
  empty.use_allowed = true;
  forms.push_back({"empty list", empty, std::vector<bool>(rows, false)});

  for (const Form& f : forms) {
    auto got = filtered_search(s.runs, dims, c.metric, qs, c.nq, k, f.filter);
    ASSERT_TRUE(got.has_value()) << got.error();
    ASSERT_EQ(got->size(), c.nq);
    for (std::size_t i = 0; i < c.nq; ++i)
      expect_same_hits((*got)[i], reference(s, c.metric, qs.data() + i * dims, k, f.selected),
                       f.name + " query " + std::to_string(i));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, FilteredSearch,
    ::testing::Values(FilterCase{Metric::Cosine, 1, false}, FilterCase{Metric::Dot, 2, true},
                      FilterCase{Metric::Euclidean, 1, true}, FilterCase{Metric::Dot, 6, false},
                      FilterCase{Metric::Euclidean, 6, true}, FilterCase{Metric::Cosine, 9, true}),
    [](const ::testing::TestParamInfo<FilterCase>& p) {
      return std::string(metric_name(p.param.metric)) + "_" + std::to_string(p.param.nq) +
             (p.param.exact_values ? "_ties" : "");
    });

}  // namespace
}  // namespace lumvero
