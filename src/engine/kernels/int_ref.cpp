// The portable integer kernel: the definition the vector variants are tested against.
#include <cstddef>
#include <cstdint>

#include "engine/kernels/int_kernels.h"

namespace lumvero::kernels {

namespace {

void rows_ref(const std::int16_t* q, const std::int8_t* rows, std::size_t width, std::size_t count,
              std::int32_t* out) {
  for (std::size_t j = 0; j < count; ++j) {
    const std::int8_t* x = rows + j * width;
    std::int32_t s = 0;
    for (std::size_t i = 0; i < width; ++i)
      s += static_cast<std::int32_t>(q[i]) * static_cast<std::int32_t>(x[i]);
    out[j] = s;
  }
}

}  // namespace

namespace detail {
constinit const IntRowsKernel kIntReference = &rows_ref;
}  // namespace detail

}  // namespace lumvero::kernels
