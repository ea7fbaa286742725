// Which vector instruction sets the processor offers: probed once, used by
// the kernel dispatch to pick a variant and by the certificate's report.
// LUMVO_FORCE_SCALAR does not change what is reported here.
#pragma once

namespace lumvero::cpu {

// What CPUID (and the OS, for the AVX register state) says is usable.
struct SimdFeatures {
  bool avx2 = false;
  bool avx = false;
  bool sse42 = false;
  // F (arithmetic), VL and DQ (256-bit halves of 512-bit registers) and BW,
  // which the AVX-512 kernels are compiled with.
  bool avx512 = false;
  // Integer dot products of int16 pairs (vpdpwssd): with 512-bit registers
  // (AVX-512 VNNI, on top of F and BW) or 256-bit ones (AVX-VNNI).
  bool avx512vnni = false;
  bool avxvnni = false;
  // AMD's AVX-512 cores split each 512-bit operation in two (kernel choice).
  bool amd = false;
};

// Probed once per process on first use; thread-safe.
const SimdFeatures& simd_features();

// The widest of "avx2", "avx", "sse4.2", falling back to "scalar".
// A pure function of its argument, so the preference order can be checked
// without the matching hardware.
const char* simd_path_for(const SimdFeatures& features);

// simd_path_for(simd_features()): a static string, never null.
const char* simd_path_name();

}  // namespace lumvero::cpu
