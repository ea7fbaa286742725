// Integer dot products for the compressed filter: one int16 query against
// rows of 8-bit codes.
//
// A row's codes are stored as unsigned bytes c' = c + 128, so a code c in
// [-128, 127] is one byte that the byte-product instructions take as their
// unsigned operand. Every variant returns, for every row,
//   sum_i q[i] * (c'[i] - 128)
// exactly: integer arithmetic never rounds, and the variants that let partial
// sums wrap modulo 2^32 still land on the exact result, which the caller
// keeps inside int32 (width * 128 * max|q| < 2^31). So every CPU computes the
// same sums; the variant, detected once like the float kernels, only changes
// speed.
//
// Layout: `width` is a multiple of kIntWidthStep; row j of a call starts at
// rows + j * width. Padding holds code 0 (byte 128) in the rows and 0 in the
// query, so no variant has a tail to handle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumvero::kernels {

inline constexpr std::size_t kIntWidthStep = 64;
// Largest |q[i]|: the byte split below needs hi in [-127, 127].
inline constexpr std::int32_t kIntQueryMax = 127 * 256;

// A query as the kernels take it: its codes, the same codes split into signed
// bytes (q = 256 hi + lo) for the byte-product instructions, and their sum.
struct IntQuery {
  std::vector<std::int16_t> q;
  std::vector<std::int8_t> lo;
  std::vector<std::int8_t> hi;
  std::int32_t sum = 0;
};

// q[0..width), each |q[i]| <= kIntQueryMax.
IntQuery prepare_int_query(const std::int16_t* q, std::size_t width);

enum class IntIsa { Reference, Avx2, AvxVnni, Avx512Vnni };

const char* int_isa_name(IntIsa isa);
// Reference is always supported; the others need the CPU (and OS) features.
bool int_isa_supported(IntIsa isa);
// The variant int_rows_dot and int_tile_dot use, chosen once per process on
// first use: the widest supported, unless LUMVO_INT_KERNEL names a supported
// variant (int_isa_name spelling: "reference", "avx2", "avx-vnni",
// "avx512-vnni"), which is then used instead, so tests and benchmarks can run
// a narrower variant end to end. Any other value is ignored. The sums are the
// same whichever runs.
IntIsa active_int_isa();

// out[j] = sum_i q.q[i] * (rows[j * width + i] - 128) for j in [0, count).
void int_rows_dot(const IntQuery& q, const std::uint8_t* rows, std::size_t width, std::size_t count,
                  std::int32_t* out);
// The same through a given variant (tests and benchmarks); it must be
// supported.
void int_rows_dot_with(IntIsa isa, const IntQuery& q, const std::uint8_t* rows, std::size_t width,
                       std::size_t count, std::int32_t* out);

// Tiles of several queries against a block of rows, for batches: every
// query's codes are reused across the block's rows in registers, every row's
// codes across the tile's queries.
//
// A tile is kIntTileQueries queries x kIntTileRows rows. Its rows are first
// packed (int_pack_rows) so that each group of four codes of the rows lies in
// one run of 4 * kIntTileRows bytes, row after row: one vector load then
// holds four codes of 8 or 16 rows, and the byte-product instructions (on
// AVX2, int16 pair products of the widened codes) sum them per row with the
// query's four codes broadcast to every lane. No sums across lanes are
// needed.
inline constexpr std::size_t kIntTileQueries = 6;
inline constexpr std::size_t kIntTileRows = 32;

// Packs rows[0..count) (count <= kIntTileRows, each `width` bytes) into
// packed[0 .. width * kIntTileRows); missing rows are code 0.
void int_pack_rows(const std::uint8_t* rows, std::size_t width, std::size_t count,
                   std::uint8_t* packed);

// out[i * kIntTileRows + j] = sum_c qs[i]->q[c] * (code c of packed row j)
// for every i < kIntTileQueries and j < kIntTileRows: the same exact sums as
// int_rows_dot. qs holds kIntTileQueries queries of `width` codes.
void int_tile_dot(const IntQuery* const* qs, const std::uint8_t* packed, std::size_t width,
                  std::int32_t* out);
// The same through a given variant; it must be supported.
void int_tile_dot_with(IntIsa isa, const IntQuery* const* qs, const std::uint8_t* packed,
                       std::size_t width, std::int32_t* out);
// Whether the active variant has its own tile kernel (only the reference has
// none).
bool int_tile_vectorised();

namespace detail {
using IntTileKernel = void (*)(const IntQuery* const* qs, const std::uint8_t* packed,
                               std::size_t width, std::int32_t* out);
extern const IntTileKernel kIntTileReference;
extern const IntTileKernel kIntTileAvx2;
extern const IntTileKernel kIntTileAvxVnni;
extern const IntTileKernel kIntTileAvx512Vnni;
using IntRowsKernel = void (*)(const IntQuery& q, const std::uint8_t* rows, std::size_t width,
                               std::size_t count, std::int32_t* out);
// Defined one translation unit per instruction set.
extern const IntRowsKernel kIntReference;
extern const IntRowsKernel kIntAvx2;
extern const IntRowsKernel kIntAvxVnni;
extern const IntRowsKernel kIntAvx512Vnni;
}  // namespace detail

}  // namespace lumvero::kernels
