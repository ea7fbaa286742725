#include "engine/pool_setup.h"

#include <cstdlib>
#include <mutex>

#include "engine/cpu_count.h"
#include "engine/pool.h"

namespace lumvero {

bool is_valid_utf8(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;  // overlong
      if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;  // overlong
      if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
      return false;  // continuation byte, overlong lead C0/C1, or F5..FF
    }
    if (n - i < len) return false;
    if (s[i + 1] < lo || s[i + 1] > hi) return false;
    for (std::size_t k = 2; k < len; ++k) {
      if (s[i + k] < 0x80 || s[i + k] > 0xBF) return false;
    }
    i += len;
  }
  return true;
}

std::optional<std::string_view> usable_setting(const char* raw) {
  if (raw == nullptr) return std::nullopt;
  std::string_view v(raw);
  if (v.empty() || !is_valid_utf8(v)) return std::nullopt;
  return v;
}

PoolPlan plan_pool(std::optional<std::string_view> lumvo_threads, std::size_t cpu_count) {
  PoolPlan plan;
  std::size_t wanted;
  if (lumvo_threads) {
    plan.exported.assign(*lumvo_threads);
    if (auto n = pool::parse_thread_count(*lumvo_threads)) {
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
  std::optional<std::string> value;
  if (auto v = usable_setting(std::getenv("LUMVO_THREADS"))) value.emplace(*v);
  const PoolPlan plan = plan_pool(value ? std::optional<std::string_view>(*value) : std::nullopt,
                                  cpu::cpu_count());
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
