// Radius searches through the one core: the pre-filter with the radius as
// its band's L, or the kernel scan into radius lists.
#include <algorithm>
#include <utility>

#include "engine/kernels/kernels.h"
#include "engine/prefilter/batch_scan.h"
#include "engine/prefilter/single_scan.h"
#include "engine/runtime/pool.h"
#include "engine/runtime/tuning.h"
#include "engine/search/search_core.h"

namespace lumvero::core {

namespace {

using tuning::kScanRows;

using Lists = std::vector<std::vector<ScoredRow>>;

// Each query's collected rows of one piece, every window scored for all the
// queries while its rows are in cache.
Lists queries_piece(const RowSet& set, const Piece& p, const float* queries, std::size_t nq,
                    const Want& want) {
  const RowRun& run = set.runs[p.run];
  const std::size_t dims = static_cast<std::size_t>(set.dims);
  std::vector<Collector> found;
  found.reserve(nq);
  for (std::size_t i = 0; i < nq; ++i) found.emplace_back(want, set.metric, p.end - p.begin);
  float buf[kScanRows];
  std::uint64_t scratch[kScanRows];
  for_selected(run, set.selection, p, kScanRows, scratch, [&](const SelectedWindow& b) {
    // Mapped rows read for the first time are checked against their sums.
    if (b.local == nullptr) check_rows(run, b.start, b.count, dims);
    for (std::size_t j = 0; b.local != nullptr && j < b.count; ++j)
      check_rows(run, b.local[j], 1, dims);
    for (std::size_t i = 0; i < nq; ++i) {
      const float* q = queries + i * dims;
      if (b.local == nullptr) {
        kernels::score_rows(set.metric, q, run.data + b.start * dims, dims, b.count, buf);
        found[i].feed(buf, b.count, run.first + b.start);
        continue;
      }
      for (std::size_t j = 0; j < b.count; ++j)
        found[i].offer(run.first + b.local[j],
                       kernels::compute_score(set.metric, q, run.data + b.local[j] * dims, dims));
    }
  });
  Lists out;
  out.reserve(nq);
  for (Collector& c : found) out.push_back(c.take());
  return out;
}

Result<std::vector<Lists>> kernel_range(const RowSet& set, const float* queries, std::size_t nq,
                                        const Want& want) {
  const bool run_inline = runs_inline(set, nq);
  return kernel_parts(set, run_inline ? whole_runs(set) : cut_pieces(set, 0, 1), queries, nq, want,
                      run_inline);
}

// One query at a time: the pre-filter where it pays, else the kernel scan.
Result<std::vector<Lists>> one_by_one(const RowSet& set, const float* queries, std::size_t nq,
                                      const Want& want, SearchStats* stats) {
  const bool codes = !want.radius->admits_all() && prefilter::wanted(prefilter::mode(), set, 1);
  std::vector<Lists> out(nq);
  for (std::size_t i = 0; i < nq; ++i) {
    const float* q = queries + i * set.dims;
    if (codes) {
      auto got = prefilter::scan_found(set, q, *want.radius, 0, stats);
      if (!got) return fail(std::move(got.error()));
      if (*got) {
        out[i] = std::move(**got);
        continue;
      }
    }
    auto one = kernel_range(set, q, 1, want);
    if (!one) return fail(std::move(one.error()));
    out[i] = std::move((*one)[0]);
  }
  return out;
}

// Each query's one sorted list as its only part.
std::vector<Lists> as_parts(Lists&& lists) {
  std::vector<Lists> out(lists.size());
  for (std::size_t i = 0; i < lists.size(); ++i) out[i].push_back(std::move(lists[i]));
  return out;
}

}  // namespace

Result<std::vector<Lists>> kernel_parts(const RowSet& set, const std::vector<Piece>& pieces,
                                        const float* queries, std::size_t nq, const Want& want,
                                        bool run_inline) {
  auto parts = over_pieces(pieces.size(), run_inline, [&](std::size_t p) {
    return queries_piece(set, pieces[p], queries, nq, want);
  });
  if (!parts) return fail(std::move(parts.error()));
  std::vector<Lists> out(nq);
  for (std::size_t i = 0; i < nq; ++i) {
    out[i].reserve(parts->size());
    for (Lists& piece : *parts) out[i].push_back(std::move(piece[i]));
  }
  return out;
}

Result<Lists> kernel_queries(const RowSet& set, const std::vector<Piece>& pieces,
                             const float* queries, std::size_t nq, const Want& want,
                             bool run_inline) {
  auto parts = kernel_parts(set, pieces, queries, nq, want, run_inline);
  if (!parts) return fail(std::move(parts.error()));
  return over_pieces(nq, run_inline || nq == 1, [&](std::size_t i) {
    return merge_found(std::move((*parts)[i]), want, set.metric);
  });
}

Result<std::vector<Lists>> range_parts(const RowSet& set, const float* queries, std::size_t nq,
                                       const Radius& radius, SearchStats* stats) {
  if (nq == 0 || set.dims == 0 || set.selectable() == 0 || radius.admits_none())
    return std::vector<Lists>(nq);
  const Want want{.k = 0, .radius = radius};
  if (nq < tuning::kMatrixFromQueries) return one_by_one(set, queries, nq, want, stats);
  if (!radius.admits_all() &&
      prefilter::batch_wanted(prefilter::mode(), set.selectable(), set.dims, 1, nq)) {
    auto got = prefilter::batch_scan(set, queries, nq, want, 0, stats);
    if (!got) return fail(std::move(got.error()));
    if (*got) return as_parts(std::move(**got));
  }
  return kernel_range(set, queries, nq, want);
}

Result<Lists> range_search(const RowSet& set, const float* queries, std::size_t nq,
                           const Radius& radius, SearchStats* stats) {
  auto parts = range_parts(set, queries, nq, radius, stats);
  if (!parts) return fail(std::move(parts.error()));
  return over_pieces(nq, nq == 1, [&](std::size_t i) {
    return sort_found(std::move((*parts)[i]), radius.metric);
  });
}

}  // namespace lumvero::core
