// One-time sizing of the worker pool from LUMVO_THREADS, and export of the
// chosen count to the thread settings of other numeric libraries
// (OPENBLAS_NUM_THREADS, OMP_NUM_THREADS, RAYON_NUM_THREADS).
//
// The decision is a pure function (plan_pool) so that every case can be
// checked without touching the environment; pool_setup applies it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace lumvero {

// What pool_setup does for a given LUMVO_THREADS value.
struct PoolPlan {
  // Written verbatim to the three exported variables.
  std::string exported;
  // Passed to pool::create_global: 0 asks for the pool's default size,
  // otherwise already cut to pool::kMaxThreads.
  std::size_t threads = 0;
};

// The plan for LUMVO_THREADS = `lumvo_threads` (nothing when absent) on a
// machine whose CPU count is `cpu_count`:
//  - present: export the text unchanged; threads = its value when it parses
//    as a count (settings::parse_u64; 0 included), else cpu_count;
//  - absent: threads = max(cpu_count, 1), exported as plain decimal.
PoolPlan plan_pool(std::optional<std::string_view> lumvo_threads, std::size_t cpu_count);

// Reads LUMVO_THREADS, sets OPENBLAS_NUM_THREADS, OMP_NUM_THREADS and
// RAYON_NUM_THREADS (in this order) and asks for the global pool. Runs once
// per process, for whichever caller comes first (the module's first index
// open, or lumvero_contrib._native's first call: one core serves both);
// concurrent callers wait for the first one to finish. Never fails visibly:
// an existing pool, or one that cannot be started, is left as it is.
void pool_setup();

}  // namespace lumvero
