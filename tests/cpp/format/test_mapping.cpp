// An index file shortened under an open engine, and tables sized by the file
// rather than by its header.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "engine/certify/certified.h"
#include "engine/certify/explain.h"
#include "engine/format/mapping.h"
#include "index_fixture.h"

namespace lumvero {
namespace {

// A named index file that stays on disk (unlike open_index) so that the test
// can shorten it; removed at the end.
class IndexFile {
 public:
  IndexFile(std::uint32_t dims, std::uint32_t rows, Metric metric, const std::vector<float>& data) {
    const char* tmp = std::getenv("TMPDIR");
    path_ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/lumvero_map_XXXXXX";
    const int fd = ::mkstemp(path_.data());
    EXPECT_GE(fd, 0);
    unsigned char header[12];
    write_header(header, {dims, rows, static_cast<std::uint32_t>(metric)});
    EXPECT_EQ(::write(fd, header, 12), 12);
    const auto bytes = static_cast<ssize_t>(data.size() * sizeof(float));
    EXPECT_EQ(::write(fd, data.data(), static_cast<std::size_t>(bytes)), bytes);
    ::close(fd);
  }
  ~IndexFile() { ::unlink(path_.c_str()); }
  const std::string& path() const { return path_; }
  void truncate_to(off_t length) const { ASSERT_EQ(::truncate(path_.c_str(), length), 0); }

 private:
  std::string path_;
};

constexpr std::uint32_t kDims = 64;
constexpr std::uint32_t kRows = 4096;  // 1 MiB of rows: many pages past the cut

TEST(ShortenedFile, QueriesReportTheChangeInsteadOfCrashing) {
  const auto data = testing::random_matrix(kRows, kDims, 7, true);
  IndexFile file(kDims, kRows, Metric::Cosine, data);
  auto opened = SearchEngine::open(file.path());
  ASSERT_TRUE(opened) << opened.error();
  const auto& e = **opened;
  const std::vector<float> q(data.begin(), data.begin() + kDims);
  ASSERT_TRUE(e.intact());
  ASSERT_TRUE(e.query_single(q, 5));

  file.truncate_to(4096);
  // The scan reads past the new end: zero pages instead of SIGBUS.
  auto r = e.query_single(q, 5);
  ASSERT_TRUE(r.has_value());
  const auto st = e.intact();
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error(), "Index file changed while in use: " + e.path);
  // Every later call works on zeros without faulting; the flag stays.
  EXPECT_TRUE(e.query_batch(std::span<const float>(data.data(), 4 * kDims), kDims, 3));
  EXPECT_TRUE(e.query_certified(q, 3, 16, true));
  EXPECT_TRUE(explain(e, q, kRows - 1, 16, 2));
  EXPECT_FALSE(e.intact());
}

TEST(ShortenedFile, SeveralThreadsFaultingAtOnce) {
  const auto data = testing::random_matrix(kRows, kDims, 8, true);
  IndexFile file(kDims, kRows, Metric::Dot, data);
  std::vector<std::shared_ptr<const SearchEngine>> engines;
  for (int i = 0; i < 3; ++i) {
    auto opened = SearchEngine::open(file.path());
    ASSERT_TRUE(opened) << opened.error();
    engines.push_back(*opened);
  }
  // One more engine on another file stays intact throughout.
  IndexFile other(kDims, kRows, Metric::Dot, data);
  auto bystander = SearchEngine::open(other.path());
  ASSERT_TRUE(bystander);

  file.truncate_to(12);
  std::atomic<int> done{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      const auto& e = *engines[static_cast<std::size_t>(t) % engines.size()];
      const std::vector<float> q(data.begin() + t * kDims, data.begin() + (t + 1) * kDims);
      for (int i = 0; i < 20; ++i) (void)e.query_single(q, 4);
      ++done;
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(done.load(), 8);
  for (const auto& e : engines) EXPECT_FALSE(e->intact());
  EXPECT_TRUE((*bystander)->intact());
  const std::vector<float> q(data.begin(), data.begin() + kDims);
  auto r = (*bystander)->query_single(q, 1);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->results.at(0).idx, 0u);
}

TEST(ShortenedFile, OpeningAfterTheCutSeesTheNewLength) {
  const auto data = testing::random_matrix(kRows, kDims, 9);
  IndexFile file(kDims, kRows, Metric::Euclidean, data);
  file.truncate_to(1000);
  auto opened = SearchEngine::open(file.path());
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error(), "File too small: expected " +
                                std::to_string(12 + 4ull * kDims * kRows) + " bytes, got 1000");
}

TEST(ShortenedFile, MappingsLeaveTheRegistryWhenClosed) {
  const auto data = testing::random_matrix(16, 4, 1);
  const std::size_t before = fault::registered_count();
  {
    IndexFile file(4, 16, Metric::Dot, data);
    auto a = SearchEngine::open(file.path());
    auto b = SearchEngine::open(file.path());
    ASSERT_TRUE(a && b);
    EXPECT_EQ(fault::registered_count(), before + 2);
  }
  EXPECT_EQ(fault::registered_count(), before);
}

// A fault outside every registered mapping is not swallowed: with no other
// handler the process still dies of SIGBUS, exactly as without the engine.
TEST(ShortenedFile, ForeignFaultsStillKill) {
  const auto data = testing::random_matrix(16, 4, 2);
  IndexFile file(4, 16, Metric::Dot, data);
  auto e = SearchEngine::open(file.path());  // installs the handler
  ASSERT_TRUE(e);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    char path[] = "/tmp/lumvero_foreign_XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0 || ::ftruncate(fd, 8192) != 0) ::_exit(2);
    auto* p =
        static_cast<volatile unsigned char*>(::mmap(nullptr, 8192, PROT_READ, MAP_SHARED, fd, 0));
    if (::ftruncate(fd, 0) != 0) ::_exit(2);
    ::unlink(path);
    try {
      const unsigned char v = p[4096];  // beyond the end: SIGBUS
      ::_exit(v == 0 ? 3 : 4);
    } catch (...) {
      ::_exit(9);
    }
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
#if defined(__SANITIZE_ADDRESS__)
  // Chained to AddressSanitizer's own handler, which reports the fault and
  // exits with 1: still a crash, not a swallowed fault.
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
#else
  ASSERT_TRUE(WIFSIGNALED(status)) << "child exited with " << WEXITSTATUS(status);
  EXPECT_EQ(WTERMSIG(status), SIGBUS);
#endif
}

// The process's data segment size (VmData), what RLIMIT_DATA counts; 0 when
// it cannot be read.
std::uint64_t data_in_use() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return 0;
  char line[256];
  std::uint64_t kib = 0;
  while (std::fgets(line, sizeof line, f) != nullptr)
    if (std::sscanf(line, "VmData: %" SCNu64 " kB", &kib) == 1) break;
  std::fclose(f);
  return kib << 10;
}

// What a 12-byte file can make the engine allocate: nothing per declared row
// or dimension. Checked under an address-space limit far below what the old
// per-row tables needed (3 GiB for 2^28 rows).
TEST(HostileHeader, TablesFollowTheFileNotTheHeader) {
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Room for the code, the pool threads' stacks and the zero-backed tables'
    // address space only (those are PROT_READ and never committed).
    auto check = [](std::uint32_t dims, std::uint32_t rows) {
      IndexFile file(dims, rows, Metric::Cosine, {});
      auto e = SearchEngine::open(file.path());
      if (!e) return false;
      if (rows == 0 && !(*e)->blocks.empty()) return false;
      if (dims != 0) return true;
      auto r = (*e)->query_single({}, 3);
      return r && r->results.size() == 3 && r->results[2].idx == 2 && r->results[2].score == 0.0f;
    };
    // 512 MiB above what the process holds already: under AddressSanitizer
    // its shadow memory alone, private and writable, counts terabytes
    // against RLIMIT_DATA.
    struct rlimit data_limit {};
    data_limit.rlim_cur = data_limit.rlim_max = data_in_use() + (512ull << 20);
    if (::setrlimit(RLIMIT_DATA, &data_limit) != 0) ::_exit(5);
    int code = 0;
    try {
      if (!check(0, 1u << 28))
        code = 1;
      else if (!check(0, 0xFFFFFFFFu))
        code = 2;
      else if (!check(1u << 30, 0))
        code = 3;
    } catch (...) {
      code = 9;  // std::bad_alloc: the limit was hit
    }
    ::_exit(code);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Headers that declare more rows than the file holds, the product of dims
// and rows taken in full: 2^16 x 2^16 is 0 in 32 bits, and (2^32 - 1)^2
// floats need more than 64 bits of bytes. Each file is opened in a child, so
// a header that slips through (and sends the norm pass past the mapping)
// fails this test rather than ending the suite.
struct ShortFileCase {
  std::uint32_t dims;
  std::uint32_t rows;
  std::size_t floats;  // what the file holds after its header
  const char* error;
};

class HostileHeaderSize : public ::testing::TestWithParam<ShortFileCase> {};

TEST_P(HostileHeaderSize, IsRefusedWithTheBytesItNeeds) {
  const ShortFileCase& c = GetParam();
  IndexFile file(c.dims, c.rows, Metric::Dot, std::vector<float>(c.floats, 1.0f));
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(fds[0]);
    ::alarm(20);
    auto e = SearchEngine::open(file.path());
    const std::string text = e ? std::string() : e.error();
    const bool sent =
        ::write(fds[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::_exit(e ? 1 : sent ? 0 : 2);
  }
  ::close(fds[1]);
  std::string got;
  char buf[256];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
    got.append(buf, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the header was accepted";
  EXPECT_EQ(got, c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Declared, HostileHeaderSize,
    ::testing::Values(ShortFileCase{1, 1, 0, "File too small: expected 16 bytes, got 12"},
                      ShortFileCase{3, 5, 14, "File too small: expected 72 bytes, got 68"},
                      ShortFileCase{1u << 16, 1u << 16, 0,
                                    "File too small: expected 17179869196 bytes, got 12"},
                      ShortFileCase{0xFFFFFFFFu, 0xFFFFFFFFu, 0,
                                    "File too small: expected 73786976260478468112 bytes, got 12"}),
    [](const ::testing::TestParamInfo<ShortFileCase>& p) {
      return std::to_string(p.param.dims) + "x" + std::to_string(p.param.rows);
    });

TEST(HostileHeader, ZeroWidthRowsAnswerAsBefore) {
  auto e = testing::open_index(0, 5, Metric::Euclidean, {});
  ASSERT_TRUE(e);
  EXPECT_EQ(e->norms.size(), 5u);
  EXPECT_EQ(e->norms_sq[4], 0.0);
  auto r = e->query_single({}, 10);
  ASSERT_TRUE(r);
  ASSERT_EQ(r->results.size(), 5u);
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(r->results[i].idx, i);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(r->results[i].score), 0u);
  }
  auto c = e->query_certified({}, 2, 8, true);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->full_evaluated, 5u);
  ASSERT_EQ(c->results.size(), 2u);
  EXPECT_EQ(c->results[1].idx, 1u);
}

}  // namespace
}  // namespace lumvero
