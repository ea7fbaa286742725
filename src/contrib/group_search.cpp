#include "contrib/group_search.h"

#include <cstring>
#include <limits>
#include <vector>

#include "engine/runtime/pool.h"
#include "engine/search/search_core.h"

namespace lumvero::contrib {

namespace {

// One group: its queries gathered, searched, and each list written into its
// query's row of the results.
Status search_group(const RowSet& set, const float* queries, std::size_t k, const QueryGroup& group,
                    float* scores, std::int64_t* positions, SearchStats* stats) {
  const auto dims = static_cast<std::size_t>(set.dims);
  std::vector<float> own(group.count * dims);
  for (std::size_t j = 0; j < group.count; ++j) {
    const auto row = static_cast<std::size_t>(group.members[j]);
    std::memcpy(own.data() + j * dims, queries + row * dims, dims * sizeof(float));
  }
  auto res = core::search(set, own.data(), group.count, k, stats);
  if (!res) return fail(std::move(res.error()));
  const float worst = is_distance(set.metric) ? std::numeric_limits<float>::infinity()
                                              : -std::numeric_limits<float>::infinity();
  for (std::size_t j = 0; j < group.count; ++j) {
    const auto& list = (*res)[j];
    const auto row = static_cast<std::size_t>(group.members[j]);
    for (std::size_t i = 0; i < k; ++i) {
      const bool have = i < list.size();
      scores[row * k + i] = have ? list[i].score : worst;
      positions[row * k + i] = have ? static_cast<std::int64_t>(list[i].idx) : -1;
    }
  }
  return {};
}

}  // namespace

Status search_groups(std::span<const RowRun> runs, std::uint64_t dims, Metric metric,
                     const float* queries, std::size_t k, std::span<const QueryGroup> groups,
                     float* scores, std::int64_t* positions, SearchStats* stats) {
  std::vector<SearchStats> each(groups.size());
  auto done = pool::run(groups.size(), [&](std::size_t g) -> Status {
    RowSet set;
    set.runs = runs;
    set.selection = groups[g].selection;
    set.dims = dims;
    set.metric = metric;
    return search_group(set, queries, k, groups[g], scores, positions, &each[g]);
  });
  if (!done) return done;
  if (stats != nullptr) {
    for (const auto& s : each) stats->add(s);
  }
  return {};
}

}  // namespace lumvero::contrib
