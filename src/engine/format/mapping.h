// The read-only shared mapping of an index file, and what happens when the
// file is shortened while it is mapped.
//
// Reading a page of a shared file mapping that lies beyond the file's current
// end raises SIGBUS, which by default kills the process. An index file can be
// shortened under an open engine by another process (`cp other.bin idx.bin`,
// `open(path, "wb")`). So every Mapping registers its address range in a
// lock-free, process-wide registry, and one SIGBUS handler, installed at the
// first registration, recognises faults inside a registered range: it
// replaces the faulting page and everything after it in that mapping with
// zero pages (the faulting read then completes, reading zeros) and marks the
// mapping damaged. Whoever uses the mapping checks damaged() after the work
// that read it and discards that work's result. Faults anywhere else go to the
// handler that was installed before (Python's faulthandler, a sanitizer, or
// the default action), so a real crash is still a crash.
//
// Other code may install its own SIGBUS handler later (faulthandler enabled
// late or disabled, a Ray driver's crash reporter), which would take these
// faults and end the process. So the handler is put back in front, chaining
// to the newcomer, whenever a mapping is registered and before each query
// (install_handler: one sigaction query while it is still in place). A
// newcomer that sends a foreign signal back to this handler, its own
// predecessor, has it handed on to the handler before it, not round again.
//
// The handler is async-signal-safe: it only loads and stores lock-free
// atomics, calls mmap, sigaction, sigpending and raise, and chains. It never
// allocates.
#pragma once

#include <cstddef>
#include <utility>

namespace lumvero {

namespace fault {
struct Slot;  // one registry entry (engine/format/mapping.cpp)
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
// Installs the SIGBUS handler, or puts it back in front of a handler that
// replaced it; does nothing while it is in place. Called by every
// registration and before every query.
void install_handler();
// Number of registered mappings, for tests.
std::size_t registered_count();
}  // namespace fault

}  // namespace lumvero
