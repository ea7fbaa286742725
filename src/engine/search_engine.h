// The opened index: an immutable, read-only view of one index file plus the
// tables computed once at open. Shared by every query thread without locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/content_hash.h"
#include "engine/dim_blocks.h"
#include "engine/index_format.h"
#include "engine/query_result.h"
#include "engine/status.h"

namespace lumvero {

// Owns a read-only shared mapping; unmapped on destruction.
class Mapping {
 public:
  Mapping() = default;
  Mapping(void* base, std::size_t length) : base_(base), length_(length) {}
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  Mapping(Mapping&& o) noexcept { *this = std::move(o); }
  Mapping& operator=(Mapping&& o) noexcept;
  ~Mapping();

  const unsigned char* bytes() const { return static_cast<const unsigned char*>(base_); }
  std::size_t length() const { return length_; }

 private:
  void* base_ = nullptr;
  std::size_t length_ = 0;
};

struct CertifiedResult;  // engine/certified.h


class SearchEngine {
 public:
  // Opens, maps and checks an index file; computes norms, blocks, block
  // norms, the content hash and the canonical path.
  static Result<std::shared_ptr<const SearchEngine>> open(const std::string& path);

  // One query, exactly (engine/single_query.cpp).
  Result<QueryResult> query_single(std::span<const float> query, std::size_t k) const;
  // A row-major block of queries of `dims` columns each (engine/batch_query.cpp).
  Result<std::vector<QueryResult>> query_batch(std::span<const float> queries, std::size_t dims,
                                               std::size_t k) const;
  // One query with a pruning certificate (engine/certified.cpp).
  Result<CertifiedResult> query_certified(std::span<const float> query, std::size_t k,
                                          std::size_t block_width, bool enable_pruning) const;

  std::uint64_t dims = 0;
  std::uint64_t rows = 0;
  Metric metric = Metric::Cosine;
  std::uint64_t file_length = 0;       // bytes in the mapping's file
  std::vector<double> norms_sq;        // per row, accumulated in f64
  std::vector<float> norms;            // per row, sqrt(norms_sq) rounded to f32
  std::uint64_t block_size = 0;        // 16, 32 or 64
  std::vector<DimBlock> blocks;
  std::optional<std::vector<double>> block_norms_sq;  // rows x blocks.size(), row-major
  std::string path;
  Hash32 index_hash{};

  const float* data() const { return data_; }
  const float* row(std::uint64_t r) const { return data_ + r * dims; }

 private:
  Mapping mmap_;
  const float* data_ = nullptr;
};

}  // namespace lumvero
