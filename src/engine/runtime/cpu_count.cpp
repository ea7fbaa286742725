// How many CPUs this process may use: affinity, online CPUs and the cgroup quota.
#include "engine/runtime/cpu_count.h"

#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <limits>

#include "engine/runtime/settings.h"

namespace lumvero::cpu {
namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

// Splits on `sep`, keeping empty fields.
std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> out;
  for (;;) {
    const auto pos = s.find(sep);
    out.push_back(s.substr(0, pos));
    if (pos == std::string_view::npos) return out;
    s.remove_prefix(pos + 1);
  }
}

bool list_contains(std::string_view comma_list, std::string_view item) {
  for (auto part : split(comma_list, ',')) {
    if (part == item) return true;
  }
  return false;
}

template <class F>
void for_each_line(std::string_view text, F&& f) {
  while (!text.empty()) {
    const auto nl = text.find('\n');
    f(text.substr(0, nl));
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
}

// The kernel writes blanks, tabs, newlines and backslashes in mountinfo
// paths as three-digit octal escapes.
std::string unescape_octal(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size()) {
      const char a = s[i + 1], b = s[i + 2], c = s[i + 3];
      if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
        out.push_back(static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0')));
        i += 3;
        continue;
      }
    }
    out.push_back(s[i]);
  }
  return out;
}

std::optional<std::string> read_file(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "re");
  if (f == nullptr) return std::nullopt;
  std::string text;
  char buf[4096];
  bool ok = true;
  // /proc files report size 0, so read until end of file.
  for (;;) {
    const std::size_t got = std::fread(buf, 1, sizeof buf, f);
    text.append(buf, got);
    if (got < sizeof buf) {
      ok = std::ferror(f) == 0;
      break;
    }
    if (text.size() > (std::size_t{16} << 20)) {  // no legitimate file is this large
      ok = false;
      break;
    }
  }
  std::fclose(f);
  if (!ok) return std::nullopt;
  return text;
}

}  // namespace

std::vector<CgroupMembership> parse_proc_cgroup(std::string_view text) {
  std::optional<CgroupMembership> v1, v2;
  for_each_line(text, [&](std::string_view line) {
    // "hierarchy-ID:controller-list:cgroup-path"; the path may itself hold ':'.
    const auto c1 = line.find(':');
    if (c1 == std::string_view::npos) return;
    const auto c2 = line.find(':', c1 + 1);
    if (c2 == std::string_view::npos) return;
    const auto controllers = line.substr(c1 + 1, c2 - c1 - 1);
    const auto path = line.substr(c2 + 1);
    if (controllers.empty()) {
      if (!v2 && line.substr(0, c1) == "0")
        v2 = CgroupMembership{CgroupVersion::v2, std::string(path)};
    } else if (!v1 && list_contains(controllers, "cpu")) {
      v1 = CgroupMembership{CgroupVersion::v1, std::string(path)};
    }
  });
  std::vector<CgroupMembership> out;
  if (v1) out.push_back(std::move(*v1));
  if (v2) out.push_back(std::move(*v2));
  return out;
}

std::vector<CgroupMount> parse_mountinfo(std::string_view text) {
  std::vector<CgroupMount> out;
  for_each_line(text, [&](std::string_view line) {
    // "id parent maj:min root mount-point options [optional...] - fstype source super-options"
    const auto fields = split(line, ' ');
    if (fields.size() < 10) return;
    std::size_t dash = 6;
    while (dash < fields.size() && fields[dash] != "-") ++dash;
    if (dash + 1 >= fields.size()) return;
    const auto fstype = fields[dash + 1];
    CgroupVersion version;
    if (fstype == "cgroup2") {
      version = CgroupVersion::v2;
    } else if (fstype == "cgroup") {
      if (dash + 3 >= fields.size() || !list_contains(fields[dash + 3], "cpu")) return;
      version = CgroupVersion::v1;
    } else {
      return;
    }
    out.push_back(CgroupMount{version, unescape_octal(fields[3]), unescape_octal(fields[4])});
  });
  return out;
}

namespace {

// The part of cgroup_path below the mount's root, compared by whole path
// components: root "/a" is a prefix of "/a/b" but not of "/ab".
std::optional<std::string_view> below_root(std::string_view root, std::string_view cgroup_path) {
  while (root.size() > 1 && root.back() == '/') root.remove_suffix(1);
  if (root == "/") {
    if (cgroup_path.empty() || cgroup_path.front() != '/') return std::nullopt;
    return cgroup_path;
  }
  if (cgroup_path.substr(0, root.size()) != root) return std::nullopt;
  std::string_view rest = cgroup_path.substr(root.size());
  if (!rest.empty() && rest.front() != '/') return std::nullopt;
  return rest;
}

}  // namespace

std::optional<std::string> translate_cgroup_path(const CgroupMount& mount,
                                                 std::string_view cgroup_path) {
  auto below = below_root(mount.root, cgroup_path);
  if (!below) return std::nullopt;
  std::string_view rest = *below;
  while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
  while (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  std::string dir = mount.mount_point;
  if (!rest.empty()) {
    if (dir.empty() || dir.back() != '/') dir.push_back('/');
    dir.append(rest);
  }
  return dir;
}

std::optional<CgroupDir> locate_cgroup(std::string_view proc_cgroup, std::string_view mountinfo) {
  const auto members = parse_proc_cgroup(proc_cgroup);
  if (members.empty()) return std::nullopt;
  const auto mounts = parse_mountinfo(mountinfo);
  for (const auto& member : members) {
    for (const auto& mount : mounts) {
      if (mount.version != member.version) continue;
      if (auto dir = translate_cgroup_path(mount, member.path)) {
        return CgroupDir{member.version, std::move(*dir)};
      }
    }
  }
  return std::nullopt;
}

std::optional<std::size_t> quota_cpus(std::uint64_t quota_us, std::uint64_t period_us) {
  if (period_us == 0 || quota_us == 0) return std::nullopt;
  const std::uint64_t whole = quota_us / period_us + (quota_us % period_us != 0 ? 1 : 0);
  if (whole > std::numeric_limits<std::size_t>::max()) return std::nullopt;
  return static_cast<std::size_t>(whole);
}

std::optional<std::size_t> quota_from_v1(std::string_view quota_text,
                                         std::string_view period_text) {
  const auto quota = settings::parse_u64(trim(quota_text));
  const auto period = settings::parse_u64(trim(period_text));
  if (!quota || !period) return std::nullopt;
  return quota_cpus(*quota, *period);
}

std::optional<std::size_t> quota_from_v2(std::string_view cpu_max_text) {
  const auto first_line = cpu_max_text.substr(0, cpu_max_text.find('\n'));
  const auto fields = split(trim(first_line), ' ');
  if (fields.size() < 2) return std::nullopt;
  const auto quota = settings::parse_u64(fields[0]);  // "max" fails here: unlimited
  const auto period = settings::parse_u64(fields[1]);
  if (!quota || !period) return std::nullopt;
  return quota_cpus(*quota, *period);
}

std::optional<std::size_t> read_cgroup_quota(const std::string& proc_cgroup_file,
                                             const std::string& mountinfo_file,
                                             const std::string& sysroot) {
  try {
    const auto proc_cgroup = read_file(proc_cgroup_file);
    if (!proc_cgroup) return std::nullopt;
    const auto mountinfo = read_file(mountinfo_file);
    if (!mountinfo) return std::nullopt;
    const auto where = locate_cgroup(*proc_cgroup, *mountinfo);
    if (!where) return std::nullopt;
    const std::string dir = sysroot + where->dir;
    if (where->version == CgroupVersion::v2) {
      const auto max = read_file(dir + "/cpu.max");
      if (!max) return std::nullopt;
      return quota_from_v2(*max);
    }
    const auto quota = read_file(dir + "/cpu.cfs_quota_us");
    if (!quota) return std::nullopt;
    const auto period = read_file(dir + "/cpu.cfs_period_us");
    if (!period) return std::nullopt;
    return quota_from_v1(*quota, *period);
  } catch (...) {
    // Out of memory while reading small files: behave as "no quota".
    return std::nullopt;
  }
}

std::optional<std::size_t> cgroup_cpu_quota() {
  static const std::optional<std::size_t> cached =
      read_cgroup_quota("/proc/self/cgroup", "/proc/self/mountinfo");
  return cached;
}

std::optional<std::size_t> affinity_cpu_count() {
  cpu_set_t set;  // 128 bytes: at most 1024 processors
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return std::nullopt;
  return static_cast<std::size_t>(CPU_COUNT(&set));
}

namespace {
std::optional<std::size_t> online_cpus() {
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  if (n < 1) return std::nullopt;
  return static_cast<std::size_t>(n);
}
}  // namespace

std::size_t cpu_count() {
  if (auto q = cgroup_cpu_quota()) return *q;
  if (auto a = affinity_cpu_count(); a && *a > 0) return *a;
  return online_cpus().value_or(1);
}

std::size_t available_processors() {
  std::optional<std::size_t> n = affinity_cpu_count();
  if (!n || *n == 0) n = online_cpus();
  if (!n) return 1;
  if (auto q = cgroup_cpu_quota(); q && *q < *n) return *q;
  return *n;
}

}  // namespace lumvero::cpu
