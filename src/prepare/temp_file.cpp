// The writer's temporary files: creation, locking, naming, publishing and
// reclaiming the ones killed writers left behind.
#include "prepare/temp_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <ctime>
#include <memory>

#include "engine/runtime/sys_error.h"

namespace lumvero::prepare {

namespace {

constexpr std::string_view kFinalExtension = "bin";
constexpr std::size_t kHexDigits = 16;
constexpr std::string_view kTempExtension = ".tmp";
// O_EXCL collisions of 64 random bits do not happen; the retries are for
// a name taken from under a writer by a concurrent reclaim.
constexpr int kCreateAttempts = 8;

// "NAME_f32.bin" -> "NAME_f32."; the sanitised base name holds no '.', so
// this prefix belongs to one final name only.
std::string_view temp_prefix(std::string_view final_name) {
  return final_name.substr(0, final_name.size() - kFinalExtension.size());
}

std::string_view base_name_of(std::string_view path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

enum class Lock { Held, Busy, Unsupported };

// A write lock over the whole file, owned by the open file description: it
// conflicts with every other description (in this process too) and goes
// away with the last descriptor, however the process ends.
Lock try_lock(int fd) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  if (::fcntl(fd, F_OFD_SETLK, &fl) == 0) return Lock::Held;
  return errno == EAGAIN || errno == EACCES ? Lock::Busy : Lock::Unsupported;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True while the directory entry still names the open file.
bool names_file(int dir_fd, const char* name, int fd) {
  struct stat held {
  }, named{};
  return ::fstat(fd, &held) == 0 && ::fstatat(dir_fd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         same_file(held, named);
}

struct CloseDir {
  void operator()(DIR* d) const { ::closedir(d); }
};

}  // namespace

std::string unique_temp_path(const std::string& final_path) {
  std::uint64_t r = 0;
  if (::getrandom(&r, sizeof r, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof r)) {
    static std::atomic<std::uint64_t> counter{0};
    r = (static_cast<std::uint64_t>(::getpid()) << 32) ^
        static_cast<std::uint64_t>(::time(nullptr)) ^
        (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
  }
  char hex[kHexDigits + 1];
  std::snprintf(hex, sizeof hex, "%016" PRIx64, r);
  return std::string(temp_prefix(final_path)) + hex + std::string(kTempExtension);
}

bool is_temp_name_of(std::string_view entry, std::string_view final_name) {
  const std::string_view prefix = temp_prefix(final_name);
  if (entry.size() != prefix.size() + kHexDigits + kTempExtension.size()) return false;
  if (!entry.starts_with(prefix) || !entry.ends_with(kTempExtension)) return false;
  for (char c : entry.substr(prefix.size(), kHexDigits))
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

Status check_temp_name_length(const std::string& dir, const std::string& final_path) {
  const std::size_t name_len =
      temp_prefix(base_name_of(final_path)).size() + kHexDigits + kTempExtension.size();
  const long limit = ::pathconf(dir.empty() ? "." : dir.c_str(), _PC_NAME_MAX);
  const std::size_t name_max = limit > 0 ? static_cast<std::size_t>(limit) : NAME_MAX;
  const std::size_t path_len = temp_prefix(final_path).size() + kHexDigits + kTempExtension.size();
  if (name_len <= name_max && path_len < PATH_MAX) return {};
  return fail("Failed to create file " + unique_temp_path(final_path) + ": " +
              os_error_text(ENAMETOOLONG));
}

TempFile::~TempFile() {
  unmap();
  // Unlinked while still locked, so no reclaim can mistake it for abandoned.
  if (!named_.empty() && !published_) ::unlink(named_.c_str());
  if (fd_ >= 0) ::close(fd_);
}

Status TempFile::create(const std::string& dir, const std::string& final_path, bool allow_unnamed) {
  if (allow_unnamed) {
    fd_ = ::open(dir.empty() ? "." : dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
      try_lock(fd_);  // taken before the file ever gets a name
      return {};
    }
  }
  // Created, then locked: a reclaim can come between the two, so the name
  // must still be this file once the lock is held; otherwise another one.
  std::string path;
  int err = EEXIST;
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    path = unique_temp_path(final_path);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      err = errno;
      if (err == EEXIST) continue;
      break;
    }
    if (try_lock(fd) != Lock::Busy && names_file(AT_FDCWD, path.c_str(), fd)) {
      fd_ = fd;
      named_ = std::move(path);
      return {};
    }
    ::close(fd);  // being reclaimed: the reclaim removes it
    err = EEXIST;
  }
  return fail("Failed to create file " + path + ": " + os_error_text(err));
}

Status TempFile::give_name(const std::string& final_path) {
  if (!named_.empty()) return {};
  // The lock taken at creation already covers the new name.
  const std::string self = "/proc/self/fd/" + std::to_string(fd_);
  int err = EEXIST;
  for (int attempt = 0; attempt < kCreateAttempts && err == EEXIST; ++attempt) {
    std::string linked = unique_temp_path(final_path);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, linked.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
        ::linkat(fd_, "", AT_FDCWD, linked.c_str(), AT_EMPTY_PATH) == 0) {
      named_ = std::move(linked);
      return {};
    }
    err = errno;
  }
  return fail("Failed to move temp file to final location: " + os_error_text(err));
}

Status TempFile::publish(const std::string& final_path) {
  // A link cannot replace an existing name: an unnamed file is linked under
  // a temporary name, which is then renamed over the final one.
  if (auto named = give_name(final_path); !named) return named;
  if (::rename(named_.c_str(), final_path.c_str()) != 0)
    return fail("Failed to move temp file to final location: " + last_os_error());
  published_ = true;
  return {};
}

void TempFile::unmap() {
  if (map_ != nullptr) ::munmap(map_, map_len_);
  map_ = nullptr;
}

std::size_t reclaim_abandoned_temps(const std::string& dir, const std::string& final_path) {
  std::unique_ptr<DIR, CloseDir> listing(::opendir(dir.empty() ? "." : dir.c_str()));
  if (!listing) return 0;
  const int dir_fd = ::dirfd(listing.get());
  const std::string_view final_name = base_name_of(final_path);
  std::size_t removed = 0;
  while (const dirent* entry = ::readdir(listing.get())) {
    if (!is_temp_name_of(entry->d_name, final_name)) continue;
    // Non-blocking, so that a FIFO under such a name cannot stall the open.
    const int fd =
        ::openat(dir_fd, entry->d_name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st {};
    // Removed only under its lock, and only while the name is still the
    // file that was locked (its writer may have renamed it meanwhile).
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && try_lock(fd) == Lock::Held &&
        names_file(dir_fd, entry->d_name, fd) && ::unlinkat(dir_fd, entry->d_name, 0) == 0)
      ++removed;
    ::close(fd);
  }
  return removed;
}

}  // namespace lumvero::prepare
