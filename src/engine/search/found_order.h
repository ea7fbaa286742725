// What a radius search found, written best first under the result order
// straight into the caller's arrays (lumvero_contrib's range_search), sorted
// on the worker pool: no list of every row is built and copied again.
//
// The rows come as the parts a scan collected them in: within each part, and
// from one part to the next, rows with equal scores lie in increasing
// position (a scan's pieces in position order, or one list already in the
// result order). Each part's rows go to buckets of the score's leading bits
// (stable, the parts scattered in parallel), then each bucket is sorted on
// the remaining bits with a stable radix sort in its own cache-sized scratch,
// buckets in parallel. Equal scores keep their increasing positions, which is
// the order's tie-break, so the result is sort_found's to the bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/format/index_format.h"
#include "engine/search/result_order.h"
#include "engine/status.h"

namespace lumvero {

// Where one query's rows go: its i-th best's score at scores[i], and its id
// at ids[i]: ids_by_position[position] when given, else the position.
struct FoundArrays {
  float* scores = nullptr;
  std::int64_t* ids = nullptr;
  const std::int64_t* ids_by_position = nullptr;
};

// Rows in all the parts.
std::size_t found_count(const std::vector<std::vector<ScoredRow>>& parts);

// The parts' found_count rows into `out`, best first; the parts are emptied
// as they are read. Small sets are sorted on this thread, large ones on the
// pool (the only failure).
Status write_found(std::vector<std::vector<ScoredRow>>&& parts, Metric metric,
                   const FoundArrays& out);

}  // namespace lumvero
