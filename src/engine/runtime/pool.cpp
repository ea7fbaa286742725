// The process-wide worker pool: fixed threads, one job at a time, fork-safe.
#include "engine/runtime/pool.h"

#include <cxxabi.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <limits>
#include <mutex>
#include <new>

#include "engine/runtime/cpu_count.h"
#include "engine/runtime/settings.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace lumvero::pool {
namespace {

constexpr std::size_t kStackBytes = std::size_t{2} << 20;
constexpr std::size_t kNoFailure = std::numeric_limits<std::size_t>::max();
// Idle workers and waiters poll this long before sleeping: a follow-up batch
// or the last task of a batch usually arrives within it, and a futex
// round trip costs more than the poll.
constexpr auto kSpinTime = std::chrono::microseconds(50);

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#endif
}

// Polls `ready` for up to kSpinTime; true when it became true.
template <class Ready>
bool spin_until(Ready&& ready) {
  const auto deadline = std::chrono::steady_clock::now() + kSpinTime;
  for (;;) {
    for (int k = 0; k < 64; ++k) {
      if (ready()) return true;
      cpu_relax();
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
}

class Pool;

// One call of run(): lives on the caller's stack until every task finished.
struct Batch {
  Batch(Pool* p, detail::TaskCall c, void* x, std::size_t count)
      : pool(p), call(c), ctx(x), n(count), remaining(count) {}

  Pool* const pool;
  const detail::TaskCall call;
  void* const ctx;
  const std::size_t n;

  // Guarded by pool->m. A batch is queued exactly while it has unclaimed
  // indices, so a finished batch is never reachable from the queue.
  std::size_t next = 0;
  Batch* prev = nullptr;
  Batch* succ = nullptr;
  bool queued = false;
  bool waiter_asleep = false;
  std::condition_variable done_cv;  // waits on pool->m

  std::atomic<std::size_t> remaining;
  // Set under pool->m by the thread finishing the last task.
  std::atomic<bool> finished{false};

  // Lowest failing index so far and its error (written under err_m).
  std::atomic<std::size_t> fail_index{kNoFailure};
  std::mutex err_m;
  std::string err;
  // A broken invariant or an exhausted heap is not an ordinary failure: it
  // is carried to the caller's thread and rethrown there (see run_batch), so
  // the boundary reports it as such instead of as an error text.
  std::exception_ptr fatal;
};

thread_local Pool* tl_pool = nullptr;

// set_limit's value, process-wide; 0 for none.
std::atomic<std::size_t> g_limit{0};

// How many of `size` threads may run tasks at once under the current limit.
std::size_t allowed_threads(std::size_t size) {
  const std::size_t l = g_limit.load(std::memory_order_relaxed);
  return l == 0 || l > size ? size : l;
}

class Pool {
 public:
  explicit Pool(std::size_t n) : size(n) {}

  const std::size_t size;
  std::mutex m;
  std::condition_variable work_cv;
  std::condition_variable start_cv;
  // Queue of batches with unclaimed indices; guarded by m.
  Batch* head = nullptr;
  Batch* tail = nullptr;
  std::size_t sleepers = 0;
  std::size_t started = 0;
  bool stopping = false;  // only when creation fails half-way
  // Mirrors head != nullptr for lock-free polling by idle workers.
  std::atomic<bool> has_work{false};
  // Pool threads running a task taken from the queue; changed under m,
  // atomic for the idle workers' polling.
  std::atomic<std::size_t> busy{0};

  // Whether one more thread may start a task under the limit.
  bool has_room() const { return busy.load(std::memory_order_relaxed) < allowed_threads(size); }

  void worker_main();
  Status run_batch(Batch& b, bool from_pool_thread);

 private:
  void push(Batch* b, bool front);
  void unlink(Batch* b);
  std::size_t take(Batch* b);
  void wait_finished(Batch& b);
};

// Text for the exception in flight; never throws itself.
std::string current_exception_text() noexcept {
  try {
    try {
      throw;
    } catch (const std::bad_alloc&) {
      return "out of memory";
    } catch (const Panic& p) {
      return p.what();
    } catch (const std::exception& e) {
      return e.what();
    } catch (...) {
      return "unknown exception in a worker task";
    }
  } catch (...) {
    // Copying the message itself ran out of memory; this text fits the
    // string's inline buffer, so it cannot fail.
    return "out of memory";
  }
}

void record_failure(Batch& b, std::size_t i, std::string&& text,
                    std::exception_ptr fatal = nullptr) noexcept {
  std::lock_guard<std::mutex> g(b.err_m);
  if (i < b.fail_index.load(std::memory_order_relaxed)) {
    b.err = std::move(text);
    b.fatal = std::move(fatal);
    b.fail_index.store(i, std::memory_order_release);
  }
}

// The exception in flight when it must reach the caller as itself.
std::exception_ptr fatal_exception() noexcept {
  try {
    throw;
  } catch (const Panic&) {
    return std::current_exception();
  } catch (const std::bad_alloc&) {
    return std::current_exception();
  } catch (...) {
    return nullptr;
  }
}

void finish_one(Batch& b) {
  if (b.remaining.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  // The waiter may destroy b as soon as it can take m after seeing
  // `finished`, so nothing touches b after this critical section.
  std::lock_guard<std::mutex> g(b.pool->m);
  b.finished.store(true, std::memory_order_release);
  if (b.waiter_asleep) b.done_cv.notify_one();
}

void execute(Batch& b, std::size_t i) {
  // A task after a recorded failure cannot change the outcome: skip it.
  if (i <= b.fail_index.load(std::memory_order_acquire)) {
    try {
      Status st = b.call(b.ctx, i);
      if (!st) record_failure(b, i, std::move(st.error()));
    } catch (abi::__forced_unwind&) {
      throw;  // thread cancellation must keep unwinding
    } catch (...) {
      record_failure(b, i, current_exception_text(), fatal_exception());
    }
  }
  finish_one(b);
}

void Pool::push(Batch* b, bool front) {
  b->queued = true;
  if (head == nullptr) {
    b->prev = b->succ = nullptr;
    head = tail = b;
  } else if (front) {
    b->prev = nullptr;
    b->succ = head;
    head->prev = b;
    head = b;
  } else {
    b->succ = nullptr;
    b->prev = tail;
    tail->succ = b;
    tail = b;
  }
  has_work.store(true, std::memory_order_relaxed);
}

void Pool::unlink(Batch* b) {
  (b->prev ? b->prev->succ : head) = b->succ;
  (b->succ ? b->succ->prev : tail) = b->prev;
  b->prev = b->succ = nullptr;
  b->queued = false;
  has_work.store(head != nullptr, std::memory_order_relaxed);
}

std::size_t Pool::take(Batch* b) {
  const std::size_t i = b->next++;
  if (b->next == b->n) unlink(b);
  return i;
}

void Pool::worker_main() {
  // The C++ runtime keeps its per-thread exception state in thread-local
  // storage that glibc allocates on first use; take it now, while memory is
  // plentiful. Taken at the first throw instead (a bad_alloc when the heap
  // runs out), glibc could not allocate it and would abort the process.
  // (The result goes to a volatile: the function is declared const, so an
  // unused call could be dropped.)
  abi::__cxa_eh_globals* volatile eh_globals = abi::__cxa_get_globals();
  (void)eh_globals;
  tl_pool = this;
  std::unique_lock<std::mutex> lk(m);
  if (++started == size) start_cv.notify_all();
  for (;;) {
    if (stopping) return;
    if (Batch* b = head; b != nullptr && has_room()) {
      const std::size_t i = take(b);
      busy.fetch_add(1, std::memory_order_relaxed);
      lk.unlock();
      execute(*b, i);
      lk.lock();
      busy.fetch_sub(1, std::memory_order_relaxed);
      continue;
    }
    lk.unlock();
    spin_until([this] { return has_work.load(std::memory_order_relaxed) && has_room(); });
    lk.lock();
    if ((head != nullptr && has_room()) || stopping) continue;
    ++sleepers;
    work_cv.wait(lk);
    --sleepers;
  }
}

void Pool::wait_finished(Batch& b) {
  spin_until([&b] { return b.finished.load(std::memory_order_acquire); });
  // Taking m even after a successful poll makes sure the finishing thread
  // has left its critical section before b goes away.
  std::unique_lock<std::mutex> lk(m);
  while (!b.finished.load(std::memory_order_acquire)) {
    b.waiter_asleep = true;
    b.done_cv.wait(lk);
  }
  b.waiter_asleep = false;
}

Status Pool::run_batch(Batch& b, bool from_pool_thread) {
  if (from_pool_thread && b.n == 1) {
    execute(b, 0);  // nothing to share: run it here
  } else {
    std::size_t wake;
    bool wake_all;
    {
      std::lock_guard<std::mutex> g(m);
      // Nested work goes first: the tasks that wait for it hold threads.
      push(&b, from_pool_thread);
      // No more than the limit lets start (a nesting caller is counted busy).
      const std::size_t allowed = allowed_threads(size);
      const std::size_t running = busy.load(std::memory_order_relaxed);
      const std::size_t room = running < allowed ? allowed - running : 0;
      wake = std::min({from_pool_thread ? b.n - 1 : b.n, sleepers, room});
      wake_all = wake == sleepers;
    }
    // Notified outside the lock so that woken threads do not block on it.
    if (wake_all) {
      work_cv.notify_all();
    } else {
      for (std::size_t k = 0; k < wake; ++k) work_cv.notify_one();
    }
    if (from_pool_thread) {
      // Work on our own batch instead of blocking a pool thread; any index
      // another thread claimed is being run, so the wait below ends.
      std::unique_lock<std::mutex> lk(m);
      while (b.queued) {
        const std::size_t i = take(&b);
        lk.unlock();
        execute(b, i);
        lk.lock();
      }
    }
  }
  wait_finished(b);
  if (b.fail_index.load(std::memory_order_acquire) == kNoFailure) return {};
  std::lock_guard<std::mutex> g(b.err_m);
  if (b.fatal) std::rethrow_exception(b.fatal);
  return fail(std::move(b.err));
}

void* thread_entry(void* arg) {
  static_cast<Pool*>(arg)->worker_main();
  return nullptr;
}

// Starts a pool of n threads; nullptr when any thread cannot be started
// (the ones that did are stopped and joined again).
Pool* start_pool(std::size_t n) {
  Pool* p = new (std::nothrow) Pool(n);
  if (p == nullptr) return nullptr;
  std::vector<pthread_t> ids;
  pthread_attr_t attr;
  bool ok = pthread_attr_init(&attr) == 0;
  if (ok) {
    ok = pthread_attr_setstacksize(&attr, kStackBytes) == 0;
    try {
      ids.reserve(n);
    } catch (const std::bad_alloc&) {
      ok = false;
    }
    for (std::size_t i = 0; ok && i < n; ++i) {
      pthread_t id;
      if (pthread_create(&id, &attr, &thread_entry, p) != 0) {
        ok = false;
      } else {
        ids.push_back(id);
      }
    }
    pthread_attr_destroy(&attr);
  }
  if (!ok) {
    {
      std::lock_guard<std::mutex> g(p->m);
      p->stopping = true;
    }
    p->work_cv.notify_all();
    for (pthread_t id : ids) pthread_join(id, nullptr);
    delete p;
    return nullptr;
  }
  {
    std::unique_lock<std::mutex> lk(p->m);
    p->start_cv.wait(lk, [p, n] { return p->started == n; });
  }
  for (pthread_t id : ids) pthread_detach(id);
  return p;
}

// Process-wide state. The pool and the creation mutex are heap objects that
// are never freed: no destructor may join threads at exit, and a fork child
// must not touch a mutex another (vanished) thread may have held.
std::atomic<Pool*> g_pool{nullptr};
std::size_t g_rebuild_size = 0;  // fork child: size for the lazy rebuild; under the creation mutex
std::once_flag g_atfork_once;

std::mutex*& creation_mutex_slot() {
  static std::mutex* m = new std::mutex;
  return m;
}

void atfork_child() {
  // Only the forking thread exists here. The old pool's threads are gone;
  // abandon (leak) it and rebuild it at the next use with the same size.
  if (Pool* old = g_pool.load(std::memory_order_relaxed)) g_rebuild_size = old->size;
  g_pool.store(nullptr, std::memory_order_relaxed);
  creation_mutex_slot() = new std::mutex;
  tl_pool = nullptr;
}

std::mutex& creation_mutex() {
  std::call_once(g_atfork_once, [] {
    (void)creation_mutex_slot();
    pthread_atfork(nullptr, nullptr, &atfork_child);
  });
  return *creation_mutex_slot();
}

// The global pool, created with the default size (or the pre-fork size) on
// first use; nullptr only when no thread at all can be started.
Pool* global_pool() {
  if (Pool* p = g_pool.load(std::memory_order_acquire)) return p;
  std::lock_guard<std::mutex> g(creation_mutex());
  if (Pool* p = g_pool.load(std::memory_order_acquire)) return p;
  const std::size_t n = g_rebuild_size != 0 ? g_rebuild_size : default_size();
  Pool* p = start_pool(n);
  if (p == nullptr && n > 1) p = start_pool(1);  // fewer threads beat none
  if (p != nullptr) {
    g_rebuild_size = 0;
    g_pool.store(p, std::memory_order_release);
  }
  return p;
}

// Last resort when no pool thread can be started: run the batch here, in
// index order, stopping at the first failure (which is then the lowest).
Status run_inline(std::size_t n, detail::TaskCall call, void* ctx) {
  for (std::size_t i = 0; i < n; ++i) {
    try {
      Status st = call(ctx, i);
      if (!st) return fail(std::move(st.error()));
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      if (auto fatal = fatal_exception()) std::rethrow_exception(fatal);
      return fail(current_exception_text());
    }
  }
  return {};
}

}  // namespace

bool create_global(std::size_t n) {
  std::lock_guard<std::mutex> g(creation_mutex());
  // A fork child whose pool awaits its rebuild still counts as having one.
  if (g_pool.load(std::memory_order_acquire) != nullptr || g_rebuild_size != 0) return false;
  const std::size_t size = n == 0 ? default_size() : std::min(n, kMaxThreads);
  Pool* p = start_pool(size);
  if (p == nullptr) return false;
  g_pool.store(p, std::memory_order_release);
  return true;
}

std::size_t default_size() {
  if (const char* v = std::getenv("RAYON_NUM_THREADS")) {
    if (auto n = settings::parse_u64(v); n && *n >= 1) {
      return static_cast<std::size_t>(std::min<std::uint64_t>(*n, kMaxThreads));
    }
  }
  return std::clamp<std::size_t>(cpu::available_processors(), 1, kMaxThreads);
}

std::size_t thread_count() {
  Pool* p = global_pool();
  return p != nullptr ? allowed_threads(p->size) : 1;
}

std::size_t pool_size() {
  Pool* p = global_pool();
  return p != nullptr ? p->size : 1;
}

void set_limit(std::size_t n) {
  g_limit.store(n, std::memory_order_relaxed);
  // Sleeping threads may now have room for queued work.
  if (Pool* p = g_pool.load(std::memory_order_acquire)) {
    // Taking m orders this with a worker between its room check and its wait.
    { std::lock_guard<std::mutex> g(p->m); }
    p->work_cv.notify_all();
  }
}

std::size_t limit() { return g_limit.load(std::memory_order_relaxed); }

bool on_pool_thread() {
  Pool* p = g_pool.load(std::memory_order_acquire);
  return p != nullptr && tl_pool == p;
}

namespace detail {

Status run_erased(std::size_t n, TaskCall call, void* ctx) {
  if (n == 0) return {};
  Pool* p = global_pool();
  if (p == nullptr) return run_inline(n, call, ctx);
  Batch b(p, call, ctx, n);
  return p->run_batch(b, tl_pool == p);
}

}  // namespace detail
}  // namespace lumvero::pool
