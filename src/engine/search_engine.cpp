// Opening an index file: map, check, precompute, hash.
#include "engine/search_engine.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdlib>

#include "engine/format/content_hash.h"
#include "engine/format/mapped_file.h"
#include "engine/format/row_norms.h"
#include "engine/runtime/pool_setup.h"
#include "engine/runtime/sys_error.h"

namespace lumvero {

namespace {

constexpr std::string_view kChangedInUse = "Index file changed while in use: ";

std::string canonical_or_given(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return path;
  std::string out(resolved);
  std::free(resolved);
  return out;
}

}  // namespace

namespace {

// The header, once the file is known to hold it and the rows it declares.
Result<IndexHeader> checked_header(const MappedFile& file) {
  if (file.length < kHeaderBytes)
    return fail("File too small: expected at least " + std::to_string(kHeaderBytes) +
                " header bytes, got " + std::to_string(file.length));
  const IndexHeader header = read_header(file.mapping.bytes());
  if (header.metric_id >= kMetricIdCount)
    return fail("Unknown metric id: " + std::to_string(header.metric_id));
  const unsigned __int128 required = required_file_bytes(header.dims, header.rows);
  if (required > file.length)
    return fail("File too small: expected " + u128_to_string(required) + " bytes, got " +
                std::to_string(file.length));
  return header;
}

}  // namespace

Status SearchEngine::compute_tables() {
  block_size = block_size_for(rows, dims);
  // Tables are sized by what the file holds, not by what its header claims:
  // without rows nothing reads the dimension blocks, and rows without
  // dimensions have zero norms (row_table.h).
  if (rows > 0) blocks = make_blocks(dims, block_size);
  if (dims == 0) {
    if (!norms_sq.assign_zeros(rows) || !norms.assign_zeros(rows))
      return fail("Failed to mmap file: " + last_os_error());
    return {};
  }
  norms_sq.assign(rows);
  double* block_norms = nullptr;
  if (wants_block_norms(metric, rows, dims)) {
    block_norms_sq.emplace(rows * blocks.size(), 0.0);
    block_norms = block_norms_sq->data();
  }
  compute_row_norms(data_, rows, dims, blocks, norms_sq.mutable_data(), block_norms);
  norms.assign(rows);
  float* out = norms.mutable_data();
  for (std::uint64_t r = 0; r < rows; ++r) out[r] = static_cast<float>(std::sqrt(norms_sq[r]));
  return {};
}

Result<std::shared_ptr<const SearchEngine>> SearchEngine::open(const std::string& path) {
  // The operating system would read the path only up to the NUL.
  if (has_embedded_nul(path)) return fail(std::string(kEmbeddedNul));
  auto file = map_file(path);
  if (!file) return fail(std::move(file.error()));
  pool_setup();
  const auto header = checked_header(*file);
  if (!header) return fail(std::move(header.error()));

  auto engine = std::make_shared<SearchEngine>();
  engine->dims = header->dims;
  engine->rows = header->rows;
  engine->metric = static_cast<Metric>(header->metric_id);
  engine->file_length = file->length;
  engine->data_ = reinterpret_cast<const float*>(file->mapping.bytes() + kHeaderBytes);
  if (auto tables = engine->compute_tables(); !tables) return fail(std::move(tables.error()));
  engine->index_hash = blake3_digest(file->mapping.bytes(), static_cast<std::size_t>(file->length));
  // The file shrank while the passes above read it: their tables are wrong.
  if (file->mapping.damaged()) return fail(std::string(kChangedInUse) + path);
  engine->path = canonical_or_given(path);
  engine->mmap_ = std::move(file->mapping);
  return std::shared_ptr<const SearchEngine>(std::move(engine));
}

Status SearchEngine::intact() const {
  if (mmap_.damaged()) return fail(std::string(kChangedInUse) + path);
  return {};
}

}  // namespace lumvero
