// CPU feature detection (CPUID and XGETBV), read once per process.
#include "engine/kernels/cpu_features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace lumvero::cpu {

namespace {

SimdFeatures probe() {
  SimdFeatures f;
#if defined(__x86_64__) || defined(__i386__)
  // libgcc fills its model at start-up, but a call from another static
  // initialiser could come first; init is idempotent.
  __builtin_cpu_init();
  // libgcc only reports avx/avx2 when XGETBV shows the OS saves the YMM
  // state, so a feature listed here is actually usable.
  f.avx2 = __builtin_cpu_supports("avx2") != 0;
  f.avx = __builtin_cpu_supports("avx") != 0;
  f.sse42 = __builtin_cpu_supports("sse4.2") != 0;
  f.avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
             __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw");
  f.avx512vnni = f.avx512 && __builtin_cpu_supports("avx512vnni") != 0;
  // AVX-VNNI (CPUID leaf 7, sub-leaf 1, EAX bit 4) straight from CPUID: not
  // every compiler's __builtin_cpu_supports knows the name. The YMM state
  // check is the one behind avx2.
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  f.avxvnni =
      f.avx2 && __get_cpuid_count(7, 1, &eax, &ebx, &ecx, &edx) != 0 && (eax & (1u << 4)) != 0;
  f.amd = __builtin_cpu_is("amd") != 0;
#endif
  return f;
}

}  // namespace

const SimdFeatures& simd_features() {
  static const SimdFeatures features = probe();
  return features;
}

const char* simd_path_for(const SimdFeatures& features) {
  if (features.avx2) return "avx2";
  if (features.avx) return "avx";
  if (features.sse42) return "sse4.2";
  return "scalar";
}

const char* simd_path_name() {
  static const char* const name = simd_path_for(simd_features());
  return name;
}

}  // namespace lumvero::cpu
