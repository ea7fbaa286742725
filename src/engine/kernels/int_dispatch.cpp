// Chooses the integer kernel once per process; every variant gives the same sums.
#include <cstdlib>
#include <cstring>

#include "engine/kernels/cpu_features.h"
#include "engine/kernels/int_kernels.h"

namespace lumvero::kernels {

namespace {

detail::IntRowsKernel kernel_of(IntIsa isa) {
  switch (isa) {
    case IntIsa::Avx2:
      return detail::kIntAvx2;
    case IntIsa::AvxVnni:
      return detail::kIntAvxVnni;
    case IntIsa::Avx512Vnni:
      return detail::kIntAvx512Vnni;
    case IntIsa::Reference:
      break;
  }
  return detail::kIntReference;
}

detail::IntTileKernel tile_kernel_of(IntIsa isa) {
  switch (isa) {
    case IntIsa::Avx2:
      return detail::kIntTileAvx2;
    case IntIsa::AvxVnni:
      return detail::kIntTileAvxVnni;
    case IntIsa::Avx512Vnni:
      return detail::kIntTileAvx512Vnni;
    case IntIsa::Reference:
      break;
  }
  return detail::kIntTileReference;
}

// The variant LUMVO_INT_KERNEL names when the CPU offers it, else the widest
// the CPU offers. The sums are exact, so this is purely a speed choice, and
// with the rows streamed from memory width matters little.
IntIsa detect() {
  // Compared exactly, as LUMVO_FORCE_SCALAR is: no trimming, no case folding.
  if (const char* asked = std::getenv("LUMVO_INT_KERNEL")) {
    for (const IntIsa isa : {IntIsa::Reference, IntIsa::Avx2, IntIsa::AvxVnni, IntIsa::Avx512Vnni})
      if (std::strcmp(asked, int_isa_name(isa)) == 0 && int_isa_supported(isa)) return isa;
  }
  if (int_isa_supported(IntIsa::Avx512Vnni)) return IntIsa::Avx512Vnni;
  if (int_isa_supported(IntIsa::AvxVnni)) return IntIsa::AvxVnni;
  if (int_isa_supported(IntIsa::Avx2)) return IntIsa::Avx2;
  return IntIsa::Reference;
}

}  // namespace

const char* int_isa_name(IntIsa isa) {
  switch (isa) {
    case IntIsa::Reference:
      return "reference";
    case IntIsa::Avx2:
      return "avx2";
    case IntIsa::AvxVnni:
      return "avx-vnni";
    case IntIsa::Avx512Vnni:
      return "avx512-vnni";
  }
  return "reference";
}

bool int_isa_supported(IntIsa isa) {
  const cpu::SimdFeatures& f = cpu::simd_features();
  switch (isa) {
    case IntIsa::Reference:
      return true;
    case IntIsa::Avx2:
      return f.avx2;
    case IntIsa::AvxVnni:
      return f.avxvnni;
    case IntIsa::Avx512Vnni:
      return f.avx512vnni;
  }
  return false;
}

IntIsa active_int_isa() {
  static const IntIsa isa = detect();
  return isa;
}

void int_rows_dot(const IntQuery& q, const std::uint8_t* rows, std::size_t width, std::size_t count,
                  std::int32_t* out) {
  static const detail::IntRowsKernel kernel = kernel_of(active_int_isa());
  kernel(q, rows, width, count, out);
}

void int_rows_dot_with(IntIsa isa, const IntQuery& q, const std::uint8_t* rows, std::size_t width,
                       std::size_t count, std::int32_t* out) {
  kernel_of(isa)(q, rows, width, count, out);
}

void int_tile_dot(const IntQuery* const* qs, const std::uint8_t* packed, std::size_t width,
                  std::int32_t* out) {
  static const detail::IntTileKernel kernel = tile_kernel_of(active_int_isa());
  kernel(qs, packed, width, out);
}

void int_tile_dot_with(IntIsa isa, const IntQuery* const* qs, const std::uint8_t* packed,
                       std::size_t width, std::int32_t* out) {
  tile_kernel_of(isa)(qs, packed, width, out);
}

bool int_tile_vectorised() { return tile_kernel_of(active_int_isa()) != detail::kIntTileReference; }

}  // namespace lumvero::kernels
