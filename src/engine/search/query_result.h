// The record the engine returns for one query.
//
// The search itself fills results, query_time_ms and method_used; the detailed
// query methods add all eight provenance fields at once, so in any one record
// the optionals are either all present or all absent. Plain data: it owns
// copies of everything and never points back at the engine or the query.
// Field order matters: it is the attribute order the Python result shows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/search/result_order.h"

namespace lumvero {

// Every member has a default initialiser so that building one from just the
// engine fields ({.results = ..., .query_time_ms = ..., .method_used = ...})
// is warning-free and leaves the provenance absent.
struct QueryResult {
  std::vector<ScoredRow> results{};  // best first; at most min(k, rows), all finite
  double query_time_ms = 0.0;        // engine search time on the monotonic clock
  std::string method_used{};         // name of the strategy that ran

  std::optional<std::string> index_hash{};      // 64 lowercase hex digits
  std::optional<std::string> query_hash{};      // 64 lowercase hex digits
  std::optional<std::string> engine_version{};  // the module version, e.g. "1.1.0"
  std::optional<std::string> metric{};          // "cosine", "dot" or "euclidean"
  std::optional<bool> normalized{};             // true exactly for cosine
  std::optional<std::uint64_t> dims{};
  std::optional<std::uint64_t> rows{};
  std::optional<std::string> index_path{};  // invalid UTF-8 replaced by U+FFFD
};

}  // namespace lumvero
