// One batch of queries searched in groups, each group with its own selection
// of rows (lumvero_contrib.Index's per-query allow-lists): the queries that
// share a selection are searched together, and the groups run as tasks on
// the pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/search/row_set.h"
#include "engine/status.h"

namespace lumvero::contrib {

struct QueryGroup {
  const std::int64_t* members = nullptr;  // rows of the batch's queries
  std::size_t count = 0;
  Selection selection;
};

// Row i of scores and positions (nq x k) receives query i's k best under its
// group's selection, missing places position -1 and the metric's worst
// score: for each query the rows and score bits of core::search over that
// selection alone. Every query belongs to exactly one group (the caller
// checks). stats, when given, receives the groups' counts summed.
Status search_groups(std::span<const RowRun> runs, std::uint64_t dims, Metric metric,
                     const float* queries, std::size_t k, std::span<const QueryGroup> groups,
                     float* scores, std::int64_t* positions, SearchStats* stats);

}  // namespace lumvero::contrib
