// Shared helpers of the strategies: row ranges, chunk sizes, the clock.
#include "engine/search/scan.h"

#include <algorithm>

#include "engine/kernels/kernels.h"
#include "engine/runtime/tuning.h"
#include "engine/search/topk.h"
#include "engine/search_engine.h"

namespace lumvero {

std::size_t chunk_rows(std::uint64_t rows, std::uint64_t dims, Metric metric, std::size_t threads) {
  const std::uint64_t t = std::max<std::size_t>(threads, 1);
  const std::uint64_t d1 = std::max<std::uint64_t>(dims, 1);
  std::uint64_t budget;
  if (is_distance(metric)) {
    budget = tuning::kChunkFloatsEuclidean;
  } else if (dims >= 768) {
    budget = tuning::kChunkFloatsLong;
  } else if (dims >= 384) {
    budget = tuning::kChunkFloatsMedium;
  } else {
    budget = tuning::kChunkFloatsShort;
  }
  const std::uint64_t by_budget = budget >= d1 ? budget / d1 : 0;
  const std::uint64_t by_threads = rows / (4 * t);
  const std::uint64_t c = std::max({by_budget, by_threads, std::uint64_t{1}});
  const std::uint64_t cap = dims >= 768   ? tuning::kChunkRowsLong
                            : dims >= 384 ? tuning::kChunkRowsMedium
                                          : tuning::kChunkRowsShort;
  return static_cast<std::size_t>(std::max<std::uint64_t>(1, std::min({c, cap, rows})));
}

std::vector<ScoredRow> kernel_top_k(const SearchEngine& e, const float* q, std::size_t k,
                                    std::uint64_t begin, std::uint64_t end) {
  // A heap never holds more entries than it is offered.
  TopKHeap heap(static_cast<std::size_t>(std::min<std::uint64_t>(k, end - begin)), e.metric);
  float buf[tuning::kScanRows];
  for (std::uint64_t r = begin; r < end; r += tuning::kScanRows) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(tuning::kScanRows, end - r));
    kernels::score_rows(e.metric, q, e.row(r), e.dims, n, buf);
    feed_heap(heap, buf, n, r);
  }
  return heap.into_sorted();
}

std::vector<RowRange> balanced_pieces(std::uint64_t rows, std::size_t chunk_len,
                                      std::size_t threads) {
  std::vector<RowRange> out;
  if (rows == 0) return out;
  const std::uint64_t len = std::max<std::size_t>(chunk_len, 1);
  const std::uint64_t chunks = (rows + len - 1) / len;
  const std::uint64_t want = 4 * std::max<std::uint64_t>(threads, 1);
  const std::uint64_t parts = std::max<std::uint64_t>(1, (want + chunks - 1) / chunks);
  out.reserve(static_cast<std::size_t>(chunks * std::min(parts, len)));
  for (std::uint64_t c = 0; c < chunks; ++c) {
    const std::uint64_t b = c * len;
    const std::uint64_t n = std::min(len, rows - b);
    const std::uint64_t p = std::min(parts, n);  // no empty pieces
    for (std::uint64_t i = 0; i < p; ++i) out.emplace_back(b + n * i / p, b + n * (i + 1) / p);
  }
  return out;
}

double elapsed_ms(SearchClock::time_point start, SearchClock::time_point end) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count();
  if (ns <= 0) return 0.0;
  const auto secs = ns / 1000000000;
  const auto nanos = ns % 1000000000;
  return (static_cast<double>(secs) + static_cast<double>(nanos) / 1e9) * 1000.0;
}

}  // namespace lumvero
