// The engine's error texts about queries, each built in one place.
//
// Callers match these bytes exactly, including the Portuguese ones whose
// accents are stored double-encoded on the single-query and batch paths but
// correctly encoded on the certified batch path: each path keeps its form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace lumvero::msg {

// One query of the wrong length (single, certified, and a batch of one).
inline std::string query_dimension(std::size_t got, std::uint64_t dims) {
  return "Query dimension " + std::to_string(got) + " != index dimension " + std::to_string(dims);
}

// A query matrix (or explain's query) of the wrong width.
inline std::string query_dimensions(std::size_t got, std::uint64_t dims) {
  return "Query dimensions " + std::to_string(got) + " != index dimensions " + std::to_string(dims);
}

inline constexpr std::string_view kZeroColumns = "queries must have at least one column";

// Single query: "contém", "não", double-encoded.
inline constexpr std::string_view kSingleNonFinite =
    "Query vector cont\u00c3\u00a9m valores n\u00c3\u00a3o finitos";
// Batch: "não é múltiplo" and "contêm ... não", double-encoded.
inline constexpr std::string_view kBatchNotMultiple =
    "queries.len() n\u00c3\u00a3o \u00c3\u00a9 m\u00c3\u00baltiplo de dims";
inline constexpr std::string_view kBatchNonFinite =
    "Queries cont\u00c3\u00aam valores n\u00c3\u00a3o finitos (NaN/Inf)";
// Certified: English, and the batch text correctly encoded.
inline constexpr std::string_view kCertifiedNonFinite = "Query vector contains non-finite values";
inline constexpr std::string_view kCertifiedNotMultiple =
    "queries.len() n\u00e3o \u00e9 m\u00faltiplo de dims";

}  // namespace lumvero::msg
