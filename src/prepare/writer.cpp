// The preparation sequence: checks, file naming, and the crash-safe write.
#include <fcntl.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "engine/runtime/sys_error.h"
#include "prepare/prepare.h"
#include "prepare/temp_file.h"

namespace lumvero::prepare {

namespace {

std::string format_1dp(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

bool is_non_finite(float v) {
  std::uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return (bits & 0x7F800000u) == 0x7F800000u;
}

std::string join_path(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

std::string parent_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

Result<std::string> home_directory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
    return std::string(home);
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<std::size_t>(size) : 16384);
  struct passwd pw {};
  struct passwd* found = nullptr;
  while (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == ERANGE)
    buf.resize(buf.size() * 2);
  if (found != nullptr && found->pw_dir != nullptr && *found->pw_dir != '\0')
    return std::string(found->pw_dir);
  return fail("Failed to get home directory");
}

// mkdir -p with mode 0777 (before umask).
Status create_directories(const std::string& dir) {
  std::string prefix;
  std::size_t pos = 0;
  while (pos <= dir.size()) {
    const auto next = dir.find('/', pos);
    prefix = next == std::string::npos ? dir : dir.substr(0, next);
    pos = next == std::string::npos ? dir.size() + 1 : next + 1;
    if (prefix.empty()) continue;
    if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
      const int err = errno;
      return fail("Failed to create directory " + dir + ": " + os_error_text(err));
    }
  }
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0)
    return fail("Failed to create directory " + dir + ": " + last_os_error());
  if (!S_ISDIR(st.st_mode))
    return fail("Failed to create directory " + dir + ": " + os_error_text(ENOTDIR));
  return {};
}

// Makes the new directory entry durable; best effort (not every file system
// supports fsync on directories).
void sync_directory(const std::string& dir) {
  const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

const std::size_t kPage = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));

// Writes the rows batch by batch through the file mapping. Each batch's
// pages are faulted in with one call before they are written, and handed
// back once written (they stay dirty in the page cache until the final
// flush); the private copy of the batch is released too.
Status write_rows(const Request& req, unsigned char* map, std::size_t map_len) {
  const float* in = req.data->data();
  float* out = reinterpret_cast<float*>(map + kHeaderBytes);
  const bool normalize = req.normalize || req.metric == Metric::Cosine;
  const std::uint64_t batch = batch_rows(req.rows, req.dims);
  std::size_t mapped_done = 0;  // bytes of the mapping already handed back
  for (std::uint64_t first = 0; first < req.rows; first += batch) {
    const std::uint64_t n = std::min(batch, req.rows - first);
    const std::uint64_t offset = first * req.dims;
    const std::size_t begin = kHeaderBytes + offset * sizeof(float);
    const std::size_t end = begin + n * req.dims * sizeof(float);
    const std::size_t fault_from = begin / kPage * kPage;
    ::madvise(map + fault_from, std::min(map_len, (end + kPage - 1) / kPage * kPage) - fault_from,
              MADV_POPULATE_WRITE);  // best effort: plain faults do the same, slower
    if (normalize) {
      if (auto st = normalize_rows(in + offset, out + offset, n, req.dims); !st) return st;
    } else {
      std::memcpy(out + offset, in + offset, n * req.dims * sizeof(float));
    }
    const std::size_t done = end / kPage * kPage;
    if (done > mapped_done) {
      ::madvise(map + mapped_done, done - mapped_done, MADV_DONTNEED);
      mapped_done = done;
    }
    req.data->release_prefix(offset + n * req.dims);
  }
  return {};
}

}  // namespace

MatrixBuffer::MatrixBuffer(std::size_t count) : count_(count) {
  if (count > SIZE_MAX / sizeof(float)) throw std::bad_alloc();
  bytes_ = std::max<std::size_t>(count * sizeof(float), 1);
  void* p = ::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  // Huge pages and one bulk fault make the copy itself cheaper.
  ::madvise(p, bytes_, MADV_HUGEPAGE);
  data_ = static_cast<float*>(p);
}

MatrixBuffer::~MatrixBuffer() { ::munmap(data_, bytes_); }

void MatrixBuffer::release_prefix(std::size_t end) {
  const std::size_t upto = std::min(end * sizeof(float), bytes_) / kPage * kPage;
  if (upto <= released_) return;
  ::madvise(reinterpret_cast<unsigned char*>(data_) + released_, upto - released_, MADV_DONTNEED);
  released_ = upto;
}

SampleCount invalid_sample(const float* values, std::uint64_t n) {
  SampleCount count;
  if (n == 0) return count;
  std::uint64_t stride = 1;
  if (n >= 101) {
    const std::uint64_t d = std::max<std::uint64_t>(100, n / 1000);
    stride = n / d;
  }
  count.examined = (n + stride - 1) / stride;
  for (std::uint64_t i = 0; i < count.examined; ++i)
    if (is_non_finite(values[i * stride])) ++count.bad;
  return count;
}

Status memory_check(double need, double available, const char* strict_env) {
  if (need <= available) return {};
  if (strict_env == nullptr || std::strcmp(strict_env, "1") != 0) return {};
  return fail("Insufficient memory: need " + format_1dp(need / 1073741824.0) + "GB, available " +
              format_1dp(available / 1073741824.0) + "GB");
}

std::uint64_t batch_rows(std::uint64_t rows, std::uint64_t dims) {
  const std::uint64_t b = dims < 1280 ? 8192 : 8192 / (dims / 1024);
  return std::min(rows, std::max<std::uint64_t>(1000, b));
}

namespace {

// The request's checks, in their fixed order, up to the memory estimate.
Status validate(const Request& req) {
  // Before anything else touches the disk: the directory would be cut short
  // at the NUL (a symlink named by the prefix would be replaced).
  if (req.output_dir && has_embedded_nul(*req.output_dir)) return fail(std::string(kEmbeddedNul));
  const MatrixBuffer& data = *req.data;
  if (req.dims < 1 || req.dims > kMaxDims)
    return fail("Invalid dims: " + std::to_string(req.dims) + " (must be 1-" +
                std::to_string(kMaxDims) + ")");
  if (req.rows < 1 || req.rows > kMaxRows)
    return fail("Invalid rows: " + std::to_string(req.rows) + " (must be 1-" +
                std::to_string(kMaxRows) + ")");
  const std::uint64_t expected = req.rows * req.dims;
  if (data.size() != expected)
    return fail("Data shape mismatch: expected " + std::to_string(req.rows) + "\u00d7" +
                std::to_string(req.dims) + "=" + std::to_string(expected) + ", got " +
                std::to_string(data.size()));
  if (!base_name_acceptable(req.base_name))
    return fail("Invalid base_name: cannot be empty or contain special characters");
  const auto factor = memory_factor(req.level);
  if (!factor) return fail("Invalid level '" + req.level + "'. Must be f8, f16, f32, or f64");

  const SampleCount sample = invalid_sample(data.data(), data.size());
  if (sample.bad > sample.examined / 100)
    return fail(
        "Too many invalid values: " + std::to_string(sample.bad) + "/" +
        std::to_string(sample.examined) + " (" +
        format_1dp(static_cast<double>(sample.bad) * 100.0 / static_cast<double>(sample.examined)) +
        "%)");

  const double need = static_cast<double>(expected) * 4.0 * *factor;
  return memory_check(need, available_memory_bytes(), std::getenv("LUMVO_STRICT_MEMCHECK"));
}

struct Destination {
  std::string final_path;
  std::string parent;
};

// The final file name and its directory, created when missing; temporaries
// that killed preparations of the same name left behind are removed.
Result<Destination> resolve_destination(const Request& req) {
  const std::string clean = sanitize_base_name(req.base_name);
  if (clean.empty()) return fail("Base name contains no valid characters");
  const std::string file_name = clean + "_" + req.level + ".bin";

  std::string dir;
  if (req.output_dir) {
    struct stat st {};
    if (::stat(req.output_dir->c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
      return fail("Output path is not a directory: " + *req.output_dir);
    dir = *req.output_dir;
  } else {
    auto home = home_directory();
    if (!home) return fail(home.error());
    dir = join_path(join_path(*home, ".lumvo"), "indexes");
  }
  Destination dest{join_path(dir, file_name), ""};
  dest.parent = parent_of(dest.final_path);
  // A name too long for the file system fails here, not once the whole
  // file is written, and before any directory is made.
  if (auto fits = check_temp_name_length(dest.parent, dest.final_path); !fits)
    return fail(fits.error());
  if (struct stat st{}; !dest.parent.empty() && ::stat(dest.parent.c_str(), &st) != 0)
    if (auto made = create_directories(dest.parent); !made) return fail(made.error());

  // Earlier versions wrote through this fixed name; a file one left by a
  // crash is removed. This version never uses the name, so a directory
  // there is not in its way and is left alone.
  const std::string legacy_temp = dest.final_path.substr(0, dest.final_path.size() - 3) + "tmp";
  if (struct stat st{}; ::lstat(legacy_temp.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) &&
                        ::unlink(legacy_temp.c_str()) != 0)
    return fail("Failed to remove temp file: " + last_os_error());
  reclaim_abandoned_temps(dest.parent, dest.final_path);
  return dest;
}

// Writes the whole file through a temporary one and renames it
// over the final name only once it is complete. An existing index under the
// final name stays in place until then.
Status write_file(const Request& req, const Destination& dest) {
  TempFile temp;
  if (auto created = temp.create(dest.parent, dest.final_path, req.unnamed_temp); !created)
    return fail(created.error());

  const std::uint64_t length = kHeaderBytes + 4 * req.rows * req.dims;
  if (::ftruncate(temp.fd(), static_cast<off_t>(length)) != 0)
    return fail("Failed to set file length: " + last_os_error());
  // Reserve the blocks now: a full disk must be an error here, not a SIGBUS
  // while writing through the mapping.
  if (int err = ::posix_fallocate(temp.fd(), 0, static_cast<off_t>(length)); err != 0)
    return fail("Failed to set file length: " + os_error_text(err));

  struct stat st {};
  if (::fstat(temp.fd(), &st) != 0) return fail("Failed to create memory map: " + last_os_error());
  const std::uint64_t mapped = static_cast<std::uint64_t>(st.st_size);
  if (mapped > static_cast<std::uint64_t>(LLONG_MAX))
    return fail("Failed to create memory map: memory map length overflows isize");
  void* map = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_SHARED, temp.fd(), 0);
  if (map == MAP_FAILED) return fail("Failed to create memory map: " + last_os_error());
  temp.set_mapping(map, mapped);

  write_header(temp.bytes(),
               {static_cast<std::uint32_t>(req.dims), static_cast<std::uint32_t>(req.rows),
                static_cast<std::uint32_t>(req.metric)});
  if (auto written = write_rows(req, temp.bytes(), mapped); !written) return fail(written.error());
  if (::msync(temp.bytes(), mapped, MS_SYNC) != 0)
    return fail("Failed to flush memory map: " + last_os_error());
  temp.unmap();
  if (::fstat(temp.fd(), &st) != 0)
    return fail("Failed to get temp file metadata: " + last_os_error());
  if (auto published = temp.publish(dest.final_path); !published) return fail(published.error());
  sync_directory(dest.parent);
  return {};
}

}  // namespace

Result<std::string> prepare_index(const Request& req) {
  if (auto valid = validate(req); !valid) return fail(std::move(valid.error()));
  auto dest = resolve_destination(req);
  if (!dest) return fail(std::move(dest.error()));
  if (auto written = write_file(req, *dest); !written) return fail(std::move(written.error()));
  return std::move(dest->final_path);
}

}  // namespace lumvero::prepare
