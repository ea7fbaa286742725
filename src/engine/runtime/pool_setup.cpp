// One-time pool sizing and BLAS threading set-up, on the first open.
#include "engine/runtime/pool_setup.h"

#include <cstdlib>
#include <mutex>

#include "engine/runtime/cpu_count.h"
#include "engine/runtime/pool.h"
#include "engine/runtime/settings.h"

namespace lumvero {

PoolPlan plan_pool(std::optional<std::string_view> lumvo_threads, std::size_t cpu_count) {
  PoolPlan plan;
  std::size_t wanted;
  if (lumvo_threads) {
    plan.exported.assign(*lumvo_threads);
    if (auto n = settings::parse_u64(*lumvo_threads)) {
      wanted = *n > pool::kMaxThreads ? pool::kMaxThreads : static_cast<std::size_t>(*n);
    } else {
      wanted = cpu_count;
    }
  } else {
    wanted = cpu_count == 0 ? 1 : cpu_count;
    plan.exported = std::to_string(wanted);
  }
  plan.threads = wanted > pool::kMaxThreads ? pool::kMaxThreads : wanted;
  return plan;
}

namespace {

void pool_setup_once() {
  // The environment text must outlive getenv's next call; copy it first.
  const std::optional<std::string> value = settings::read("LUMVO_THREADS");
  const PoolPlan plan =
      plan_pool(value ? std::optional<std::string_view>(*value) : std::nullopt, cpu::cpu_count());
  // Names are fixed and the value holds no NUL (it came from the
  // environment or from a number), so these cannot fail.
  setenv("OPENBLAS_NUM_THREADS", plan.exported.c_str(), 1);
  setenv("OMP_NUM_THREADS", plan.exported.c_str(), 1);
  setenv("RAYON_NUM_THREADS", plan.exported.c_str(), 1);
  // With threads == 0 the default size applies; RAYON_NUM_THREADS now holds
  // a text that parsed as 0, so that is the available processor count.
  (void)pool::create_global(plan.threads);  // an existing pool keeps its size
}

std::once_flag g_setup_once;

}  // namespace

void pool_setup() {
  try {
    std::call_once(g_setup_once, pool_setup_once);
  } catch (...) {
    // Out of memory while copying a short text: the pool will still be
    // created with its default size at the first parallel work.
  }
}

}  // namespace lumvero
