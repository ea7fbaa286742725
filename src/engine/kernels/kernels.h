// Scoring kernels: the one number per (query, row) that every search ranks by.
//
// Score: cosine and dot use the plain dot product sum q[i]*x[i] (the query is
// never normalised and nothing is divided by norms); euclidean uses the
// squared distance sum (q[i]-x[i])^2, difference taken as query minus row, no
// square root. Higher is better for dot products, lower for distances.
//
// ---------------------------------------------------------------------------
// Numerical contract (every per-row score in the engine depends on it)
// ---------------------------------------------------------------------------
// * All arithmetic is binary32, round to nearest even, subnormals kept (the
//   default floating-point environment; nothing here changes it). Every
//   product (and every difference) is rounded before it is added: no fused
//   multiply-add anywhere. The build compiles everything with
//   -ffp-contract=off and no variant uses FMA instructions.
// * Vector layout (dot_simd, l2sq_simd, dot_range, score_rows, every Isa):
//   two 4-lane accumulators A and B start at +0.0. For each whole 8-element
//   chunk c, in increasing c:  A[l] += t(8c+l),  B[l] += t(8c+4+l),  l = 0..3,
//   where t(i) = q[i]*x[i] or d*d with d = q[i]-x[i]. Then
//       s = (((A0+A1)+A2)+A3) + (((B0+B1)+B2)+B3)
//   and the n mod 8 trailing terms are added one at a time: s += t(i). With
//   n < 8 this is the plain sequential sum from +0.0.
// * Scalar layout (dot_scalar, l2sq_scalar): one accumulator from +0.0,
//   s += t(i) for i = 0..n-1. It may differ from the vector layout in the last
//   bits.
// * The SSE2 reference, the AVX2 and the AVX-512 variants are bit-identical:
//   the wider ones only score several rows at once (one 256-bit register is
//   exactly A|B of one row), never change which terms a lane adds or in which
//   order. So a row's score never depends on the CPU, the thread, the chunk or
//   how many rows were scored together. Only NaN payloads may differ.
// * Nothing is post-processed: overflow gives an infinity, a NaN in the data
//   gives a NaN, and the caller (top-k selection) drops them.
// * The only scores allowed to differ in the last bits are the sgemm-based
//   ones (matrix.h): BLAS sums in its own order with whatever instructions it
//   picks at run time.
// * The integer kernels of the compressed filter (int_kernels.h) compute no
//   score at all, only exact integer sums that the filter turns into bounded
//   approximations; every answer is still rescored here.
//
// Kernels never allocate, never fail and are safe to call concurrently.
#pragma once

#include <cstddef>

#include "engine/format/index_format.h"

namespace lumvero::kernels {

// Vector layout (see above), through the best variant this CPU supports.
float dot_simd(const float* q, const float* x, std::size_t n);
float l2sq_simd(const float* q, const float* x, std::size_t n);

// Scalar layout: strictly left to right, one accumulator.
float dot_scalar(const float* q, const float* x, std::size_t n);
float l2sq_scalar(const float* q, const float* x, std::size_t n);

// dot_simd over q[start, end) and x[start, end): chunks count from start.
// Always the vector layout, whatever force_scalar() says.
float dot_range(const float* q, const float* x, std::size_t start, std::size_t end);

// Sum of (double)q[i] * (double)q[i], accumulated in double, left to right.
double query_norm_sq(const float* q, std::size_t n);

// LUMVO_FORCE_SCALAR is read once per process, on first use: true exactly when
// its value is the single character "1". Later changes have no effect.
bool force_scalar();

// The score of one row: squared distance for Euclidean, dot product for every
// other metric; the scalar forms when force_scalar() is true.
float compute_score(Metric metric, const float* q, const float* x, std::size_t n);

// Scores count consecutive rows (row j starts at rows + j * dims, 4-byte
// alignment is enough) into out[0..count). out[j] is bit for bit
// compute_score(metric, q, row j, dims), force_scalar() included; this is the
// form the row scans should use, as it keeps four rows in flight. Those four
// are row i of each quarter of the range, so memory is read as four
// front-to-back streams; calls of a few hundred rows or more keep the streams
// long enough to run at memory bandwidth (64-row calls lose about 10-15%).
void score_rows(Metric metric, const float* q, const float* rows, std::size_t dims,
                std::size_t count, float* out);

}  // namespace lumvero::kernels
