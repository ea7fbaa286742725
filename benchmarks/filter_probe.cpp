// Reports what the compressed filter did on an index: which integer kernel
// ran, the codes' size and build time, and how many rows were rescored. The
// Python module does not show these, so bench_filter.py runs this beside it.
//
// usage: lumvero_filter_probe INDEX QUERIES K
//   QUERIES: raw little-endian float32, rows of the index's dims.
// Prints one JSON object.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "engine/prefilter/compressed_rows.h"
#include "engine/kernels/int_kernels.h"
#include "engine/search_engine.h"

namespace {

double ms_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  using namespace lumvero;
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s INDEX QUERIES K\n", argv[0]);
    return 2;
  }
  auto engine = SearchEngine::open(argv[1]);
  if (!engine) {
    std::fprintf(stderr, "%s\n", engine.error().c_str());
    return 1;
  }
  const SearchEngine& e = **engine;
  std::ifstream in(argv[2], std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t dims = static_cast<std::size_t>(e.dims);
  const std::size_t nq = dims == 0 ? 0 : bytes.size() / (4 * dims);
  std::vector<float> queries(nq * dims);
  std::memcpy(queries.data(), bytes.data(), queries.size() * sizeof(float));
  const std::size_t k = std::strtoull(argv[3], nullptr, 10);

  PrefilterCounters& c = prefilter_counters();
  const std::uint64_t scanned0 = c.rows_scanned, rescored0 = c.rows_rescored,
                      fallback0 = c.rows_fallback;
  double first_ms = 0.0;
  std::vector<double> later_ms;
  std::string method;
  for (std::size_t i = 0; i < nq; ++i) {
    const auto t = std::chrono::steady_clock::now();
    auto r = e.query_single(std::span<const float>(queries.data() + i * dims, dims), k);
    (i == 0 ? first_ms : later_ms.emplace_back()) = ms_since(t);
    if (!r) {
      std::fprintf(stderr, "%s\n", r.error().c_str());
      return 1;
    }
    method = r->method_used;
  }
  std::printf(
      "{\"int_kernel\": \"%s\", \"codes_built\": %llu, \"codes_bytes\": %llu, "
      "\"codes_refused\": %llu, \"first_query_ms\": %.3f, \"queries\": %zu, \"rows\": %llu, "
      "\"rows_scanned\": %llu, \"rows_rescored\": %llu, \"rows_fallback\": %llu, "
      "\"median_ms\": %.3f, \"method\": \"%s\"}\n",
      kernels::int_isa_name(kernels::active_int_isa()),
      static_cast<unsigned long long>(c.codes_built.load()),
      static_cast<unsigned long long>(c.codes_bytes.load()),
      static_cast<unsigned long long>(c.codes_refused.load()), first_ms, nq,
      static_cast<unsigned long long>(e.rows),
      static_cast<unsigned long long>(c.rows_scanned - scanned0),
      static_cast<unsigned long long>(c.rows_rescored - rescored0),
      static_cast<unsigned long long>(c.rows_fallback - fallback0), median(later_ms),
      method.c_str());
  return 0;
}
