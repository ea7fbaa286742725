// Opening an index file: map, check, precompute, hash.
#include "engine/search_engine.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdlib>

#include "engine/content_hash.h"
#include "engine/pool_setup.h"
#include "engine/row_norms.h"
#include "engine/sys_error.h"

namespace lumvero {

Mapping& Mapping::operator=(Mapping&& o) noexcept {
  if (this != &o) {
    if (base_ != nullptr) munmap(base_, length_);
    base_ = std::exchange(o.base_, nullptr);
    length_ = std::exchange(o.length_, 0);
  }
  return *this;
}

Mapping::~Mapping() {
  if (base_ != nullptr) munmap(base_, length_);
}

namespace {

// Closes the descriptor on every exit path of the open sequence.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

std::string canonical_or_given(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return path;
  std::string out(resolved);
  std::free(resolved);
  return out;
}

}  // namespace

Result<std::shared_ptr<const SearchEngine>> SearchEngine::open(const std::string& path) {
  // The operating system would read the path only up to the NUL.
  if (has_embedded_nul(path)) return fail(std::string(kEmbeddedNul));
  // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return fail("Failed to open file " + path + ": " + last_os_error());

  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) return fail("Failed to mmap file: " + last_os_error());
  // Only regular files can be mapped as an index: directories, FIFOs and
  // devices are refused as the mapping of a directory would be.
  if (!S_ISREG(st.st_mode)) return fail("Failed to mmap file: " + os_error_text(ENODEV));
  const std::uint64_t file_length = static_cast<std::uint64_t>(st.st_size);
  if (file_length > static_cast<std::uint64_t>(LLONG_MAX))
    return fail("Failed to mmap file: memory map length overflows isize");

  // An empty file is mapped as one byte so the mapping itself never fails on it.
  const std::size_t map_length = file_length == 0 ? 1 : static_cast<std::size_t>(file_length);
  void* base = ::mmap(nullptr, map_length, PROT_READ, MAP_SHARED | MAP_POPULATE, fd.get(), 0);
  if (base == MAP_FAILED) return fail("Failed to mmap file: " + last_os_error());
  Mapping mapping(base, map_length);
  ::madvise(base, map_length, MADV_SEQUENTIAL);

  pool_setup();

  if (file_length < kHeaderBytes)
    return fail("File too small: expected at least " + std::to_string(kHeaderBytes) +
                " header bytes, got " + std::to_string(file_length));

  const IndexHeader header = read_header(mapping.bytes());
  if (header.metric_id >= kMetricIdCount)
    return fail("Unknown metric id: " + std::to_string(header.metric_id));

  const unsigned __int128 required = required_file_bytes(header.dims, header.rows);
  if (required > file_length)
    return fail("File too small: expected " + u128_to_string(required) + " bytes, got " +
                std::to_string(file_length));

  auto engine = std::make_shared<SearchEngine>();
  engine->dims = header.dims;
  engine->rows = header.rows;
  engine->metric = static_cast<Metric>(header.metric_id);
  engine->file_length = file_length;
  engine->data_ = reinterpret_cast<const float*>(mapping.bytes() + kHeaderBytes);

  engine->block_size = block_size_for(engine->rows, engine->dims);
  engine->blocks = make_blocks(engine->dims, engine->block_size);
  engine->norms_sq.assign(engine->rows, 0.0);
  double* block_norms = nullptr;
  if (wants_block_norms(engine->metric, engine->rows, engine->dims)) {
    engine->block_norms_sq.emplace(engine->rows * engine->blocks.size(), 0.0);
    block_norms = engine->block_norms_sq->data();
  }
  compute_row_norms(engine->data_, engine->rows, engine->dims, engine->blocks,
                    engine->norms_sq.data(), block_norms);
  engine->norms.resize(engine->rows);
  for (std::uint64_t r = 0; r < engine->rows; ++r)
    engine->norms[r] = static_cast<float>(std::sqrt(engine->norms_sq[r]));

  engine->index_hash = blake3_digest(mapping.bytes(), static_cast<std::size_t>(file_length));
  engine->path = canonical_or_given(path);
  engine->mmap_ = std::move(mapping);
  return std::shared_ptr<const SearchEngine>(std::move(engine));
}

}  // namespace lumvero
