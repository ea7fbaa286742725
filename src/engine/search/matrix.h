// Matrix-multiply scoring through BLAS sgemm (OpenBLAS from scipy-openblas32
// by default, blas_symbols.h).
//
// The whole-matrix, blocked and batch strategies get their dot products from
// one sgemm call per block instead of the per-row kernels. BLAS sums in its own
// order with whatever instructions it picks at run time, so these scores may
// differ from kernels::dot_simd in the last bits; that is the only place in
// the engine where the result of a row may depend on the code path.
//
// Parallelism comes from our own worker pool, which calls sgemm from several
// threads at once, so BLAS itself must stay single-threaded: every entry point
// here makes sure of that (once per process) before its first multiply.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/format/index_format.h"

namespace lumvero {

// C = A * B^T, alpha 1, beta 0 (C is overwritten, never read).
//   A: m x k, row-major, row stride lda >= k
//   B: n x k, row-major, row stride ldb >= k (so B^T is k x n)
//   C: m x n, row-major, row stride ldc >= n; entries past column n untouched
// m == 0 or n == 0 writes nothing; k == 0 writes zeros. Every size and stride
// must fit in a 32-bit int (the engine's limits on dims and rows ensure it).
void sgemm_nt(std::size_t m, std::size_t n, std::size_t k, const float* A, std::size_t lda,
              const float* B, std::size_t ldb, float* C, std::size_t ldc);

// Scores of count consecutive stored rows (row j at rows_first + j * dims)
// against one query, by one sgemm call with m = 1. For cosine and dot the
// score is the sgemm dot product C[j]; for euclidean it is
//   (float)((norms_sq_first[j] + qn) - 2.0 * (double)C[j]),  qn = query_norm_sq(q)
// with the additions in exactly that order and one rounding, nothing clamped
// (a row equal to the query can come out slightly negative).
// norms_sq_first may be null unless the metric is euclidean.
std::vector<float> matrix_scores(Metric metric, const float* q, std::size_t dims,
                                 const float* rows_first, std::size_t count,
                                 const double* norms_sq_first);

// The same into a caller buffer of count floats (its contents are not read).
void matrix_scores_into(Metric metric, const float* q, std::size_t dims, const float* rows_first,
                        std::size_t count, const double* norms_sq_first, float* out);

// In place: dot products C[j] of one query become squared distances by the
// formula above. Shared with the batch strategies, which multiply a block of
// queries at once and then convert each query's row of the score matrix.
void dots_to_l2sq(float* scores, std::size_t count, const double* norms_sq_first, double qn);

// The one matrix-scoring seam of the band strategies: scores of m queries
// (row-major, stride dims, squared norms qn) against n rows (row-major,
// squared norms norms_sq) into out (m x n, row stride n). Through sgemm
// (euclidean by the identity above) where this thread may call BLAS
// (blas_ready), else the kernels' own scores: a kernel score is within any
// gap of itself, so the band ends with the same rows either way.
void score_tile(Metric metric, const float* queries, std::size_t m, const double* qn,
                const float* rows, const double* norms_sq, std::size_t n, std::size_t dims,
                float* out);

// Thread count of BLAS's own pool (OpenBLAS's set_num_threads; a BLAS without
// that function is left alone).
void set_blas_threads(int n);

// BLAS's own thread count; 0 when the library cannot say.
int blas_threads();

// The kernel set OpenBLAS picked for this CPU ("SkylakeX", "Zen", ...), or
// "unknown" for a BLAS that cannot say.
const char* blas_core_name();

// Whether this thread may call sgemm now. OpenBLAS takes a work buffer per
// thread on the thread's first multiply and ends the process when it cannot
// get one (under an address-space limit, say). So before a thread's first
// multiply this checks that the address space still holds twice that buffer,
// by mapping and unmapping it, and then has BLAS take its buffer with a small
// multiply; the thread's later multiplies reuse it. False when the space is
// not there (checked again on the next call): the caller then scores with
// the kernels, whose answer is the same rows and bits.
bool blas_ready();

// Keeps BLAS single-threaded: set_blas_threads(1) once per process, and again
// whenever its thread count was raised since. Every function above calls it
// before its first multiply.
void ensure_blas_single_threaded();

}  // namespace lumvero
