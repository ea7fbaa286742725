// Writing a radius search's rows best first into the caller's arrays: a
// stable bucket pass on the score's leading bits, then a stable radix sort of
// each bucket, both on the pool.
#include "engine/search/found_order.h"

#include <algorithm>
#include <array>
#include <utility>

#include "engine/runtime/pool.h"
#include "engine/search/radius.h"

namespace lumvero {

namespace {

// From this many rows on the rows are sorted on the pool.
constexpr std::size_t kParallelFrom = std::size_t{1} << 16;
// Buckets of the rank key's leading bits; each is sorted on the other bits.
constexpr unsigned kTopShift = 20;
constexpr std::size_t kBuckets = std::size_t{1} << (32 - kTopShift);
// The low bits in two digits.
constexpr unsigned kLowBits = 10;
constexpr std::size_t kLowDigits = std::size_t{1} << kLowBits;
// A bucket this small is sorted by comparisons.
constexpr std::size_t kCompareBelow = 256;

using Counts = std::vector<std::size_t>;

struct Entry {
  std::int64_t id;
  float score;
};

inline std::size_t bucket_of(float score, bool distance) {
  return rank_key(score, distance) >> kTopShift;
}

inline std::size_t low_digit(float score, bool distance, unsigned pass) {
  return (rank_key(score, distance) >> (pass * kLowBits)) & (kLowDigits - 1);
}

inline std::int64_t id_of(const FoundArrays& out, std::uint64_t position) {
  return out.ids_by_position != nullptr ? out.ids_by_position[position]
                                        : static_cast<std::int64_t>(position);
}

Counts bucket_counts(const std::vector<ScoredRow>& part, bool distance) {
  Counts c(kBuckets, 0);
  for (const ScoredRow& r : part) ++c[bucket_of(r.score, distance)];
  return c;
}

// Each part's counts turned into the places its rows of each bucket start at;
// the buckets' bounds into `bounds` (kBuckets + 1 entries).
void place_parts(std::vector<Counts>& counts, std::vector<std::size_t>& bounds) {
  bounds.assign(kBuckets + 1, 0);
  for (const Counts& c : counts)
    for (std::size_t b = 0; b < kBuckets; ++b) bounds[b + 1] += c[b];
  for (std::size_t b = 0; b < kBuckets; ++b) bounds[b + 1] += bounds[b];
  std::vector<std::size_t> next(bounds.begin(), bounds.end() - 1);
  for (Counts& c : counts) {
    for (std::size_t b = 0; b < kBuckets; ++b) next[b] += std::exchange(c[b], next[b]);
  }
}

void scatter_part(std::vector<ScoredRow>& part, Counts& at, bool distance, const FoundArrays& out) {
  for (const ScoredRow& r : part) {
    const std::size_t i = at[bucket_of(r.score, distance)]++;
    out.scores[i] = r.score;
    out.ids[i] = id_of(out, r.idx);
  }
  std::vector<ScoredRow>().swap(part);
}

// Stable sort of entries [0, m) of `a` on the low bits of their rank keys;
// `b` is scratch of m entries. The sorted entries end in `a`.
void sort_low(std::vector<Entry>& a, std::vector<Entry>& b, std::size_t m, bool distance) {
  std::array<std::array<std::size_t, kLowDigits>, 2> counts{};
  for (std::size_t j = 0; j < m; ++j)
    for (unsigned p = 0; p < 2; ++p) ++counts[p][low_digit(a[j].score, distance, p)];
  for (unsigned p = 0; p < 2; ++p) {
    auto& c = counts[p];
    if (std::find(c.begin(), c.end(), m) != c.end()) continue;  // one digit for all
    std::size_t at = 0;
    for (std::size_t& n : c) at += std::exchange(n, at);
    for (std::size_t j = 0; j < m; ++j) b[c[low_digit(a[j].score, distance, p)]++] = a[j];
    a.swap(b);
  }
}

// Sorts the bucket at places [begin, end) of `out` in place, stably.
void sort_bucket(std::size_t begin, std::size_t end, bool distance, const FoundArrays& out,
                 std::vector<Entry>& a, std::vector<Entry>& b) {
  const std::size_t m = end - begin;
  if (m < 2) return;
  if (a.size() < m) {
    a.resize(m);
    b.resize(m);
  }
  for (std::size_t j = 0; j < m; ++j) a[j] = {out.ids[begin + j], out.scores[begin + j]};
  if (m < kCompareBelow) {
    std::stable_sort(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(m),
                     [distance](const Entry& x, const Entry& y) {
                       return rank_key(x.score, distance) < rank_key(y.score, distance);
                     });
  } else {
    sort_low(a, b, m, distance);
  }
  for (std::size_t j = 0; j < m; ++j) {
    out.scores[begin + j] = a[j].score;
    out.ids[begin + j] = a[j].id;
  }
}

// Consecutive buckets in groups of about `target` rows: one task each.
std::vector<std::pair<std::size_t, std::size_t>> bucket_groups(
    const std::vector<std::size_t>& bounds, std::size_t target) {
  std::vector<std::pair<std::size_t, std::size_t>> groups;
  std::size_t from = 0;
  for (std::size_t b = 1; b <= kBuckets; ++b) {
    if (bounds[b] - bounds[from] >= target || b == kBuckets) {
      if (bounds[b] > bounds[from]) groups.emplace_back(from, b);
      from = b;
    }
  }
  return groups;
}

Status write_large(std::vector<std::vector<ScoredRow>>& parts, bool distance, std::size_t n,
                   const FoundArrays& out) {
  auto counts =
      pool::map(parts.size(), [&](std::size_t p) { return bucket_counts(parts[p], distance); });
  if (!counts) return fail(std::move(counts.error()));
  std::vector<std::size_t> bounds;
  place_parts(*counts, bounds);
  if (auto st =
          pool::run(parts.size(),
                    [&](std::size_t p) { scatter_part(parts[p], (*counts)[p], distance, out); });
      !st)
    return st;
  const std::size_t tasks = 8 * std::max<std::size_t>(pool::thread_count(), 1);
  const auto groups = bucket_groups(bounds, std::max<std::size_t>(n / tasks, 1));
  return pool::run(groups.size(), [&](std::size_t g) {
    std::vector<Entry> a, b;
    for (std::size_t k = groups[g].first; k < groups[g].second; ++k)
      sort_bucket(bounds[k], bounds[k + 1], distance, out, a, b);
  });
}

}  // namespace

std::size_t found_count(const std::vector<std::vector<ScoredRow>>& parts) {
  std::size_t n = 0;
  for (const auto& part : parts) n += part.size();
  return n;
}

Status write_found(std::vector<std::vector<ScoredRow>>&& parts, Metric metric,
                   const FoundArrays& out) {
  const std::size_t n = found_count(parts);
  if (n >= kParallelFrom) return write_large(parts, is_distance(metric), n, out);
  const std::vector<ScoredRow> all = sort_found(std::move(parts), metric);
  for (std::size_t j = 0; j < all.size(); ++j) {
    out.scores[j] = all[j].score;
    out.ids[j] = id_of(out, all[j].idx);
  }
  return {};
}

}  // namespace lumvero
