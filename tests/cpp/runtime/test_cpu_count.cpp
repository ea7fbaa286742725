// CPU count: cgroup quota parsing (v1, v2, mount translation) on fixture
// trees, and the live affinity / quota combination.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>

#include "engine/runtime/cpu_count.h"

namespace cpu = lumvero::cpu;
using cpu::CgroupMount;
using cpu::CgroupVersion;

namespace {

std::string fixture(const std::string& name) {
  return std::string(LUMVO_FIXTURE_DIR) + "/cgroup/" + name;
}

std::optional<std::size_t> fixture_quota(const std::string& name) {
  const std::string dir = fixture(name);
  return cpu::read_cgroup_quota(dir + "/proc_cgroup", dir + "/mountinfo", dir);
}

}  // namespace

TEST(QuotaCpus, RoundsUp) {
  EXPECT_EQ(cpu::quota_cpus(150000, 100000), 2u);
  EXPECT_EQ(cpu::quota_cpus(100000, 100000), 1u);
  EXPECT_EQ(cpu::quota_cpus(100001, 100000), 2u);
  EXPECT_EQ(cpu::quota_cpus(50000, 100000), 1u);
  EXPECT_EQ(cpu::quota_cpus(1000, 100000), 1u);
  EXPECT_EQ(cpu::quota_cpus(800000, 100000), 8u);
  EXPECT_EQ(cpu::quota_cpus(~std::uint64_t{0}, 1), static_cast<std::size_t>(~std::uint64_t{0}));
}

TEST(QuotaCpus, ZeroPeriodOrQuotaIsNoQuota) {
  EXPECT_EQ(cpu::quota_cpus(150000, 0), std::nullopt);
  EXPECT_EQ(cpu::quota_cpus(0, 100000), std::nullopt);
}

TEST(QuotaV2, CpuMaxText) {
  EXPECT_EQ(cpu::quota_from_v2("150000 100000\n"), 2u);
  EXPECT_EQ(cpu::quota_from_v2("150000 100000"), 2u);
  EXPECT_EQ(cpu::quota_from_v2("300000 100000\nsecond line ignored\n"), 3u);
  EXPECT_EQ(cpu::quota_from_v2("max 100000\n"), std::nullopt);
  EXPECT_EQ(cpu::quota_from_v2("50000 0\n"), std::nullopt);
  EXPECT_EQ(cpu::quota_from_v2("150000\n"), std::nullopt);
  EXPECT_EQ(cpu::quota_from_v2(""), std::nullopt);
  EXPECT_EQ(cpu::quota_from_v2("-1 100000\n"), std::nullopt);
  EXPECT_EQ(cpu::quota_from_v2("1.5 1\n"), std::nullopt);
  EXPECT_EQ(cpu::quota_from_v2("150000 max\n"), std::nullopt);
}

TEST(QuotaV1, QuotaAndPeriodTexts) {
  EXPECT_EQ(cpu::quota_from_v1("150000\n", "100000\n"), 2u);
  EXPECT_EQ(cpu::quota_from_v1("250000", "100000"), 3u);
  EXPECT_EQ(cpu::quota_from_v1("-1\n", "100000\n"), std::nullopt);
  EXPECT_EQ(cpu::quota_from_v1("50000\n", "0\n"), std::nullopt);
  EXPECT_EQ(cpu::quota_from_v1("", "100000\n"), std::nullopt);
  EXPECT_EQ(cpu::quota_from_v1("50000\n", ""), std::nullopt);
  EXPECT_EQ(cpu::quota_from_v1("5e4\n", "100000\n"), std::nullopt);
  // A value beyond 64 bits is unreadable, not wrapped.
  EXPECT_EQ(cpu::quota_from_v1("18446744073709551616", "1"), std::nullopt);
}

TEST(ProcCgroup, PrefersV1CpuHierarchyOverUnified) {
  const auto m = cpu::parse_proc_cgroup(
      "0::/unified/path\n"
      "12:pids:/p\n"
      "3:cpuacct:/acct-only\n"
      "2:cpuset:/set-only\n"
      "4:cpu,cpuacct:/docker/abc\n");
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m[0].version, CgroupVersion::v1);
  EXPECT_EQ(m[0].path, "/docker/abc");
  EXPECT_EQ(m[1].version, CgroupVersion::v2);
  EXPECT_EQ(m[1].path, "/unified/path");
}

TEST(ProcCgroup, UnifiedOnlyAndOddPaths) {
  auto m = cpu::parse_proc_cgroup("0::/user.slice/a:b.scope\n");
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].version, CgroupVersion::v2);
  EXPECT_EQ(m[0].path, "/user.slice/a:b.scope");  // ':' inside the path is kept

  m = cpu::parse_proc_cgroup("5:cpuacct,cpu:/x");  // no trailing newline, other order
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].version, CgroupVersion::v1);
  EXPECT_EQ(m[0].path, "/x");

  EXPECT_TRUE(cpu::parse_proc_cgroup("").empty());
  EXPECT_TRUE(cpu::parse_proc_cgroup("garbage\n7:memory:/m\n1:name=systemd:/\n").empty());
}

TEST(Mountinfo, KeepsCpuAndUnifiedMountsOnly) {
  const auto mounts = cpu::parse_mountinfo(
      "30 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
      "41 40 0:36 /d /sys/fs/cgroup/memory ro,relatime master:15 - cgroup cgroup rw,memory\n"
      "42 40 0:37 /d /sys/fs/cgroup/cpuset ro,relatime master:16 - cgroup cgroup rw,cpuset\n"
      "43 40 0:38 /d /sys/fs/cgroup/cpu,cpuacct ro,relatime master:17 - cgroup cgroup "
      "rw,cpu,cpuacct\n"
      "44 40 0:39 / /sys/fs/cgroup/unified ro,relatime shared:2 master:3 - cgroup2 cgroup2 rw\n"
      "45 40 0:40 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n"
      "truncated line\n");
  ASSERT_EQ(mounts.size(), 3u);
  EXPECT_EQ(mounts[0].version, CgroupVersion::v1);
  EXPECT_EQ(mounts[0].root, "/d");
  EXPECT_EQ(mounts[0].mount_point, "/sys/fs/cgroup/cpu,cpuacct");
  // Two optional fields before the separator.
  EXPECT_EQ(mounts[1].version, CgroupVersion::v2);
  EXPECT_EQ(mounts[1].root, "/");
  EXPECT_EQ(mounts[1].mount_point, "/sys/fs/cgroup/unified");
  // No optional field at all.
  EXPECT_EQ(mounts[2].version, CgroupVersion::v1);
  EXPECT_EQ(mounts[2].mount_point, "/sys/fs/cgroup/cpu");
}

TEST(Mountinfo, DecodesOctalEscapes) {
  const auto mounts =
      cpu::parse_mountinfo("50 40 0:38 /a\\040b /mnt/my\\040cgroup\\134x rw - cgroup2 none rw\n");
  ASSERT_EQ(mounts.size(), 1u);
  EXPECT_EQ(mounts[0].root, "/a b");
  EXPECT_EQ(mounts[0].mount_point, "/mnt/my cgroup\\x");
}

TEST(TranslatePath, RootIsComponentPrefix) {
  const CgroupMount at_root{CgroupVersion::v2, "/", "/sys/fs/cgroup"};
  EXPECT_EQ(cpu::translate_cgroup_path(at_root, "/user.slice/a.scope"),
            "/sys/fs/cgroup/user.slice/a.scope");
  EXPECT_EQ(cpu::translate_cgroup_path(at_root, "/"), "/sys/fs/cgroup");
  EXPECT_EQ(cpu::translate_cgroup_path(at_root, "relative"), std::nullopt);

  const CgroupMount sub{CgroupVersion::v1, "/kubepods", "/sys/fs/cgroup/cpu"};
  EXPECT_EQ(cpu::translate_cgroup_path(sub, "/kubepods"), "/sys/fs/cgroup/cpu");
  EXPECT_EQ(cpu::translate_cgroup_path(sub, "/kubepods/pod1/c"), "/sys/fs/cgroup/cpu/pod1/c");
  EXPECT_EQ(cpu::translate_cgroup_path(sub, "/kubepodsX/pod1"), std::nullopt);
  EXPECT_EQ(cpu::translate_cgroup_path(sub, "/kube"), std::nullopt);
  EXPECT_EQ(cpu::translate_cgroup_path(sub, "/other"), std::nullopt);

  const CgroupMount trailing{CgroupVersion::v1, "/kubepods/", "/"};
  EXPECT_EQ(cpu::translate_cgroup_path(trailing, "/kubepods/pod1"), "/pod1");
}

TEST(LocateCgroup, FallsBackToUnifiedWhenV1HasNoMount) {
  // The v1 cpu line has no cgroup v1 mount with the cpu controller.
  const auto dir = cpu::locate_cgroup(
      "4:cpu,cpuacct:/docker/abc\n0::/svc\n",
      "44 40 0:39 / /sys/fs/cgroup ro,relatime - cgroup2 cgroup2 rw\n"
      "41 40 0:36 /docker/abc /sys/fs/cgroup/memory ro,relatime - cgroup cgroup rw,memory\n");
  ASSERT_TRUE(dir.has_value());
  EXPECT_EQ(dir->version, CgroupVersion::v2);
  EXPECT_EQ(dir->dir, "/sys/fs/cgroup/svc");
}

TEST(LocateCgroup, PicksTheMountWhoseRootMatches) {
  const auto dir = cpu::locate_cgroup("3:cpu:/b/inner\n",
                                      "50 40 0:38 /a /mnt/a rw - cgroup cgroup rw,cpu\n"
                                      "51 40 0:38 /b /mnt/b rw - cgroup cgroup rw,cpu\n");
  ASSERT_TRUE(dir.has_value());
  EXPECT_EQ(dir->version, CgroupVersion::v1);
  EXPECT_EQ(dir->dir, "/mnt/b/inner");

  EXPECT_EQ(cpu::locate_cgroup("3:cpu:/c\n", "50 40 0:38 /a /mnt/a rw - cgroup cgroup rw,cpu\n"),
            std::nullopt);
  EXPECT_EQ(cpu::locate_cgroup("", "50 40 0:38 / /mnt rw - cgroup2 cgroup2 rw\n"), std::nullopt);
}

TEST(CgroupFixtures, V2) {
  EXPECT_EQ(fixture_quota("v2_limited"), 2u);  // 150000 / 100000, rounded up
  EXPECT_EQ(fixture_quota("v2_unlimited"), std::nullopt);
  EXPECT_EQ(fixture_quota("v2_period_zero"), std::nullopt);
  EXPECT_EQ(fixture_quota("v2_namespace_root"), 4u);
  EXPECT_EQ(fixture_quota("v2_missing_file"), std::nullopt);
}

TEST(CgroupFixtures, V1) {
  EXPECT_EQ(fixture_quota("v1_limited"), 3u);  // 250000 / 100000; the unified line is ignored
  EXPECT_EQ(fixture_quota("v1_unlimited"), std::nullopt);
  EXPECT_EQ(fixture_quota("v1_period_zero"), std::nullopt);
  EXPECT_EQ(fixture_quota("v1_prefix_root"), 1u);  // 50000 / 100000 in pod7/ctr1
  EXPECT_EQ(fixture_quota("v1_foreign_root"), std::nullopt);
}

TEST(CgroupFixtures, UnreadableProcFiles) {
  const std::string dir = fixture("v2_limited");
  EXPECT_EQ(cpu::read_cgroup_quota(dir + "/no_such_file", dir + "/mountinfo", dir), std::nullopt);
  EXPECT_EQ(cpu::read_cgroup_quota(dir + "/proc_cgroup", dir + "/no_such_file", dir), std::nullopt);
  // Without the fixture root the translated directory does not exist.
  EXPECT_EQ(cpu::read_cgroup_quota(dir + "/proc_cgroup", dir + "/mountinfo", dir + "/elsewhere"),
            std::nullopt);
}

namespace {

// Affinity count measured with a mask large enough for any machine.
std::size_t wide_affinity_count() {
  const int max_cpus = 1 << 16;
  cpu_set_t* set = CPU_ALLOC(max_cpus);
  const std::size_t bytes = CPU_ALLOC_SIZE(max_cpus);
  CPU_ZERO_S(bytes, set);
  std::size_t n = 0;
  if (sched_getaffinity(0, bytes, set) == 0) n = static_cast<std::size_t>(CPU_COUNT_S(bytes, set));
  CPU_FREE(set);
  return n;
}

}  // namespace

TEST(LiveCount, AgreesWithAffinityAndQuota) {
  const auto affinity = cpu::affinity_cpu_count();
  ASSERT_TRUE(affinity.has_value());
  EXPECT_EQ(*affinity, std::min<std::size_t>(wide_affinity_count(), 1024));

  const auto quota = cpu::cgroup_cpu_quota();
  EXPECT_EQ(cpu::cgroup_cpu_quota(), quota);  // cached, stable
  if (quota) {
    EXPECT_GE(*quota, 1u);
    EXPECT_EQ(cpu::cpu_count(), *quota);
    EXPECT_EQ(cpu::available_processors(), std::min(*quota, *affinity));
  } else {
    EXPECT_EQ(cpu::cpu_count(), *affinity);
    EXPECT_EQ(cpu::available_processors(), *affinity);
  }
}

TEST(LiveCount, FollowsARestrictedAffinityMask) {
  // Pin a child process to one processor; the parent's mask stays intact.
  const pid_t pid = fork();
  ASSERT_NE(pid, -1);
  if (pid == 0) {
    alarm(30);
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) _exit(10);
    int first = -1;
    for (int c = 0; c < CPU_SETSIZE; ++c) {
      if (CPU_ISSET(c, &set)) {
        first = c;
        break;
      }
    }
    if (first < 0) _exit(11);
    CPU_ZERO(&set);
    CPU_SET(first, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) _exit(12);
    if (cpu::affinity_cpu_count() != std::optional<std::size_t>(1)) _exit(13);
    if (cpu::available_processors() != 1) _exit(14);
    const auto quota = cpu::cgroup_cpu_quota();
    if (cpu::cpu_count() != (quota ? *quota : 1)) _exit(15);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
