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

#include "engine/format/content_hash.h"
#include "engine/format/dim_blocks.h"
#include "engine/format/index_format.h"
#include "engine/format/mapping.h"
#include "engine/format/row_table.h"
#include "engine/prefilter/compressed_rows.h"
#include "engine/search/query_result.h"
#include "engine/search/row_set.h"
#include "engine/status.h"

namespace lumvero {

struct CertifiedResult;  // engine/certify/certified.h

class SearchEngine {
 public:
  // Opens, maps and checks an index file; computes norms, blocks, block
  // norms, the content hash and the canonical path.
  static Result<std::shared_ptr<const SearchEngine>> open(const std::string& path);

  // One query, exactly (engine/search/single_query.cpp).
  Result<QueryResult> query_single(std::span<const float> query, std::size_t k) const;
  // A row-major matrix of queries of `dims` columns each (engine/search/batch_query.cpp).
  Result<std::vector<QueryResult>> query_batch(std::span<const float> queries, std::size_t dims,
                                               std::size_t k) const;
  // One query with a pruning certificate (engine/certify/certified.cpp).
  Result<CertifiedResult> query_certified(std::span<const float> query, std::size_t k,
                                          std::size_t block_width, bool enable_pruning) const;

  std::uint64_t dims = 0;
  std::uint64_t rows = 0;
  Metric metric = Metric::Cosine;
  std::uint64_t file_length = 0;  // bytes in the mapping's file
  RowTable<double> norms_sq;      // per row, accumulated in f64
  RowTable<float> norms;          // per row, sqrt(norms_sq) rounded to f32
  std::uint64_t block_size = 0;   // 16, 32 or 64
  std::vector<DimBlock> blocks;
  std::optional<std::vector<double>> block_norms_sq;  // rows x blocks.size(), row-major
  std::string path;
  Hash32 index_hash{};
  // The int8 codes of the rows for the pre-filter, built by the first query
  // that uses them (engine/prefilter/single_scan.h).
  RunCodes compressed;

  // The rows as the search core's one run (engine/search/row_set.h).
  RowRun as_run() const { return {data_, norms_sq.data(), rows, 0, &compressed, rows}; }
  // That run with no selection; `run` must outlive the set.
  RowSet as_set(const RowRun& run) const {
    RowSet s;
    s.runs = std::span<const RowRun>(&run, 1);
    s.dims = dims;
    s.metric = metric;
    return s;
  }

  // Fails with "Index file changed while in use: {path}" once the file was
  // shortened under this engine: a read then found pages missing, which read
  // as zeros since (engine/format/mapping.h). Every caller checks it before a query
  // and again after it, and discards the result of a query that ran while
  // the check fails; the engine stays in that state for good.
  Status intact() const;

  const float* data() const { return data_; }
  const float* row(std::uint64_t r) const { return data_ + r * dims; }

 private:
  // Block partition, row norms and block norms of the mapped rows.
  Status compute_tables();

  Mapping mmap_;
  const float* data_ = nullptr;
};

}  // namespace lumvero
