// The read-only shared mapping of an index file, and what happens when the
// file is shortened while it is mapped.
//
// Reading a page of a shared file mapping that lies beyond the file's current
// end raises SIGBUS, which by default kills the process. An index file can be
// shortened under an open engine by another process (`cp other.bin idx.bin`,
// `open(path, "wb")`). So every Mapping registers its address range in a
// lock-free, process-wide registry, and one SIGBUS handler, installed once at
// the first registration, recognises faults inside a registered range: it
// replaces the faulting page and everything after it in that mapping with
// zero pages (the faulting read then completes, reading zeros) and marks the
// mapping damaged. Whoever uses the mapping checks damaged() after the work
// that read it and discards that work's result. Faults anywhere else go to the
// handler that was installed before (Python's faulthandler, a sanitizer, or
// the default action), so a real crash is still a crash.
//
// The handler is async-signal-safe: it only loads and stores lock-free
// atomics, calls mmap and sigaction, and chains. It never allocates.
// Limitation: a handler installed for SIGBUS after the first mapping (for
// example faulthandler.enable() called late) runs before this one and is then
// responsible for chaining to it.
#pragma once

#include <cstddef>
#include <utility>

namespace lumvero {

namespace fault {
struct Slot;  // one registry entry (engine/mapping.cpp)
}

// Owns a read-only shared mapping; unregistered and unmapped on destruction.
class Mapping {
 public:
  Mapping() = default;
  // Takes over [base, base + length) and registers it for fault handling.
  Mapping(void* base, std::size_t length);
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  Mapping(Mapping&& o) noexcept { *this = std::move(o); }
  Mapping& operator=(Mapping&& o) noexcept;
  ~Mapping();

  const unsigned char* bytes() const { return static_cast<const unsigned char*>(base_); }
  std::size_t length() const { return length_; }
  // True once a read of this mapping faulted because the file had become
  // shorter; the pages from the fault on read as zeros from then on.
  bool damaged() const;

 private:
  void reset() noexcept;

  void* base_ = nullptr;
  std::size_t length_ = 0;
  fault::Slot* slot_ = nullptr;  // null when the registry could not take it
};

namespace fault {
// Installs the SIGBUS handler (once per process; later calls do nothing).
// Called by the first registration; exposed for tests.
void install_handler();
// Number of registered mappings, for tests.
std::size_t registered_count();
}  // namespace fault

}  // namespace lumvero
