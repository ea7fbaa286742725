// Internal to the kernels: the variants behind the public API (kernels.h),
// how one is chosen, and explicit entry points for tests and benchmarks.
// Nothing outside the kernels and their tests includes this.
#pragma once

#include <cstddef>

#include "engine/format/index_format.h"
#include "engine/kernels/kernels.h"

namespace lumvero::kernels {

// ---------------------------------------------------------------------------
// Explicit variants, for tests and benchmarks. These always use the vector
// layout (force_scalar() is not consulted) and must only be called for an Isa
// that isa_supported() reports.
// ---------------------------------------------------------------------------
enum class Isa { Reference, Avx2, Avx512 };

const char* isa_name(Isa isa);
// Reference is always supported; the others need the CPU (and OS) features.
bool isa_supported(Isa isa);
// The variant dot_simd, l2sq_simd and score_rows use: detected once.
Isa active_isa();

float dot_with(Isa isa, const float* q, const float* x, std::size_t n);
float l2sq_with(Isa isa, const float* q, const float* x, std::size_t n);
void score_rows_with(Isa isa, Metric metric, const float* q, const float* rows, std::size_t dims,
                     std::size_t count, float* out);

// Per-variant entry points, defined one translation unit per instruction set.
// Call them only through the functions above, which check CPU support.
namespace detail {
using RowKernel = float (*)(const float* q, const float* x, std::size_t n);
using RowsKernel = void (*)(const float* q, const float* rows, std::size_t dims, std::size_t count,
                            float* out);

struct Variant {
  RowKernel dot;
  RowKernel l2sq;
  RowsKernel rows_dot;
  RowsKernel rows_l2sq;
};

extern const Variant kReferenceVariant;
extern const Variant kAvx2Variant;
extern const Variant kAvx512Variant;
}  // namespace detail

}  // namespace lumvero::kernels
