// The writer's rules that the Python tests cannot reach cheaply.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "prepare/prepare.h"
#include "prepare/temp_file.h"

namespace lumvero::prepare {
namespace {

const std::string kFixtures = LUMVO_FIXTURE_DIR;

TEST(Prepare, MemAvailableParsing) {
  EXPECT_EQ(available_memory_bytes((kFixtures + "/meminfo/normal").c_str()), 20000000.0 * 1024);
  // The first MemAvailable line whose value parses wins.
  EXPECT_EQ(available_memory_bytes((kFixtures + "/meminfo/second_line").c_str()), 512.0 * 1024);
  EXPECT_EQ(available_memory_bytes((kFixtures + "/meminfo/missing").c_str()), 8589934592.0);
  EXPECT_EQ(available_memory_bytes("/nonexistent/meminfo"), 8589934592.0);
}

TEST(Prepare, MemoryCheckOnlyFailsInStrictMode) {
  const double gib = 1073741824.0;
  EXPECT_TRUE(memory_check(2 * gib, 2 * gib, "1"));
  for (const char* lax : {static_cast<const char*>(nullptr), "", "0", "true", "yes", " 1", "1 "})
    EXPECT_TRUE(memory_check(30 * gib, 2 * gib, lax)) << (lax ? lax : "(unset)");
  auto strict = memory_check(30.04 * gib, 1.25 * gib, "1");
  ASSERT_FALSE(strict);
  EXPECT_EQ(strict.error(), "Insufficient memory: need 30.0GB, available 1.2GB");
}

TEST(Prepare, BatchRows) {
  EXPECT_EQ(batch_rows(1000000, 768), 8192u);
  EXPECT_EQ(batch_rows(1000000, 1279), 8192u);
  EXPECT_EQ(batch_rows(1000000, 2048), 4096u);
  EXPECT_EQ(batch_rows(1000000, 4096), 2048u);
  EXPECT_EQ(batch_rows(1000000, 10000), 1000u);
  EXPECT_EQ(batch_rows(10, 10000), 10u);
  EXPECT_EQ(batch_rows(500, 128), 500u);
}

TEST(Prepare, InvalidSampleStride) {
  std::vector<float> v(100999, 1.0f);
  auto c = invalid_sample(v.data(), v.size());
  // Inputs below 101,000 values are examined at stride n / 100.
  EXPECT_EQ(c.examined, (100999 + 1008) / 1009);
  v.assign(101, 1.0f);
  EXPECT_EQ(invalid_sample(v.data(), v.size()).examined, 101u);  // stride 1
  v.assign(100, std::numeric_limits<float>::infinity());
  c = invalid_sample(v.data(), v.size());
  EXPECT_EQ(c.examined, 100u);
  EXPECT_EQ(c.bad, 100u);
  v.assign(2000000, 1.0f);
  v[1000] = -std::numeric_limits<float>::infinity();
  v[1001] = std::nanf("");
  c = invalid_sample(v.data(), v.size());
  EXPECT_EQ(c.examined, 2000u);
  EXPECT_EQ(c.bad, 1u);
}

TEST(Prepare, NormalizeRowEdgeCases) {
  std::vector<float> out(3, 7.0f);
  const float zeros[3] = {0, 0, 0};
  normalize_row(zeros, out.data(), 3);
  EXPECT_EQ(out, std::vector<float>(3, 0.0f));
  const float tiny[2] = {1e-30f, 0.0f};  // the square underflows to zero
  normalize_row(tiny, out.data(), 2);
  EXPECT_EQ(out[0], 0.0f);
  const float x[3] = {1, 2, 3};
  normalize_row(x, out.data(), 3);
  const float inv = 1.0f / std::sqrt(14.0f);
  EXPECT_EQ(out[0], 1.0f * inv);
  EXPECT_EQ(out[2], 3.0f * inv);
}

TEST(Prepare, MetricLowerCasingIsFullUnicode) {
  EXPECT_EQ(parse_metric("COSINE").value(), Metric::Cosine);
  EXPECT_EQ(parse_metric("L2").value(), Metric::Euclidean);
  // U+212A KELVIN SIGN lower-cases to 'k', so it spells nothing here; the text
  // is reported as given.
  EXPECT_EQ(parse_metric("\u212Aos").error(), "Unknown similarity metric: \u212Aos");
  EXPECT_FALSE(parse_metric("cosine\n"));
}

// ---- Temporary files left by killed preparations. ----

// A fresh empty directory, removed with everything in it.
struct ScratchDir {
  std::string path;
  ScratchDir() {
    path = ::testing::TempDir() + "lumvo_temps_XXXXXX";
    if (::mkdtemp(path.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
  }
  ~ScratchDir() { std::filesystem::remove_all(path); }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

std::set<std::string> listing(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    names.insert(entry.path().filename().string());
  return names;
}

// True when another open file description holds a lock on the file.
bool locked_elsewhere(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock fl {};
  fl.l_type = F_WRLCK;
  const bool busy = ::fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
  ::close(fd);
  return busy;
}

void write_file(const std::string& path, const std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

TEST(Prepare, TempNamesBelongToOneFinalName) {
  EXPECT_TRUE(is_temp_name_of("k_f32.0123456789abcdef.tmp", "k_f32.bin"));
  EXPECT_TRUE(is_temp_name_of("\u00dcbung-7_f8.ffffffffffffffff.tmp", "\u00dcbung-7_f8.bin"));
  for (const char* other :
       {"k_f32.0123456789ABCDEF.tmp", "k_f32.0123456789abcde.tmp", "k_f32.0123456789abcdef0.tmp",
        "k_f32.0123456789abcdeg.tmp", "k_f32.0123456789abcdef.bin", "kk_f32.0123456789abcdef.tmp",
        "k_f16.0123456789abcdef.tmp", "k_f32.tmp", "k_f32.bin"})
    EXPECT_FALSE(is_temp_name_of(other, "k_f32.bin")) << other;
  const std::string path = "/some/dir/k_f32.bin";
  for (int i = 0; i < 4; ++i)
    EXPECT_TRUE(is_temp_name_of(unique_temp_path(path).substr(10), "k_f32.bin"));
}

std::string unnamed_or_named(const ::testing::TestParamInfo<bool>& param) {
  return param.param ? "Unnamed" : "Named";
}

// A writer that dies holding its temporary, at the point where the file has
// a name: from the start without unnamed files, between link and rename with
// them. While it lives, no reclaim touches the file; once it is killed, the
// file is still there, and the next reclaim of the same name removes it.
class KilledWriter : public ::testing::TestWithParam<bool> {};

TEST_P(KilledWriter, TemporaryIsReclaimedOnlyOnceItsWriterIsGone) {
  const bool unnamed = GetParam();
  ScratchDir dir;
  const std::string final_path = dir / "k_f32.bin";
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    TempFile temp;
    if (!temp.create(dir.path, final_path, unnamed) || temp.name().empty() != unnamed ||
        !temp.give_name(final_path))
      ::_exit(1);
    [[maybe_unused]] auto sent = ::write(ready[1], "x", 1);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1) << "the writer could not create its temporary";
  ::close(ready[0]);
  const auto names = listing(dir.path);
  ASSERT_EQ(names.size(), 1u);
  const std::string temp_name = *names.begin();
  ASSERT_TRUE(is_temp_name_of(temp_name, "k_f32.bin")) << temp_name;
  EXPECT_EQ(reclaim_abandoned_temps(dir.path, final_path), 0u);
  EXPECT_EQ(listing(dir.path), names);

  ::kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(listing(dir.path), names);  // what a killed writer leaves
  EXPECT_EQ(reclaim_abandoned_temps(dir.path, final_path), 1u);
  EXPECT_TRUE(listing(dir.path).empty());
}

INSTANTIATE_TEST_SUITE_P(Prepare, KilledWriter, ::testing::Values(true, false), unnamed_or_named);

std::vector<float> ramp(std::size_t n) {
  std::vector<float> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<float>(i) * 0.5f - 3.0f;
  return v;
}

Request dot_request(MatrixBuffer& data, std::uint64_t dims, const std::string& dir, bool unnamed) {
  Request req;
  req.data = &data;
  req.dims = dims;
  req.rows = data.size() / dims;
  req.base_name = "k";
  req.level = "f32";
  req.metric = Metric::Dot;  // no normalisation: the pool stays out of it
  req.output_dir = dir;
  req.unnamed_temp = unnamed;
  return req;
}

// The next preparation of a name removes exactly the temporaries of that
// name that no live writer holds, with or without unnamed files.
class NextPreparation : public ::testing::TestWithParam<bool> {};

TEST_P(NextPreparation, RemovesOnlyAbandonedTemporariesOfItsName) {
  ScratchDir dir;
  write_file(dir / "k_f32.0123456789abcdef.tmp", "abandoned");
  write_file(dir / "k_f32.00000000000000aa.tmp", "");
  const std::string held = dir / "k_f32.fedcba9876543210.tmp";
  write_file(held, "a live writer's");
  const int held_fd = ::open(held.c_str(), O_RDWR | O_CLOEXEC);
  struct flock fl {};
  fl.l_type = F_WRLCK;
  ASSERT_EQ(::fcntl(held_fd, F_OFD_SETLK, &fl), 0);
  const std::set<std::string> kept = {"k_f32.fedcba9876543210.tmp",   // locked
                                      "k_f32.1111111111111111.tmp",   // a directory
                                      "k_f32.2222222222222222.tmp",   // a symbolic link
                                      "k_f32.0123456789ABCDEF.tmp",   // not this writer's spelling
                                      "k_f16.0123456789abcdef.tmp",   // another level
                                      "kk_f32.0123456789abcdef.tmp",  // another name
                                      "target"};
  ASSERT_EQ(::mkdir((dir / "k_f32.1111111111111111.tmp").c_str(), 0777), 0);
  write_file(dir / "target", "not a temporary");
  ASSERT_EQ(::symlink("target", (dir / "k_f32.2222222222222222.tmp").c_str()), 0);
  for (const char* name :
       {"k_f32.0123456789ABCDEF.tmp", "k_f16.0123456789abcdef.tmp", "kk_f32.0123456789abcdef.tmp"})
    write_file(dir / name, "x");

  const std::size_t dims = 8;
  MatrixBuffer data(dims * 5);
  const std::vector<float> values = ramp(data.size());
  std::copy(values.begin(), values.end(), data.data());
  auto path = prepare_index(dot_request(data, dims, dir.path, GetParam()));
  ASSERT_TRUE(path) << path.error();
  EXPECT_EQ(*path, dir / "k_f32.bin");
  std::set<std::string> want = kept;
  want.insert("k_f32.bin");
  EXPECT_EQ(listing(dir.path), want);
  EXPECT_EQ(std::filesystem::file_size(*path), 12 + 4 * values.size());

  ::close(held_fd);  // its writer is gone now
  MatrixBuffer again(dims);
  ASSERT_TRUE(prepare_index(dot_request(again, dims, dir.path, GetParam())));
  want.erase("k_f32.fedcba9876543210.tmp");
  EXPECT_EQ(listing(dir.path), want);
}

INSTANTIATE_TEST_SUITE_P(Prepare, NextPreparation, ::testing::Values(true, false),
                         unnamed_or_named);

// The whole writer, without unnamed files, killed while it writes: the
// temporary it leaves is removed by the next preparation of the name.
TEST(Prepare, KilledNamedWriterIsCleanedUpByTheNextPreparation) {
  ScratchDir dir;
  const std::size_t dims = 256;
  MatrixBuffer data(dims * 65536);  // 64 MiB: long enough to be caught writing
  std::fill(data.data(), data.data() + data.size(), 1.0f);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) ::_exit(prepare_index(dot_request(data, dims, dir.path, false)) ? 0 : 1);

  std::string caught;
  int status = 0;
  while (caught.empty() && ::waitpid(pid, &status, WNOHANG) == 0) {
    for (const auto& name : listing(dir.path))
      if (is_temp_name_of(name, "k_f32.bin") && locked_elsewhere(dir / name)) caught = name;
    if (caught.empty()) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  ASSERT_FALSE(caught.empty()) << "the writer was never seen holding its temporary";
  ::kill(pid, SIGKILL);
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the writer finished before it was killed";
  EXPECT_EQ(listing(dir.path), std::set<std::string>{caught});
  EXPECT_FALSE(locked_elsewhere(dir / caught));

  MatrixBuffer small(dims);
  ASSERT_TRUE(prepare_index(dot_request(small, dims, dir.path, false)));
  EXPECT_EQ(listing(dir.path), std::set<std::string>{"k_f32.bin"});
}

}  // namespace
}  // namespace lumvero::prepare
