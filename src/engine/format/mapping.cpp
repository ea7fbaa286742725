// Read-only file mappings whose faults (a file shortened under us) become errors.
#include "engine/format/mapping.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <new>
#include <utility>

namespace lumvero {

namespace fault {

// A registered range. `end` is written last on claim and cleared first on
// release, so a handler that sees a non-zero end also sees the matching begin.
struct Slot {
  std::atomic<bool> busy{false};
  std::atomic<bool> damaged{false};
  std::atomic<std::uintptr_t> begin{0};
  std::atomic<std::uintptr_t> end{0};
};

namespace {

static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<std::uintptr_t>::is_always_lock_free);

// Slots live in chunks that are appended on demand and never freed, so the
// handler can walk them at any moment without a lock.
constexpr std::size_t kSlotsPerChunk = 256;
struct Chunk {
  Slot slots[kSlotsPerChunk];
  std::atomic<Chunk*> next{nullptr};
};

Chunk g_first_chunk;
std::uintptr_t g_page = 4096;  // written before the handler is first live

// The handler a foreign fault is handed to: whatever was installed when this
// one last went in. Records are published whole through one atomic pointer
// and never freed (each keeps the one before it reachable), so the handler
// can read the current one at any moment.
struct Previous {
  struct sigaction action;
  const Previous* older;
};
Previous g_first_previous{};
std::atomic<const Previous*> g_previous{nullptr};
std::mutex g_install_mutex;  // installers only; never taken in the handler

// The record a foreign fault was last handed to, while it is handed on. A
// handler installed after this one passes the signal back to its own
// predecessor, this one; handing it to the same handler again would send it
// round for ever, so it goes to the handler before that one (the record's
// older), and past the oldest to the default action.
std::atomic<const Previous*> g_forwarded_to{nullptr};
static_assert(std::atomic<const Previous*>::is_always_lock_free);

Slot* claim_slot(std::uintptr_t begin, std::uintptr_t end) {
  Chunk* chunk = &g_first_chunk;
  while (true) {
    for (Slot& s : chunk->slots) {
      bool expected = false;
      if (s.busy.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
        s.damaged.store(false, std::memory_order_relaxed);
        s.begin.store(begin, std::memory_order_relaxed);
        s.end.store(end, std::memory_order_release);
        return &s;
      }
    }
    Chunk* next = chunk->next.load(std::memory_order_acquire);
    if (next == nullptr) {
      Chunk* fresh = new (std::nothrow) Chunk;
      if (fresh == nullptr) return nullptr;
      if (chunk->next.compare_exchange_strong(next, fresh, std::memory_order_acq_rel)) {
        next = fresh;
      } else {
        delete fresh;  // another thread appended first; `next` holds its chunk
      }
    }
    chunk = next;
  }
}

void release_slot(Slot* s) {
  s->end.store(0, std::memory_order_release);
  s->begin.store(0, std::memory_order_relaxed);
  s->busy.store(false, std::memory_order_release);
}

// Signal context. Finds the registered range holding addr; if there is one,
// maps zero pages from addr's page to the range's end and marks it damaged.
bool absorb_fault(std::uintptr_t addr) {
  for (Chunk* c = &g_first_chunk; c != nullptr; c = c->next.load(std::memory_order_acquire)) {
    for (Slot& s : c->slots) {
      const std::uintptr_t end = s.end.load(std::memory_order_acquire);
      if (end == 0) continue;
      const std::uintptr_t begin = s.begin.load(std::memory_order_relaxed);
      if (addr < begin || addr >= end) continue;
      s.damaged.store(true, std::memory_order_seq_cst);
      const std::uintptr_t from = addr & ~(g_page - 1);
      void* p = ::mmap(reinterpret_cast<void*>(from), end - from, PROT_READ,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
      return p != MAP_FAILED;
    }
  }
  return false;
}

// The default action for sig: restored, so that a hardware fault recurs when
// the handler returns and now terminates the process; a sent signal is sent
// again (it stays pending until this handler returns).
void take_default(int sig, const siginfo_t* info) {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ::sigaction(sig, &dfl, nullptr);
  if (info == nullptr || info->si_code <= 0) ::raise(sig);
}

// Calls the handler of `action`, or takes the default action for it.
void invoke(const struct sigaction& action, int sig, siginfo_t* info, void* context) {
  if ((action.sa_flags & SA_SIGINFO) != 0) {
    if (action.sa_sigaction != nullptr) {
      action.sa_sigaction(sig, info, context);
      return;
    }
  } else if (action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN) {
    action.sa_handler(sig);
    return;
  }
  take_default(sig, info);
}

// Hands a fault that is not ours to whatever handled SIGBUS before.
void chain(int sig, siginfo_t* info, void* context) {
  const Previous* last = g_forwarded_to.load(std::memory_order_acquire);
  const Previous* next = last != nullptr ? last->older : g_previous.load(std::memory_order_acquire);
  if (next == nullptr) {
    take_default(sig, info);
    return;
  }
  g_forwarded_to.store(next, std::memory_order_release);
  invoke(next->action, sig, info, context);
  // Nothing sent on: that handler dealt with the fault, and a later one is
  // handed on afresh.
  sigset_t pending;
  if (::sigpending(&pending) == 0 && sigismember(&pending, sig) == 0)
    g_forwarded_to.store(nullptr, std::memory_order_release);
}

void on_sigbus(int sig, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  // si_code > 0: raised by the kernel for an access, so si_addr is meaningful.
  const bool ours = info != nullptr && info->si_code > 0 &&
                    absorb_fault(reinterpret_cast<std::uintptr_t>(info->si_addr));
  if (!ours) chain(sig, info, context);
  errno = saved_errno;
}

bool is_ours(const struct sigaction& a) {
  return (a.sa_flags & SA_SIGINFO) != 0 && a.sa_sigaction == on_sigbus;
}

bool same_action(const struct sigaction& a, const struct sigaction& b) {
  if ((a.sa_flags & SA_SIGINFO) != (b.sa_flags & SA_SIGINFO)) return false;
  return (a.sa_flags & SA_SIGINFO) != 0 ? a.sa_sigaction == b.sa_sigaction
                                        : a.sa_handler == b.sa_handler;
}

// Makes `action` the handler foreign faults are handed to. False when no
// record could be allocated.
bool publish_previous(const struct sigaction& action) {
  const Previous* current = g_previous.load(std::memory_order_relaxed);
  Previous* record = current == nullptr ? &g_first_previous : new (std::nothrow) Previous{};
  if (record == nullptr) return false;
  record->action = action;
  record->older = current;
  g_previous.store(record, std::memory_order_release);
  return true;
}

}  // namespace

void install_handler() {
  // The common case, the handler still in place, costs one system call.
  struct sigaction current {};
  if (::sigaction(SIGBUS, nullptr, &current) != 0 || is_ours(current)) return;
  const std::lock_guard lock(g_install_mutex);
  if (::sigaction(SIGBUS, nullptr, &current) != 0 || is_ours(current)) return;
  if (g_previous.load(std::memory_order_relaxed) == nullptr)
    g_page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  if (!publish_previous(current)) return;
  struct sigaction sa {};
  sa.sa_sigaction = on_sigbus;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
  sigemptyset(&sa.sa_mask);
  struct sigaction replaced {};
  if (::sigaction(SIGBUS, &sa, &replaced) != 0) return;
  // Another thread installed a handler between the query and ours.
  if (!same_action(replaced, current)) publish_previous(replaced);
}

std::size_t registered_count() {
  std::size_t n = 0;
  for (Chunk* c = &g_first_chunk; c != nullptr; c = c->next.load(std::memory_order_acquire))
    for (Slot& s : c->slots) n += s.end.load(std::memory_order_acquire) != 0 ? 1 : 0;
  return n;
}

}  // namespace fault

Mapping::Mapping(void* base, std::size_t length) : base_(base), length_(length) {
  fault::install_handler();
  const auto b = reinterpret_cast<std::uintptr_t>(base);
  slot_ = fault::claim_slot(b, b + length);
}

void Mapping::reset() noexcept {
  if (slot_ != nullptr) fault::release_slot(slot_);
  if (base_ != nullptr) ::munmap(base_, length_);
  slot_ = nullptr;
  base_ = nullptr;
  length_ = 0;
}

Mapping& Mapping::operator=(Mapping&& o) noexcept {
  if (this != &o) {
    reset();
    base_ = std::exchange(o.base_, nullptr);
    length_ = std::exchange(o.length_, 0);
    slot_ = std::exchange(o.slot_, nullptr);
  }
  return *this;
}

Mapping::~Mapping() { reset(); }

bool Mapping::damaged() const {
  return slot_ != nullptr && slot_->damaged.load(std::memory_order_seq_cst);
}

}  // namespace lumvero
