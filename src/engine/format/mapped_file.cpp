// Opening a whole file as a read-only, fault-guarded mapping.
#include "engine/format/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "engine/runtime/sys_error.h"

namespace lumvero {

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

}  // namespace

Result<MappedFile> map_file(const std::string& path, MapAccess access) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return fail("Failed to open file " + path + ": " + last_os_error());
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return fail("Failed to mmap file: " + last_os_error());
  // Only regular files can be mapped as an index: directories, FIFOs and
  // devices are refused as the mapping of a directory would be.
  if (!S_ISREG(st.st_mode)) return fail("Failed to mmap file: " + os_error_text(ENODEV));
  const std::uint64_t file_length = static_cast<std::uint64_t>(st.st_size);
  if (file_length > static_cast<std::uint64_t>(LLONG_MAX))
    return fail("Failed to mmap file: memory map length overflows isize");
  // An empty file is mapped as one byte so the mapping itself never fails on it.
  const std::size_t map_length = file_length == 0 ? 1 : static_cast<std::size_t>(file_length);
  const int populate = access == MapAccess::Whole ? MAP_POPULATE : 0;
  void* base = ::mmap(nullptr, map_length, PROT_READ, MAP_SHARED | populate, fd.get(), 0);
  if (base == MAP_FAILED) return fail("Failed to mmap file: " + last_os_error());
  // Advice only: a refusal changes nothing but speed. Codes are scanned whole
  // by every query and must stay cached, so WILLNEED rather than SEQUENTIAL
  // (which lets the kernel drop pages behind the reader).
  ::madvise(base, map_length,
            access == MapAccess::Whole    ? MADV_SEQUENTIAL
            : access == MapAccess::Random ? MADV_RANDOM
                                          : MADV_WILLNEED);
  return MappedFile{Mapping(base, map_length), file_length};
}

}  // namespace lumvero
