// How many processors this process may use: control-group CPU quota,
// affinity mask, online processors.
//
// The parsers below take file contents or file paths and never hard-wire
// /proc, so they can be checked against fixture trees; the live lookups at
// the bottom apply them to /proc/self and cache the quota process-wide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumvero::cpu {

enum class CgroupVersion : std::uint8_t { v1 = 1, v2 = 2 };

// One line of /proc/self/cgroup that can carry a CPU quota.
struct CgroupMembership {
  CgroupVersion version;
  std::string path;  // the process's cgroup path inside that hierarchy
};

// One cgroup file system mount from /proc/self/mountinfo.
struct CgroupMount {
  CgroupVersion version;
  std::string root;         // the hierarchy path mounted (field 4)
  std::string mount_point;  // where it is mounted (field 5)
};

// Where a quota lives: the cgroup directory and the file layout to expect.
struct CgroupDir {
  CgroupVersion version;
  std::string dir;
};

// Lines of /proc/self/cgroup that can hold a CPU quota, preferred first:
// the v1 hierarchy whose controller list names "cpu" (it states the
// controller explicitly), then the unified v2 line "0::/path".
std::vector<CgroupMembership> parse_proc_cgroup(std::string_view text);

// cgroup mounts of /proc/self/mountinfo, in file order: "cgroup" mounts whose
// super options include "cpu" (v1) and every "cgroup2" mount (v2). Octal
// escapes such as \040 in paths are decoded.
std::vector<CgroupMount> parse_mountinfo(std::string_view text);

// The mount's directory that corresponds to `cgroup_path`, or nothing when
// the mount root is not a (path-component) prefix of it.
std::optional<std::string> translate_cgroup_path(const CgroupMount& mount,
                                                 std::string_view cgroup_path);

// The cgroup directory of the process given the texts of /proc/self/cgroup
// and /proc/self/mountinfo: the first membership (preferred order) that has
// a mount of its version whose root is a prefix of its path.
std::optional<CgroupDir> locate_cgroup(std::string_view proc_cgroup, std::string_view mountinfo);

// Whole CPUs granted by a quota of `quota_us` per `period_us`, rounded up.
// Nothing for period 0 or quota 0 (neither allows a meaningful count).
std::optional<std::size_t> quota_cpus(std::uint64_t quota_us, std::uint64_t period_us);

// v1: texts of cpu.cfs_quota_us and cpu.cfs_period_us (surrounding blanks
// ignored). "-1" means unlimited, so nothing.
std::optional<std::size_t> quota_from_v1(std::string_view quota_text, std::string_view period_text);

// v2: text of cpu.max, "<quota> <period>" on its first line; a quota of
// "max" means unlimited, so nothing.
std::optional<std::size_t> quota_from_v2(std::string_view cpu_max_text);

// Full lookup from files: reads the two proc files, locates the cgroup and
// reads its quota files. `sysroot` is prepended to the mount point (empty
// for the live system; a fixture directory in tests). Any unreadable or
// malformed piece gives nothing.
std::optional<std::size_t> read_cgroup_quota(const std::string& proc_cgroup_file,
                                             const std::string& mountinfo_file,
                                             const std::string& sysroot = {});

// Live quota of this process (/proc/self/...), looked up once and cached
// process-wide; thread-safe.
std::optional<std::size_t> cgroup_cpu_quota();

// Processors in this thread's affinity mask (a 128-byte mask, so at most
// 1024 are counted), or nothing when the query fails.
std::optional<std::size_t> affinity_cpu_count();

// The CPU count: the quota if any, else the affinity count, else the online
// processors; at least 1.
std::size_t cpu_count();

// Processors available to the process: the affinity count (online
// processors if that query fails) limited by the quota; 1 when neither can
// be determined. The worker pool's default size.
std::size_t available_processors();

}  // namespace lumvero::cpu
