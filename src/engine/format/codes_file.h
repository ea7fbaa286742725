// The file that keeps a run's codes (compressed_rows.h) beside its
// row file, so that a loaded index scans codes read from disk instead of
// quantising every row, and need not read the float rows to start.
//
// Layout, little-endian, every section at an offset aligned for its type:
//   0   header (kHeaderBytes):
//         magic "LVCODES\0", u32 version, u32 header bytes,
//         u32 dims, u32 width (bytes of codes per row), u64 rows (those of
//         the row file the codes were made from), u32 rows per stripe,
//         u32 stripes, at 40 the BLAKE3 (32 bytes) of that row file's
//         bytes, at 72 u32 bytes per sum block (block_sums.h), u32 zero,
//         at 80 u64 sum blocks, zeros to 128
//   128 norms:   rows x f64, the rows' squared norms
//       bounds:  stripes x (resid, code_norm, norm_sq) f64
//       scales:  rows x f32
//       zeros up to a multiple of 64
//       codes:   rows x width bytes (code + 128)
//       zeros up to a multiple of 64
//       sums:    sum blocks x 32 bytes, the BLAKE3 of each sum block of the
//                row file's rows (block_sums.h)
// The file is input anyone may have edited: the loader checks every header
// field against what it expects and the length against the layout before it
// reads a byte of the sections. The row file's hash binds the codes to the
// rows they were made from: codes of other rows, of the same shape and with
// a valid hash of their own, are refused as "not the codes of" that file.
// That binds the file, not its contents: codes altered and the row hash kept
// pass here, and only a comparison with the rows themselves finds them.
// Version 1 (a 64-byte header, no row file hash) is refused as unbound.
// Version 2 (no sums: its header's bytes 72 to 128 are zeros and the file
// ends with the codes) is read, without sums.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/prefilter/compressed_rows.h"
#include "engine/status.h"

namespace lumvero::codes_file {

inline constexpr std::size_t kHeaderBytes = 128;
inline constexpr std::uint32_t kVersion = 3;
// The version before the sums, still read.
inline constexpr std::uint32_t kVersionWithoutSums = 2;
inline constexpr std::size_t kRowsHashAt = 40;
inline constexpr std::size_t kSumBlockAt = 72;

// The BLAKE3 of the row file (its 12-byte header and its rows) that the
// codes were made from.
using RowsHash = std::array<unsigned char, 32>;

struct Layout {
  std::uint64_t norms = 0;  // offsets in bytes
  std::uint64_t bounds = 0;
  std::uint64_t scales = 0;
  std::uint64_t codes = 0;
  std::uint64_t sums = 0;     // == length when the version has none
  std::uint64_t length = 0;   // of the whole file
  std::uint64_t stripes = 0;  // stripes of bounds
  std::uint64_t blocks = 0;   // sum blocks
  std::size_t width = 0;
};

// rows and dims as check_shape accepts them (what map and the writer take).
Layout layout(std::uint64_t rows, std::uint64_t dims, std::uint32_t version = kVersion);
std::array<unsigned char, kHeaderBytes> header(std::uint64_t rows, std::uint64_t dims,
                                               const RowsHash& made_from,
                                               std::uint32_t version = kVersion);

// A mapped codes file: the codes over its mapping, and its squared norms and
// whole bytes (for the caller's hash check), which live as long as the codes.
struct Mapped {
  std::unique_ptr<CompressedRows> codes;
  const double* norms = nullptr;
  const unsigned char* bytes = nullptr;
  std::uint64_t length = 0;
  // The sum of each sum block of the row file's rows (layout.blocks of
  // them), null in a version-2 file.
  const unsigned char* sums = nullptr;
  std::uint64_t blocks = 0;
};

// Whether rows and dims are those of a file this version writes and reads
// (the rows' bytes within 2^62); else why not.
Status check_shape(std::uint64_t rows, std::uint64_t dims);

// Maps the codes file at `path` for `rows` rows of `dims` dims, made from
// the row file whose BLAKE3 is `made_from`, under the fault guard,
// read-ahead started. Fails with a text saying what is wrong (the caller
// names the file).
Result<Mapped> map(const std::string& path, std::uint64_t rows, std::uint64_t dims,
                   const RowsHash& made_from);

}  // namespace lumvero::codes_file
