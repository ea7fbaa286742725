// Writing an index file from an embedding matrix.
//
// prepare_index validates the request, estimates memory, picks the file's
// name and directory, and writes the file through a memory-mapped temporary
// file that is flushed, then renamed over the final name: a file under the
// final name is always complete, and an older index under that name stays
// intact until its replacement is on disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/format/index_format.h"
#include "engine/runtime/memory_info.h"
#include "engine/status.h"

namespace lumvero::prepare {

// The private copy of the caller's matrix, in anonymous memory of its own so
// that the writer can hand each batch's pages back to the system as soon as
// the batch is in the file: peak memory stays near one copy of the input.
class MatrixBuffer {
 public:
  explicit MatrixBuffer(std::size_t count);  // throws std::bad_alloc
  MatrixBuffer(const MatrixBuffer&) = delete;
  MatrixBuffer& operator=(const MatrixBuffer&) = delete;
  ~MatrixBuffer();

  float* data() { return data_; }
  const float* data() const { return data_; }
  std::size_t size() const { return count_; }
  // Gives back the whole pages of [0, end) values; their contents are lost.
  void release_prefix(std::size_t end);

 private:
  float* data_ = nullptr;
  std::size_t count_ = 0;
  std::size_t bytes_ = 0;
  std::size_t released_ = 0;  // bytes already given back
};

struct Request {
  MatrixBuffer* data = nullptr;  // rows * dims values, row-major
  std::uint64_t dims = 0;
  std::uint64_t rows = 0;
  std::string base_name;
  std::string level;
  bool normalize = false;
  Metric metric = Metric::Cosine;
  std::optional<std::string> output_dir;
  // Write through an unnamed temporary file where the file system offers
  // them; off, the named one that other file systems get (for tests).
  bool unnamed_temp = true;
};

// Everything after the metric check; returns the final path.
Result<std::string> prepare_index(const Request& request);

// ---- Pieces with their own rules, exposed for tests. ----

// Full Unicode lower-casing, then one of the accepted spellings.
Result<Metric> parse_metric(std::string_view text);

// False for a blank name or one holding any of | < > " ? * : \ . /
bool base_name_acceptable(std::string_view name);

// Keeps alphanumerics (Alphabetic, Nd, Nl, No), '-' and '_', in order.
std::string sanitize_base_name(std::string_view name);

// Memory factor of a precision level; nullopt for an unknown level.
std::optional<double> memory_factor(std::string_view level);

struct SampleCount {
  std::uint64_t bad = 0;
  std::uint64_t examined = 0;
};
// Counts non-finite values at a fixed stride over the n values.
SampleCount invalid_sample(const float* values, std::uint64_t n);

// MemAvailable (engine/runtime/memory_info.h), for the writer's memory check.
using ::lumvero::available_memory_bytes;

// Fails only when need exceeds available and strict_env (the value of
// LUMVO_STRICT_MEMCHECK, or null) is exactly "1".
Status memory_check(double need_bytes, double available_bytes, const char* strict_env);

// Rows per write batch.
std::uint64_t batch_rows(std::uint64_t rows, std::uint64_t dims);

// One row scaled to unit length in binary32 (all zeros when it cannot be).
void normalize_row(const float* in, float* out, std::size_t dims);

// A batch of rows, in parallel on the worker pool; independent of the split.
Status normalize_rows(const float* in, float* out, std::uint64_t rows, std::uint64_t dims);

}  // namespace lumvero::prepare
