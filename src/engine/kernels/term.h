// One term of a score, q*x or d*d with d = q - x (query minus row), each
// rounded before it is added. Shared by every kernel variant's tail loop;
// internal linkage, so each translation unit keeps its own copy compiled
// with its own instruction-set flags.
#pragma once

namespace lumvero::kernels {
namespace {

template <bool kL2>
inline float term1(float q, float x) {
  if constexpr (kL2) {
    const float d = q - x;
    return d * d;
  } else {
    return q * x;
  }
}

}  // namespace
}  // namespace lumvero::kernels
