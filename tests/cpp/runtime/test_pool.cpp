// Worker pool: ordering, failure reporting, exceptions, nesting, fork, and
// the one-time sizing from LUMVO_THREADS.
//
// The pool is process-wide and sized once, so tests that need a particular
// size or a pristine process re-run this binary in a child process (the
// "InChild" tests, which do nothing unless started that way).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <new>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/runtime/cpu_count.h"
#include "engine/runtime/pool.h"
#include "engine/runtime/pool_setup.h"

extern char** environ;

namespace pool = lumvero::pool;
using lumvero::fail;
using lumvero::Result;
using lumvero::Status;

namespace {

using namespace std::chrono_literals;

// ---------------------------------------------------------------------------
// Child processes

const char* kChildVar = "LUMVO_TEST_CHILD";
const char* kReportVar = "LUMVO_TEST_REPORT";

bool in_child() { return std::getenv(kChildVar) != nullptr; }

std::string temp_path(const std::string& tag) {
  return (testing::TempDir() + "lumvo_" + tag + "_" + std::to_string(getpid()) + "_" +
          std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

struct ChildOutcome {
  int status = -1;     // waitpid status
  std::string report;  // what the child wrote to its report file
  std::string output;  // its stdout and stderr
  bool ok() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
};

// Re-runs this test binary limited to `test`, with the thread-related
// variables removed from the environment and `vars` ("NAME=value") added.
// An alarm makes a hanging child fail instead of hanging the suite.
ChildOutcome run_child_test(const std::string& test, const std::vector<std::string>& vars) {
  const std::string report = temp_path("report");
  const std::string output = temp_path("out");
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string kv = *e;
    const std::string name = kv.substr(0, kv.find('='));
    if (name == "LUMVO_THREADS" || name == "RAYON_NUM_THREADS" || name == "OMP_NUM_THREADS" ||
        name == "OPENBLAS_NUM_THREADS" || name.rfind("GTEST_", 0) == 0 ||
        name.rfind("LUMVO_TEST_", 0) == 0) {
      continue;
    }
    env.push_back(kv);
  }
  env.push_back(std::string(kChildVar) + "=1");
  env.push_back(std::string(kReportVar) + "=" + report);
  for (const auto& v : vars) env.push_back(v);
  std::vector<char*> envp;
  for (auto& kv : env) envp.push_back(kv.data());
  envp.push_back(nullptr);
  std::string arg0 = "lumvero_cpp_tests";
  std::string filter = "--gtest_filter=" + test;
  char* argv[] = {arg0.data(), filter.data(), nullptr};

  ChildOutcome out;
  const pid_t pid = fork();
  if (pid == -1) return out;
  if (pid == 0) {
    alarm(120);
    std::FILE* f = std::freopen(output.c_str(), "w", stdout);
    if (f == nullptr) _exit(120);
    dup2(fileno(stdout), STDERR_FILENO);
    execve("/proc/self/exe", argv, envp.data());
    _exit(121);
  }
  waitpid(pid, &out.status, 0);
  out.report = slurp(report);
  out.output = slurp(output);
  std::remove(report.c_str());
  std::remove(output.c_str());
  return out;
}

void write_report(const std::string& text) {
  std::ofstream(std::getenv(kReportVar), std::ios::binary) << text;
}

#define EXPECT_CHILD_OK(outcome) \
  EXPECT_TRUE((outcome).ok()) << "status " << (outcome).status << ", output:\n" << (outcome).output

// Runs `body` in a forked copy of this process (no exec) and returns its
// exit code; 128 + signal number when it was killed (e.g. by the alarm).
template <class F>
int in_forked_child(F&& body) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == -1) return -1;
  if (pid == 0) {
    alarm(60);
    int code = 99;
    try {
      code = body();
    } catch (...) {
      code = 98;
    }
    _exit(code);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

// ---------------------------------------------------------------------------
// Work shared by the tests below

// Three levels of nested map; every value identifies its path.
Result<long> nested_sum(std::size_t width) {
  auto outer = pool::map(width, [width](std::size_t i) -> Result<long> {
    auto mid = pool::map(width, [i, width](std::size_t j) -> Result<long> {
      auto inner = pool::map(width, [i, j](std::size_t k) { return long(i * 100 + j * 10 + k); });
      if (!inner) return fail(inner.error());
      long s = 0;
      for (std::size_t k = 0; k < inner->size(); ++k) {
        if ((*inner)[k] != long(i * 100 + j * 10 + k)) return fail("inner order broken");
        s += (*inner)[k];
      }
      return s;
    });
    if (!mid) return fail(mid.error());
    long s = 0;
    for (long v : *mid) s += v;
    return s;
  });
  if (!outer) return fail(outer.error());
  long s = 0;
  for (long v : *outer) s += v;
  return s;
}

long expected_nested_sum(std::size_t width) {
  long s = 0;
  for (std::size_t i = 0; i < width; ++i)
    for (std::size_t j = 0; j < width; ++j)
      for (std::size_t k = 0; k < width; ++k) s += long(i * 100 + j * 10 + k);
  return s;
}

// Nested work whose innermost level fails at one place only.
Status nested_failure() {
  return pool::run(3, [](std::size_t i) -> Status {
    return pool::for_chunks(10, 4, [i](std::size_t b, std::size_t, std::size_t c) -> Status {
      if (i == 1 && c == 2) return fail("inner failure at " + std::to_string(b));
      return {};
    });
  });
}

}  // namespace

// ---------------------------------------------------------------------------
// Basic execution on the process's pool (default size)

TEST(PoolRun, EveryIndexRunsExactlyOnceOffTheCallingThread) {
  constexpr std::size_t n = 1000;
  std::vector<std::atomic<int>> hits(n);
  const auto caller = std::this_thread::get_id();
  std::atomic<int> on_caller{0}, off_pool{0};
  ASSERT_TRUE(pool::run(n, [&](std::size_t i) {
    hits[i].fetch_add(1);
    if (std::this_thread::get_id() == caller) on_caller.fetch_add(1);
    if (!pool::on_pool_thread()) off_pool.fetch_add(1);
  }));
  for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << i;
  EXPECT_EQ(on_caller.load(), 0);
  EXPECT_EQ(off_pool.load(), 0);
  EXPECT_FALSE(pool::on_pool_thread());
  EXPECT_GE(pool::thread_count(), 1u);
}

TEST(PoolRun, ZeroTasksNeverCallTheFunction) {
  bool called = false;
  EXPECT_TRUE(pool::run(0, [&](std::size_t) { called = true; }));
  auto m = pool::map(0, [&](std::size_t i) {
    called = true;
    return int(i);
  });
  ASSERT_TRUE(m);
  EXPECT_TRUE(m->empty());
  EXPECT_TRUE(
      pool::for_chunks(0, 8, [&](std::size_t, std::size_t, std::size_t) { called = true; }));
  EXPECT_FALSE(called);
}

TEST(PoolRun, ExistingPoolIsNotReplaced) {
  const std::size_t n = pool::thread_count();
  EXPECT_FALSE(pool::create_global(n + 3));
  EXPECT_FALSE(pool::create_global(0));
  EXPECT_EQ(pool::thread_count(), n);
}

// Under a limit no more pool threads than it allows run tasks at once (a
// thread inside a task counts once, its nested tasks included), nested work
// still finishes with a limit of one, results keep their order, and lifting
// the limit gives the whole pool back. The pool itself never changes size.
TEST(PoolLimit, CapsTheThreadsRunningTasksAndKeepsResults) {
  const std::size_t size = pool::pool_size();
  for (const std::size_t limit : {std::size_t{1}, std::size_t{2}, size + 5}) {
    pool::set_limit(limit);
    const std::size_t allowed = std::min(limit, size);
    EXPECT_EQ(pool::thread_count(), allowed);
    EXPECT_EQ(pool::pool_size(), size);
    std::atomic<std::size_t> inside{0}, most{0};
    std::mutex ids_m;
    std::set<std::thread::id> ids;
    thread_local int depth = 0;
    auto enter = [&] {
      if (depth++ > 0) return;
      const std::size_t now = inside.fetch_add(1) + 1;
      std::size_t seen = most.load();
      while (now > seen && !most.compare_exchange_weak(seen, now)) {
      }
      std::lock_guard<std::mutex> g(ids_m);
      ids.insert(std::this_thread::get_id());
    };
    auto leave = [&] {
      if (--depth == 0) inside.fetch_sub(1);
    };
    auto r = pool::map(48, [&](std::size_t i) -> Result<std::size_t> {
      enter();
      std::this_thread::sleep_for(100us);
      auto inner = pool::map(3, [&](std::size_t j) {
        enter();
        std::this_thread::sleep_for(50us);
        leave();
        return i * 3 + j;
      });
      leave();
      if (!inner) return fail(std::move(inner.error()));
      return (*inner)[0] + (*inner)[1] + (*inner)[2];
    });
    ASSERT_TRUE(r) << r.error();
    for (std::size_t i = 0; i < r->size(); ++i) ASSERT_EQ((*r)[i], 9 * i + 3) << i;
    EXPECT_LE(most.load(), allowed) << "limit " << limit;
    if (allowed == 1) {
      EXPECT_EQ(ids.size(), 1u);
    }
  }
  pool::set_limit(0);
  EXPECT_EQ(pool::limit(), 0u);
  EXPECT_EQ(pool::thread_count(), size);
}

TEST(PoolMap, ResultsInIndexOrderWhateverTheTiming) {
  constexpr std::size_t n = 64;
  auto r = pool::map(n, [](std::size_t i) {
    // Early indices finish last.
    std::this_thread::sleep_for(std::chrono::microseconds((n - i) * 50));
    return std::to_string(i * i + 1);
  });
  ASSERT_TRUE(r);
  ASSERT_EQ(r->size(), n);
  for (std::size_t i = 0; i < n; ++i) EXPECT_EQ((*r)[i], std::to_string(i * i + 1));
}

TEST(PoolMap, ResultTasksBoolsAndTypesWithoutDefault) {
  auto r = pool::map(100, [](std::size_t i) -> Result<double> { return i * 0.5; });
  ASSERT_TRUE(r);
  for (std::size_t i = 0; i < 100; ++i) EXPECT_EQ((*r)[i], i * 0.5);

  auto b = pool::map(257, [](std::size_t i) { return i % 3 == 0; });
  ASSERT_TRUE(b);
  for (std::size_t i = 0; i < 257; ++i) EXPECT_EQ((*b)[i], i % 3 == 0) << i;

  struct NoDefault {
    explicit NoDefault(std::size_t v) : value(v) {}
    std::size_t value;
  };
  auto nd = pool::map(33, [](std::size_t i) { return NoDefault(i + 7); });
  ASSERT_TRUE(nd);
  for (std::size_t i = 0; i < 33; ++i) EXPECT_EQ((*nd)[i].value, i + 7);
}

TEST(PoolChunks, CoverTheRangeInOrder) {
  std::vector<std::atomic<int>> seen(10);
  std::vector<std::pair<std::size_t, std::size_t>> bounds(4);
  ASSERT_TRUE(pool::for_chunks(10, 3, [&](std::size_t b, std::size_t e, std::size_t c) {
    bounds[c] = {b, e};
    for (std::size_t i = b; i < e; ++i) seen[i].fetch_add(1);
  }));
  const std::vector<std::pair<std::size_t, std::size_t>> want = {{0, 3}, {3, 6}, {6, 9}, {9, 10}};
  EXPECT_EQ(bounds, want);
  for (auto& s : seen) EXPECT_EQ(s.load(), 1);

  auto exact = pool::map_chunks(9, 3, [](std::size_t b, std::size_t e, std::size_t c) {
    return std::to_string(c) + ":" + std::to_string(b) + "-" + std::to_string(e);
  });
  ASSERT_TRUE(exact);
  EXPECT_EQ(*exact, (std::vector<std::string>{"0:0-3", "1:3-6", "2:6-9"}));

  auto one = pool::map_chunks(
      5, 100, [](std::size_t b, std::size_t e, std::size_t) { return e - b + b * 1000; });
  ASSERT_TRUE(one);
  EXPECT_EQ(*one, std::vector<std::size_t>{5});

  // The last chunk must not run past the end even near the top of size_t.
  const std::size_t big = ~std::size_t{0};
  auto tail = pool::map_chunks(big, big / 2 + 1, [](std::size_t b, std::size_t e, std::size_t) {
    return std::pair<std::size_t, std::size_t>(b, e);
  });
  ASSERT_TRUE(tail);
  ASSERT_EQ(tail->size(), 2u);
  EXPECT_EQ((*tail)[0], std::make_pair(std::size_t{0}, big / 2 + 1));
  EXPECT_EQ((*tail)[1], std::make_pair(big / 2 + 1, big));
}

TEST(PoolChunks, ZeroChunkSizeIsAnInternalError) {
  EXPECT_THROW((void)pool::for_chunks(10, 0, [](std::size_t, std::size_t, std::size_t) {}),
               lumvero::Panic);
}

// ---------------------------------------------------------------------------
// Failures

TEST(PoolFailure, LowestFailingIndexWinsEvenWhenItFailsLast) {
  for (int round = 0; round < 20; ++round) {
    std::vector<std::atomic<int>> ran(40);
    Status st = pool::run(40, [&](std::size_t i) -> Status {
      ran[i].store(1);
      if (i == 3) {
        std::this_thread::sleep_for(5ms);
        return fail("task 3 failed");
      }
      if (i >= 10 && i % 5 == 0) return fail("task " + std::to_string(i) + " failed");
      return {};
    });
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error(), "task 3 failed");
    for (std::size_t i = 0; i <= 3; ++i)
      EXPECT_EQ(ran[i].load(), 1) << "index " << i << " was skipped";
  }
}

TEST(PoolFailure, LaterTasksAreSkippedAfterAFailure) {
  const std::size_t threads = pool::thread_count();
  const std::size_t n = 64 * threads + 64;
  std::atomic<std::size_t> ran{0};
  std::atomic<bool> later_ran{false};
  std::atomic<bool> zero_done{false};
  Status st = pool::run(n, [&](std::size_t i) -> Status {
    ran.fetch_add(1);
    if (i == 0) {
      zero_done.store(true);
      return fail("first");
    }
    if (i >= 2 * threads) later_ran.store(true);
    // Keep the other threads busy until well after the failure is recorded.
    const auto give_up = std::chrono::steady_clock::now() + 5s;
    while (!zero_done.load() && std::chrono::steady_clock::now() < give_up)
      std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(20ms);
    return {};
  });
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error(), "first");
  // Only tasks claimed before task 0 failed can have run: one per thread.
  EXPECT_LE(ran.load(), threads);
  EXPECT_FALSE(later_ran.load());
}

TEST(PoolFailure, MapReturnsNoPartialResult) {
  auto r = pool::map(50, [](std::size_t i) -> Result<int> {
    if (i == 17 || i == 41) return fail("bad row " + std::to_string(i));
    return int(i);
  });
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "bad row 17");

  auto c =
      pool::map_chunks(100, 7, [](std::size_t b, std::size_t, std::size_t) -> Result<std::size_t> {
        if (b >= 50) return fail("chunk at " + std::to_string(b));
        return b;
      });
  ASSERT_FALSE(c);
  EXPECT_EQ(c.error(), "chunk at 56");
}

TEST(PoolFailure, ExceptionsBecomeErrorsPanicsAndOomReachTheCaller) {
  auto throwing = [](int kind) {
    return pool::run(8, [kind](std::size_t i) -> Status {
      if (i != 5) return {};
      switch (kind) {
        case 0:
          throw std::runtime_error("runtime trouble");
        case 1:
          throw std::bad_alloc();
        case 2:
          LUMVO_ASSERT(i == 4, "row index out of range");
          break;
        case 3:
          throw 42;
        case 4:
          (void)std::vector<int>(3).at(7);
          break;
      }
      return {};
    });
  };
  Status st = throwing(0);
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error(), "runtime trouble");
  EXPECT_THROW(throwing(1), std::bad_alloc);
  try {
    throwing(2);
    ADD_FAILURE() << "a panic in a task must reach the caller";
  } catch (const lumvero::Panic& p) {
    EXPECT_STREQ(p.what(), "row index out of range");
  }
  st = throwing(3);
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error(), "unknown exception in a worker task");
  st = throwing(4);
  ASSERT_FALSE(st);
  EXPECT_NE(st.error().find("7"), std::string::npos) << st.error();  // out_of_range names the index

  // The pool keeps working afterwards.
  auto ok = pool::map(16, [](std::size_t i) { return i + 1; });
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->back(), 16u);
}

TEST(PoolFailure, ExceptionAndErrorValueOrderedByIndex) {
  for (int round = 0; round < 10; ++round) {
    auto r = pool::map(6, [](std::size_t i) -> Result<int> {
      if (i == 4) throw std::runtime_error("thrown at 4");
      if (i == 2) {
        std::this_thread::sleep_for(2ms);
        return fail("value at 2");
      }
      return 0;
    });
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "value at 2");
  }
}

// ---------------------------------------------------------------------------
// Nesting and concurrency on the default pool

TEST(PoolNested, ThreeLevelsOfMaps) {
  auto s = nested_sum(5);
  ASSERT_TRUE(s) << s.error();
  EXPECT_EQ(*s, expected_nested_sum(5));
  Status st = nested_failure();
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error(), "inner failure at 8");
}

TEST(PoolNested, ManyCallersAtOnce) {
  std::vector<std::thread> callers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 6; ++t) {
    callers.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        auto s = nested_sum(3 + (t + round) % 3);
        if (!s || *s != expected_nested_sum(3 + (t + round) % 3)) wrong.fetch_add(1);
        auto r = pool::map(7, [t](std::size_t i) { return i * 10 + t; });
        if (!r)
          wrong.fetch_add(1);
        else
          for (std::size_t i = 0; i < 7; ++i)
            if ((*r)[i] != i * 10 + t) wrong.fetch_add(1);
      }
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(wrong.load(), 0);
}

// ---------------------------------------------------------------------------
// Fixed pool sizes, in a fresh process each

TEST(PoolSizedInChild, NestedWork) {
  if (!in_child()) GTEST_SKIP() << "runs in a child process";
  const char* size_text = std::getenv("LUMVO_TEST_POOL_SIZE");
  ASSERT_NE(size_text, nullptr);
  const std::size_t size = std::stoul(size_text);
  ASSERT_TRUE(pool::create_global(size));
  ASSERT_FALSE(pool::create_global(size + 1));
  ASSERT_EQ(pool::thread_count(), size);

  for (std::size_t width : {1u, 2u, 4u, 6u}) {
    auto s = nested_sum(width);
    ASSERT_TRUE(s) << s.error();
    EXPECT_EQ(*s, expected_nested_sum(width));
  }
  Status st = nested_failure();
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error(), "inner failure at 8");

  // Deeper chains: every level waits on the next one.
  std::function<Result<std::size_t>(std::size_t)> depth =
      [&](std::size_t level) -> Result<std::size_t> {
    if (level == 0) return std::size_t{1};
    auto r = pool::map(2, [&](std::size_t) { return depth(level - 1); });
    if (!r) return fail(r.error());
    return (*r)[0] + (*r)[1];
  };
  auto d = depth(8);
  ASSERT_TRUE(d);
  EXPECT_EQ(*d, 256u);

  // Several outside callers nesting at once.
  std::atomic<int> wrong{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&] {
      for (int round = 0; round < 10; ++round) {
        auto s = nested_sum(3);
        if (!s || *s != expected_nested_sum(3)) wrong.fetch_add(1);
      }
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(wrong.load(), 0);
  if (!HasFailure()) write_report("nested ok on " + std::to_string(pool::thread_count()));
}

TEST(PoolSized, NestedWorkOnOneThread) {
  auto out = run_child_test("PoolSizedInChild.NestedWork", {"LUMVO_TEST_POOL_SIZE=1"});
  EXPECT_CHILD_OK(out);
  EXPECT_EQ(out.report, "nested ok on 1");
}

TEST(PoolSized, NestedWorkOnTwoThreads) {
  auto out = run_child_test("PoolSizedInChild.NestedWork", {"LUMVO_TEST_POOL_SIZE=2"});
  EXPECT_CHILD_OK(out);
  EXPECT_EQ(out.report, "nested ok on 2");
}

TEST(PoolDefaultSizeInChild, Report) {
  if (!in_child()) GTEST_SKIP() << "runs in a child process";
  std::string text = "default " + std::to_string(pool::default_size());
  // The first parallel work creates the pool with that size.
  ASSERT_TRUE(pool::run(3, [](std::size_t) {}));
  text += " threads " + std::to_string(pool::thread_count());
  write_report(text);
}

TEST(PoolDefaultSize, FollowsRayonNumThreads) {
  const std::string avail = std::to_string(lumvero::cpu::available_processors());
  struct Case {
    const char* setting;  // nullptr: unset
    std::string size;
  };
  const Case cases[] = {{"3", "3"},    {"+5", "5"},      {"0", avail},       {"x", avail},
                        {" 3", avail}, {nullptr, avail}, {"100000", "65535"}};
  for (const auto& c : cases) {
    std::vector<std::string> vars;
    if (c.setting) vars.push_back(std::string("RAYON_NUM_THREADS=") + c.setting);
    // A huge pool is not worth starting: only ask for the default then.
    const bool huge = c.size == "65535";
    if (huge) {
      const int code = in_forked_child([&] {
        setenv("RAYON_NUM_THREADS", c.setting, 1);
        return pool::default_size() == 65535 ? 0 : 1;
      });
      EXPECT_EQ(code, 0) << "RAYON_NUM_THREADS=" << c.setting;
      continue;
    }
    auto out = run_child_test("PoolDefaultSizeInChild.Report", vars);
    EXPECT_CHILD_OK(out);
    EXPECT_EQ(out.report, "default " + c.size + " threads " + c.size)
        << "RAYON_NUM_THREADS=" << (c.setting ? c.setting : "(unset)");
  }
}

// ---------------------------------------------------------------------------
// fork()

TEST(PoolFork, ChildRebuildsThePoolWithTheSameSize) {
  const std::size_t parent_threads = pool::thread_count();
  ASSERT_TRUE(pool::run(4, [](std::size_t) {}));
  const int code = in_forked_child([&] {
    if (pool::on_pool_thread()) return 2;
    auto s = nested_sum(4);
    if (!s || *s != expected_nested_sum(4)) return 3;
    if (pool::thread_count() != parent_threads) return 4;
    if (pool::create_global(parent_threads + 1)) return 5;  // the pool exists
    // And a grandchild once more.
    const int inner = in_forked_child([&] {
      auto r = pool::map(9, [](std::size_t i) { return i * 3; });
      return r && (*r)[8] == 24 && pool::thread_count() == parent_threads ? 0 : 6;
    });
    return inner;
  });
  EXPECT_EQ(code, 0);
  // The parent's pool is untouched.
  auto s = nested_sum(3);
  ASSERT_TRUE(s);
  EXPECT_EQ(*s, expected_nested_sum(3));
}

TEST(PoolFork, ForkWhileOtherThreadsUseThePool) {
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> busy;
  for (int t = 0; t < 2; ++t) {
    busy.emplace_back([&] {
      while (!stop.load()) {
        auto r = pool::map(8, [](std::size_t i) { return i; });
        if (!r || (*r)[7] != 7) wrong.fetch_add(1);
      }
    });
  }
  for (int k = 0; k < 10; ++k) {
    const int code = in_forked_child([] {
      auto r = pool::map(16, [](std::size_t i) { return i * i; });
      return r && (*r)[15] == 225 ? 0 : 7;
    });
    EXPECT_EQ(code, 0) << "fork " << k;
  }
  stop.store(true);
  for (auto& b : busy) b.join();
  EXPECT_EQ(wrong.load(), 0);
}

// ---------------------------------------------------------------------------
// Sizing from LUMVO_THREADS: the pure plan

TEST(PoolPlan, FromLumvoThreads) {
  using lumvero::plan_pool;
  struct Case {
    std::optional<std::string_view> setting;
    std::size_t cpus;
    std::string exported;
    std::size_t threads;
  };
  const Case cases[] = {
      {std::nullopt, 8, "8", 8},
      {std::nullopt, 0, "1", 1},
      {"4", 8, "4", 4},
      {"+4", 8, "+4", 4},
      {" 4", 8, " 4", 8},
      {"4 ", 6, "4 ", 6},
      {"four", 8, "four", 8},
      {"-1", 8, "-1", 8},
      {"0", 8, "0", 0},
      {"+0", 3, "+0", 0},
      {"100000", 8, "100000", 65535},
      {"65535", 8, "65535", 65535},
      {"65536", 8, "65536", 65535},
      {"18446744073709551615", 2, "18446744073709551615", 65535},
      {"18446744073709551616", 2, "18446744073709551616", 2},
      {"é", 5, "é", 5},
  };
  for (const auto& c : cases) {
    const auto plan = plan_pool(c.setting, c.cpus);
    EXPECT_EQ(plan.exported, c.exported) << (c.setting ? *c.setting : "(absent)");
    EXPECT_EQ(plan.threads, c.threads) << (c.setting ? *c.setting : "(absent)");
  }
}

// ---------------------------------------------------------------------------
// pool_setup for real, in a fresh process per case

TEST(PoolSetupInChild, Report) {
  if (!in_child()) GTEST_SKIP() << "runs in a child process";
  if (std::getenv("LUMVO_TEST_PREWARM") != nullptr) {
    ASSERT_TRUE(pool::run(2, [](std::size_t) {}));  // the pool exists before set-up
  }
  // Concurrent callers: all of them return only once set-up is complete.
  std::vector<std::thread> callers;
  std::vector<std::string> seen(4);
  for (std::size_t t = 0; t < seen.size(); ++t) {
    callers.emplace_back([&, t] {
      lumvero::pool_setup();
      const char* v = std::getenv("RAYON_NUM_THREADS");
      seen[t] = v ? v : "(unset)";
    });
  }
  for (auto& c : callers) c.join();
  for (const auto& s : seen) EXPECT_EQ(s, seen[0]);

  auto var = [](const char* name) {
    const char* v = std::getenv(name);
    return std::string(v ? v : "(unset)");
  };
  std::string text = "threads=" + std::to_string(pool::thread_count()) +
                     " openblas=" + var("OPENBLAS_NUM_THREADS") + " omp=" + var("OMP_NUM_THREADS") +
                     " rayon=" + var("RAYON_NUM_THREADS");
  // A second call changes nothing.
  setenv("LUMVO_THREADS", "7", 1);
  setenv("OMP_NUM_THREADS", "changed", 1);
  lumvero::pool_setup();
  text +=
      " again omp=" + var("OMP_NUM_THREADS") + " threads=" + std::to_string(pool::thread_count());
  write_report(text);
}

TEST(PoolSetup, SizesThePoolAndExportsTheSetting) {
  const std::string cpus = std::to_string(lumvero::cpu::cpu_count());
  const std::string avail = std::to_string(lumvero::cpu::available_processors());
  struct Case {
    std::vector<std::string> vars;
    std::string threads;
    std::string exported;
  };
  const Case cases[] = {
      {{"LUMVO_THREADS=3"}, "3", "3"},
      {{"LUMVO_THREADS=+2"}, "2", "+2"},
      {{"LUMVO_THREADS= 4"}, cpus, " 4"},
      {{"LUMVO_THREADS=four"}, cpus, "four"},
      {{"LUMVO_THREADS=-1"}, cpus, "-1"},
      {{"RAYON_NUM_THREADS=5"}, cpus, cpus},                    // unset: the CPU count
      {{"LUMVO_THREADS=", "RAYON_NUM_THREADS=5"}, cpus, cpus},  // empty counts as unset
      {{"LUMVO_THREADS=\xff\xfe"}, cpus, cpus},                 // not UTF-8: unset
      {{"LUMVO_THREADS=0", "RAYON_NUM_THREADS=5"}, avail, "0"},
      // A pool created earlier keeps its size; the variables are still set.
      {{"LUMVO_THREADS=2", "RAYON_NUM_THREADS=3", "LUMVO_TEST_PREWARM=1"}, "3", "2"},
  };
  for (const auto& c : cases) {
    auto out = run_child_test("PoolSetupInChild.Report", c.vars);
    EXPECT_CHILD_OK(out);
    const std::string e = c.exported;
    EXPECT_EQ(out.report, "threads=" + c.threads + " openblas=" + e + " omp=" + e + " rayon=" + e +
                              " again omp=changed threads=" + c.threads)
        << c.vars[0];
  }
}
