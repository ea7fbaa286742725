// The portable integer kernel and the query's byte split: the definition the vector variants are
// tested against.
#include <cstddef>
#include <cstdint>

#include "engine/kernels/int_kernels.h"

namespace lumvero::kernels {

namespace {

void rows_ref(const IntQuery& q, const std::uint8_t* rows, std::size_t width, std::size_t count,
              std::int32_t* out) {
  for (std::size_t j = 0; j < count; ++j) {
    const std::uint8_t* x = rows + j * width;
    std::int32_t s = 0;  // every partial sum is bounded by the caller's limit
    for (std::size_t i = 0; i < width; ++i)
      s += static_cast<std::int32_t>(q.q[i]) * (static_cast<std::int32_t>(x[i]) - 128);
    out[j] = s;
  }
}

void tile_ref(const IntQuery* const* qs, const std::uint8_t* packed, std::size_t width,
              std::int32_t* out) {
  for (std::size_t i = 0; i < kIntTileQueries; ++i) {
    const std::int16_t* q = qs[i]->q.data();
    for (std::size_t j = 0; j < kIntTileRows; ++j) {
      std::int32_t s = 0;
      for (std::size_t c = 0; c < width; ++c) {
        const std::uint8_t x = packed[(c / 4) * 4 * kIntTileRows + j * 4 + c % 4];
        s += static_cast<std::int32_t>(q[c]) * (static_cast<std::int32_t>(x) - 128);
      }
      out[i * kIntTileRows + j] = s;
    }
  }
}

}  // namespace

void int_pack_rows(const std::uint8_t* rows, std::size_t width, std::size_t count,
                   std::uint8_t* packed) {
  for (std::size_t g = 0; g < width / 4; ++g) {
    std::uint8_t* dst = packed + g * 4 * kIntTileRows;
    for (std::size_t j = 0; j < count; ++j)
      for (std::size_t b = 0; b < 4; ++b) dst[j * 4 + b] = rows[j * width + g * 4 + b];
    for (std::size_t j = count; j < kIntTileRows; ++j)
      for (std::size_t b = 0; b < 4; ++b) dst[j * 4 + b] = 128;
  }
}

IntQuery prepare_int_query(const std::int16_t* q, std::size_t width) {
  IntQuery out;
  out.q.assign(q, q + width);
  out.lo.resize(width);
  out.hi.resize(width);
  std::uint32_t sum = 0;  // modulo 2^32, as the kernels use it
  for (std::size_t i = 0; i < width; ++i) {
    const std::int32_t v = q[i];
    const auto lo = static_cast<std::int8_t>(static_cast<std::uint8_t>(v & 0xff));
    out.lo[i] = lo;
    out.hi[i] = static_cast<std::int8_t>((v - lo) / 256);
    sum += static_cast<std::uint32_t>(v);
  }
  out.sum = static_cast<std::int32_t>(sum);
  return out;
}

namespace detail {
constinit const IntRowsKernel kIntReference = &rows_ref;
constinit const IntTileKernel kIntTileReference = &tile_ref;
}  // namespace detail

}  // namespace lumvero::kernels
