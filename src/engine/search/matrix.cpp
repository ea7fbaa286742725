// sgemm over row ranges: the filter step of the matrix strategies.
#include "engine/search/matrix.h"

#include <sys/mman.h>

#include <climits>
#include <mutex>

#include "engine/kernels/kernels.h"
#include "engine/search/blas_symbols.h"
#include "engine/status.h"

namespace lumvero {

namespace {

bool fits_int(std::size_t v) { return v <= static_cast<std::size_t>(INT_MAX); }

// OpenBLAS's per-thread work buffer (BUFFER_SIZE of its x86-64 builds).
constexpr std::size_t kBlasBufferBytes = std::size_t{32} << 20;
// The warm-up multiply: large enough to take OpenBLAS's general path (its
// small-matrix kernels need no buffer), small enough to cost microseconds.
constexpr int kWarmUpSide = 128;

thread_local bool t_blas_ready = false;
// One warm-up at a time, so each probe sees the buffers taken before it.
std::mutex g_warm_up_mutex;

// True when twice the buffer can be mapped as BLAS maps it (private,
// anonymous, writable: it counts against RLIMIT_AS and RLIMIT_DATA alike).
bool room_for_blas_buffer() {
  const std::size_t bytes = 2 * kBlasBufferBytes;
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return false;
  ::munmap(p, bytes);
  return true;
}

}  // namespace

void set_blas_threads(int n) {
#if defined(LUMVO_BLAS_WEAK)
  if (&LUMVO_BLAS_SET_THREADS == nullptr) return;
#endif
  LUMVO_BLAS_SET_THREADS(n);
}

int blas_threads() {
#if defined(LUMVO_BLAS_WEAK)
  if (&LUMVO_BLAS_GET_THREADS == nullptr) return 0;
#endif
  return LUMVO_BLAS_GET_THREADS();
}

const char* blas_core_name() {
#if defined(LUMVO_BLAS_WEAK)
  if (&LUMVO_BLAS_CORENAME == nullptr) return "unknown";
#endif
  const char* name = LUMVO_BLAS_CORENAME();
  return name != nullptr ? name : "unknown";
}

void ensure_blas_single_threaded() {
  static std::once_flag once;
  std::call_once(once, [] { set_blas_threads(1); });
  // Someone else in the process (threadpoolctl's threadpool_limits, say) may
  // have raised it since; our pool already runs one multiply per thread.
  if (blas_threads() > 1) set_blas_threads(1);
}

bool blas_ready() {
  if (t_blas_ready) return true;
  const std::lock_guard lock(g_warm_up_mutex);
  if (!room_for_blas_buffer()) return false;
  ensure_blas_single_threaded();
  static const float zeros[kWarmUpSide * kWarmUpSide] = {};
  float out[kWarmUpSide * kWarmUpSide];
  LUMVO_CBLAS_SGEMM(CblasRowMajor, CblasNoTrans, CblasTrans, kWarmUpSide, kWarmUpSide, kWarmUpSide,
                    1.0f, zeros, kWarmUpSide, zeros, kWarmUpSide, 0.0f, out, kWarmUpSide);
  t_blas_ready = true;
  return true;
}

void sgemm_nt(std::size_t m, std::size_t n, std::size_t k, const float* A, std::size_t lda,
              const float* B, std::size_t ldb, float* C, std::size_t ldc) {
  if (m == 0 || n == 0) return;
  LUMVO_ASSERT(ldc >= n, "sgemm_nt: ldc < n");
  if (k == 0) {
    // An empty sum is 0. BLAS would reject lda = 0 instead (and print to stderr).
    for (std::size_t i = 0; i < m; ++i) {
      float* row = C + i * ldc;
      for (std::size_t j = 0; j < n; ++j) row[j] = 0.0f;
    }
    return;
  }
  LUMVO_ASSERT(lda >= k && ldb >= k, "sgemm_nt: leading dimension < k");
  LUMVO_ASSERT(
      fits_int(m) && fits_int(n) && fits_int(k) && fits_int(lda) && fits_int(ldb) && fits_int(ldc),
      "sgemm_nt: size exceeds the BLAS integer range");
  ensure_blas_single_threaded();
  LUMVO_CBLAS_SGEMM(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<int>(m),
                    static_cast<int>(n), static_cast<int>(k), 1.0f, A, static_cast<int>(lda), B,
                    static_cast<int>(ldb), 0.0f, C, static_cast<int>(ldc));
}

void dots_to_l2sq(float* scores, std::size_t count, const double* norms_sq_first, double qn) {
  for (std::size_t j = 0; j < count; ++j) {
    const double base = norms_sq_first[j] + qn;
    scores[j] = static_cast<float>(base - 2.0 * static_cast<double>(scores[j]));
  }
}

void score_tile(Metric metric, const float* queries, std::size_t m, const double* qn,
                const float* rows, const double* norms_sq, std::size_t n, std::size_t dims,
                float* out) {
  if (m == 0 || n == 0) return;
  if (!blas_ready()) {
    for (std::size_t i = 0; i < m; ++i)
      kernels::score_rows(metric, queries + i * dims, rows, dims, n, out + i * n);
    return;
  }
  sgemm_nt(m, n, dims, queries, dims, rows, dims, out, n);
  if (metric == Metric::Euclidean)
    for (std::size_t i = 0; i < m; ++i) dots_to_l2sq(out + i * n, n, norms_sq, qn[i]);
}

void matrix_scores_into(Metric metric, const float* q, std::size_t dims, const float* rows_first,
                        std::size_t count, const double* norms_sq_first, float* out) {
  if (count == 0) return;
  // m = 1: the query is a 1 x dims matrix, the rows are B (count x dims).
  sgemm_nt(1, count, dims, q, dims, rows_first, dims, out, count);
  if (metric == Metric::Euclidean) {
    LUMVO_ASSERT(norms_sq_first != nullptr, "matrix_scores: euclidean needs the row norms");
    dots_to_l2sq(out, count, norms_sq_first, kernels::query_norm_sq(q, dims));
  }
}

std::vector<float> matrix_scores(Metric metric, const float* q, std::size_t dims,
                                 const float* rows_first, std::size_t count,
                                 const double* norms_sq_first) {
  std::vector<float> out(count);
  matrix_scores_into(metric, q, dims, rows_first, count, norms_sq_first, out.data());
  return out;
}

}  // namespace lumvero
