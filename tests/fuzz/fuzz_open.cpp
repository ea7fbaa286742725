// Fuzz target: arbitrary bytes opened as an index file, then every kind of
// query on whatever opens. Built with ASan and UBSan (make fuzz).
//
// The first input byte is a control byte, not part of the file: it picks k,
// the block sizes, the forced single-query strategy and the query values.
// The rest is the file. A malformed file must be refused with a message; a
// file that opens must answer every query with well-formed results or a
// message. Anything else (a crash, a sanitizer report, a broken invariant
// below) is a finding.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/certify/certified.h"
#include "engine/certify/explain.h"
#include "engine/search_engine.h"

namespace {

using lumvero::Metric;
using lumvero::ScoredRow;
using lumvero::SearchEngine;

// Scans cost rows x dims; the file bounds that, but a header may declare
// billions of empty rows. Past this much work the exhaustive paths are skipped.
constexpr std::uint64_t kMaxWork = std::uint64_t{1} << 16;

[[noreturn]] void finding(const char* what) {
  std::fprintf(stderr, "fuzz finding: %s\n", what);
  std::abort();
}

void check_results(const SearchEngine& e, const std::vector<ScoredRow>& rows, std::size_t k) {
  if (rows.size() > k || rows.size() > e.rows) finding("more results than k or rows");
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].idx >= e.rows) finding("result index out of range");
    if (!std::isfinite(rows[i].score)) finding("non-finite score returned");
    if (i > 0 && rows[i - 1].idx == rows[i].idx) finding("duplicate result");
  }
}

bool known_open_error(const std::string& text) {
  for (const char* prefix :
       {"Failed to open file ", "Failed to mmap file: ", "Unknown metric id: ", "File too small: "})
    if (text.rfind(prefix, 0) == 0) return true;
  return false;
}

// The index file lives in memory: no disk traffic per input.
int file_fd() {
  static const int fd = ::memfd_create("lumvero-fuzz", MFD_CLOEXEC);
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t control = data[0];
  const int fd = file_fd();
  if (fd < 0 || ::ftruncate(fd, 0) != 0) finding("memfd unavailable");
  if (size > 1 && ::pwrite(fd, data + 1, size - 1, 0) != static_cast<ssize_t>(size - 1))
    finding("memfd write failed");

  static const char* const kModes[] = {
      "", "rayon", "pruned", "blocked", "matrix_full", "matrix_parallel", "bogus", ""};
  ::setenv("LUMVO_SINGLE_MODE", kModes[control & 7], 1);

  auto opened = SearchEngine::open("/proc/self/fd/" + std::to_string(fd));
  if (!opened) {
    if (!known_open_error(opened.error())) finding(opened.error().c_str());
    return 0;
  }
  const SearchEngine& e = **opened;
  if (!e.intact()) finding("a file that did not change reads as changed");

  const std::size_t k = 1 + ((control >> 3) & 7);
  const std::uint64_t dims = e.dims;
  if (dims > kMaxWork) return 0;  // a query this long would only test the allocator
  std::vector<float> q(dims);
  for (std::uint64_t i = 0; i < dims; ++i)
    q[i] = (control & 0x40) != 0 && e.rows > 0 ? e.row(0)[i] : std::sin(float(i + control));
  const bool q_finite = [&] {
    for (float v : q)
      if (!std::isfinite(v)) return false;
    return true;
  }();
  const bool small = e.rows * std::max<std::uint64_t>(dims, 1) <= kMaxWork;

  if (auto r = e.query_single(q, k)) {
    check_results(e, r->results, k);
  } else if (q_finite) {
    finding(("query_single refused a finite query: " + r.error()).c_str());
  }

  if (dims > 0 && small) {
    std::vector<float> batch(q);
    batch.insert(batch.end(), q.rbegin(), q.rend());
    if (auto r = e.query_batch(batch, dims, k)) {
      if (r->size() != 2) finding("batch result count");
      for (const auto& one : *r) check_results(e, one.results, k);
    }
  }

  if (small) {
    const std::size_t block = std::size_t{1} << ((control >> 6) + 2);
    if (auto r = e.query_certified(q, k, block, (control & 1) != 0))
      check_results(e, r->results, k);
  }

  if (e.rows > 0) {
    const std::uint64_t a = control % e.rows, b = (e.rows - 1) - a;
    if (auto r = lumvero::explain(e, q, a, 1 + (control & 31), 3)) {
      if (r->blocks.size() > r->num_blocks) finding("explain lists more blocks than exist");
    }
    (void)lumvero::compare(e, q, a, b, 1 + (control & 31), 2);
  }
  return 0;
}
