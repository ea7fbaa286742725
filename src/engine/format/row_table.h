// A per-row table of the opened index (row norms), sized by the header's row
// count.
//
// The header is not trusted to be cheap: a 12-byte file may declare billions
// of rows of zero dimensions. Such rows hold no values, every norm is zero,
// and the table is then a read-only view of untouched anonymous memory, which
// the kernel backs with its shared zero page: it costs address space, not
// memory. Any other table is owned memory, bounded by the file's own size
// (each row holds at least one 4-byte value in the file).
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

namespace lumvero {

template <class T>
class RowTable {
 public:
  RowTable() = default;
  RowTable(const RowTable&) = delete;
  RowTable& operator=(const RowTable&) = delete;
  ~RowTable() { release_zeros(); }

  // n owned entries, value-initialised.
  void assign(std::size_t n) {
    release_zeros();
    owned_.assign(n, T{});
    data_ = owned_.data();
    size_ = n;
  }

  // n entries that all read as zero, without memory behind them. False when
  // the address space cannot be reserved.
  bool assign_zeros(std::size_t n) {
    release_zeros();
    std::vector<T>().swap(owned_);
    data_ = nullptr;
    size_ = 0;
    if (n == 0) return true;
    if (n > SIZE_MAX / sizeof(T)) return false;
    void* p = ::mmap(nullptr, n * sizeof(T), PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                     -1, 0);
    if (p == MAP_FAILED) return false;
    // Huge zero pages keep the page tables small when a scan reads it all.
    ::madvise(p, n * sizeof(T), MADV_HUGEPAGE);
    zeros_ = p;
    zeros_bytes_ = n * sizeof(T);
    data_ = static_cast<T*>(p);
    size_ = n;
    return true;
  }

  const T* data() const { return data_; }
  // Writable only for owned tables.
  T* mutable_data() { return zeros_ == nullptr ? data_ : nullptr; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const T& operator[](std::size_t i) const { return data_[i]; }

 private:
  void release_zeros() {
    if (zeros_ != nullptr) ::munmap(zeros_, zeros_bytes_);
    zeros_ = nullptr;
    zeros_bytes_ = 0;
  }

  std::vector<T> owned_;
  void* zeros_ = nullptr;
  std::size_t zeros_bytes_ = 0;
  T* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace lumvero
