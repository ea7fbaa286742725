// The process-wide worker pool: a fixed set of threads that runs batches of
// indexed tasks for the engine's data-parallel steps. The engine is one shared
// library (liblumvero_core) that the module and lumvero_contrib's _native both
// load, so a process has one pool whichever of them it uses.
//
// Guarantees the engine relies on:
//  - Results come back in index (chunk) order, whatever the scheduling.
//  - A failing batch reports the error of its lowest failing index; tasks
//    with a higher index than an already recorded failure are not started.
//    The reported error therefore never depends on scheduling.
//  - No exception leaves a worker: anything a task throws is caught there.
//    Ordinary exceptions become that task's error text (what()). A Panic or
//    std::bad_alloc of the lowest failing task is rethrown on the calling
//    thread once the batch is over, so the Python boundary still reports a
//    panic as PanicException and an exhausted heap as MemoryError.
//  - A thread outside the pool blocks until the whole batch is done and runs
//    none of it; a pool thread that starts nested work runs tasks of its own
//    batch while it waits, so nesting never deadlocks, even with one thread.
//  - The pool is created once (explicitly or on first use with the default
//    size), never resized and never destroyed. After fork() the child gets
//    a fresh pool with the same thread count at its next use.
//  - Under a limit (set_limit) no more than that many pool threads run tasks
//    at once; a pool thread waiting for its nested work keeps its place.
//
// Task functions are called concurrently from several threads and must be
// safe for that; they must not call fork().
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/status.h"

namespace lumvero::pool {

// Requests for more threads are cut to this.
inline constexpr std::size_t kMaxThreads = 65535;

// Creates the global pool with min(n, kMaxThreads) threads, or the default
// size when n == 0, and waits until every thread has started. False (and
// nothing changes) when a pool exists already or the threads cannot be
// started.
bool create_global(std::size_t n);

// RAYON_NUM_THREADS when it holds a count >= 1 (read now, from the
// environment), otherwise cpu::available_processors(); capped at kMaxThreads.
std::size_t default_size();

// Threads the engine's parallel work runs on now (>= 1): the pool's size, or
// the limit (set_limit) when that is lower. The engine cuts its work by this
// count. Creates the pool with the default size when there is none yet.
std::size_t thread_count();

// Threads the global pool was created with (>= 1), creating it as
// thread_count does.
std::size_t pool_size();

// Lets at most n pool threads run tasks at the same time, over every batch of
// the process (0: the whole pool again), from the next task they take on. The
// pool keeps its threads; a limit above its size means the whole pool. It
// changes how work is cut and spread, never a result: batches gather their
// results in index order whatever the split.
void set_limit(std::size_t n);

// The limit set last; 0 when none.
std::size_t limit();

// True on a worker thread of the current global pool.
bool on_pool_thread();

namespace detail {

using TaskCall = Status (*)(void* ctx, std::size_t index);

// Runs call(ctx, i) for i in [0, n) on the global pool.
Status run_erased(std::size_t n, TaskCall call, void* ctx);

template <class T>
struct result_traits {
  static constexpr bool is_result = false;
  using value_type = T;
};
template <class T>
struct result_traits<std::expected<T, std::string>> {
  static constexpr bool is_result = true;
  using value_type = T;
};

template <class F, class... Args>
using value_of_t =
    typename result_traits<std::remove_cvref_t<std::invoke_result_t<F&, Args...>>>::value_type;

inline std::size_t chunk_count(std::size_t total, std::size_t chunk) {
  LUMVO_ASSERT(chunk > 0 || total == 0, "pool: chunk size must be at least 1");
  return chunk == 0 ? 0 : total / chunk + (total % chunk != 0 ? 1 : 0);
}

// Collects one value per index; a plain vector<T> when T allows it (never
// vector<bool>: its elements share bytes, so concurrent writes would race).
template <class T>
class Slots {
 public:
  static constexpr bool kDirect = std::is_default_constructible_v<T> &&
                                  std::is_move_assignable_v<T> && !std::is_same_v<T, bool>;

  explicit Slots(std::size_t n) : items_(n) {}
  void put(std::size_t i, T&& v) {
    if constexpr (kDirect) {
      items_[i] = std::move(v);
    } else {
      items_[i].emplace(std::move(v));
    }
  }
  std::vector<T> take() {
    if constexpr (kDirect) {
      return std::move(items_);
    } else {
      std::vector<T> out;
      out.reserve(items_.size());
      for (auto& item : items_) out.push_back(std::move(*item));
      return out;
    }
  }

 private:
  std::conditional_t<kDirect, std::vector<T>, std::vector<std::optional<T>>> items_;
};

}  // namespace detail

// Runs fn(i) for every i in [0, n) on the global pool and waits for all of
// them. fn returns Status or void. The error of the lowest failing index is
// returned.
template <class F>
Status run(std::size_t n, F&& fn) {
  using Fn = std::remove_reference_t<F>;
  using R = std::invoke_result_t<Fn&, std::size_t>;
  static_assert(std::is_void_v<R> || std::is_same_v<std::remove_cvref_t<R>, Status>,
                "pool::run: the task must return Status or void");
  detail::TaskCall call = [](void* ctx, std::size_t i) -> Status {
    Fn& f = *static_cast<Fn*>(ctx);
    if constexpr (std::is_void_v<R>) {
      f(i);
      return {};
    } else {
      return f(i);
    }
  };
  return detail::run_erased(n, call,
                            const_cast<void*>(static_cast<const void*>(std::addressof(fn))));
}

// Runs fn(i) for every i in [0, n) and returns the values in index order.
// fn returns Result<T> or a plain T. No partial result after a failure.
template <class F>
auto map(std::size_t n, F&& fn) -> Result<std::vector<detail::value_of_t<F, std::size_t>>> {
  using R = std::remove_cvref_t<std::invoke_result_t<std::remove_reference_t<F>&, std::size_t>>;
  using T = detail::value_of_t<F, std::size_t>;
  static_assert(!std::is_void_v<T>, "pool::map: the task must produce a value; use run");
  detail::Slots<T> slots(n);
  auto task = [&](std::size_t i) -> Status {
    if constexpr (detail::result_traits<R>::is_result) {
      R r = fn(i);
      if (!r) return fail(std::move(r.error()));
      slots.put(i, std::move(*r));
    } else {
      slots.put(i, fn(i));
    }
    return {};
  };
  if (auto st = run(n, task); !st) return fail(std::move(st.error()));
  return slots.take();
}

// Cuts [0, total) into consecutive chunks of `chunk` items (the last one
// shorter) and runs fn(begin, end, chunk_index) for each; fn returns Status
// or void. `chunk` must be >= 1 unless total is 0.
template <class F>
Status for_chunks(std::size_t total, std::size_t chunk, F&& fn) {
  const std::size_t count = detail::chunk_count(total, chunk);
  return run(count, [&](std::size_t c) {
    const std::size_t begin = c * chunk;
    const std::size_t end = total - begin < chunk ? total : begin + chunk;
    return fn(begin, end, c);
  });
}

// Like for_chunks, collecting fn(begin, end, chunk_index) (Result<T> or T)
// in chunk order.
template <class F>
auto map_chunks(std::size_t total, std::size_t chunk, F&& fn)
    -> Result<std::vector<detail::value_of_t<F, std::size_t, std::size_t, std::size_t>>> {
  const std::size_t count = detail::chunk_count(total, chunk);
  return map(count, [&](std::size_t c) {
    const std::size_t begin = c * chunk;
    const std::size_t end = total - begin < chunk ? total : begin + chunk;
    return fn(begin, end, c);
  });
}

}  // namespace lumvero::pool
