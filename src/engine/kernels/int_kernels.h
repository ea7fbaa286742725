// Integer dot products for the compressed filter: one int16 query against
// rows of int8 codes.
//
// Integer sums are exact, so every variant returns the same int32 for the
// same inputs; the choice of variant (detected once from the CPU, like the
// float kernels) only changes speed. The caller keeps the sums in range:
// width * 127 * max|q| must stay below 2^31, and every pair of products
// (q[2i] x[2i] + q[2i+1] x[2i+1]) then fits too.
//
// Layout: `width` is a multiple of kIntWidthStep; row j of a call starts at
// rows + j * width. Padding elements are zero in both query and rows, so no
// variant has a tail to handle.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumvero::kernels {

inline constexpr std::size_t kIntWidthStep = 32;

enum class IntIsa { Reference, Avx2, AvxVnni, Avx512Vnni };

const char* int_isa_name(IntIsa isa);
// Reference is always supported; the others need the CPU (and OS) features.
bool int_isa_supported(IntIsa isa);
// The variant int_rows_dot uses: the widest supported, detected once.
IntIsa active_int_isa();

// out[j] = sum_i q[i] * rows[j * width + i] for j in [0, count).
void int_rows_dot(const std::int16_t* q, const std::int8_t* rows, std::size_t width,
                  std::size_t count, std::int32_t* out);
// The same through a given variant (tests and benchmarks); it must be
// supported.
void int_rows_dot_with(IntIsa isa, const std::int16_t* q, const std::int8_t* rows,
                       std::size_t width, std::size_t count, std::int32_t* out);

namespace detail {
using IntRowsKernel = void (*)(const std::int16_t* q, const std::int8_t* rows, std::size_t width,
                               std::size_t count, std::int32_t* out);
// Defined one translation unit per instruction set.
extern const IntRowsKernel kIntReference;
extern const IntRowsKernel kIntAvx2;
extern const IntRowsKernel kIntAvxVnni;
extern const IntRowsKernel kIntAvx512Vnni;
}  // namespace detail

}  // namespace lumvero::kernels
