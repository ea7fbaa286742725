// Chooses the kernel variant once per process and routes the public kernel
// API to it. All variants compute the same bits (kernels.h), so the choice
// only affects speed; it is made from CPU features alone.
#include <cstdlib>
#include <cstring>

#include "engine/kernels/cpu_features.h"
#include "engine/kernels/impl.h"

namespace lumvero::kernels {

namespace {

const detail::Variant& variant_of(Isa isa) {
  switch (isa) {
    case Isa::Avx2:
      return detail::kAvx2Variant;
    case Isa::Avx512:
      return detail::kAvx512Variant;
    case Isa::Reference:
      break;
  }
  return detail::kReferenceVariant;
}

// AMD's AVX-512 cores (Zen 4) split each 512-bit operation into two 256-bit
// halves, so pairing rows in one register buys nothing there and the extra
// shuffles cost: measured on Zen 4, the AVX2 variant scans cache-resident rows
// about 20% faster and rows from memory equally fast. Elsewhere the 512-bit
// variant is preferred. Every variant gives the same bits, so this is purely
// a speed choice.
Isa detect_isa() {
  const cpu::SimdFeatures& f = cpu::simd_features();
  if (f.avx512 && !(f.amd && f.avx2)) return Isa::Avx512;
  if (f.avx2) return Isa::Avx2;
  return Isa::Reference;
}

}  // namespace

// Function-local statics: initialised once, concurrent first callers wait.
Isa active_isa() {
  static const Isa isa = detect_isa();
  return isa;
}

namespace {
const detail::Variant& active() {
  static const detail::Variant& v = variant_of(active_isa());
  return v;
}
}  // namespace

const char* isa_name(Isa isa) {
  switch (isa) {
    case Isa::Reference:
      return "reference";
    case Isa::Avx2:
      return "avx2";
    case Isa::Avx512:
      return "avx512";
  }
  return "reference";
}

bool isa_supported(Isa isa) {
  switch (isa) {
    case Isa::Reference:
      return true;
    case Isa::Avx2:
      return cpu::simd_features().avx2;
    case Isa::Avx512:
      return cpu::simd_features().avx512;
  }
  return false;
}

bool force_scalar() {
  // Read once: later changes to the environment must not change scores
  // mid-process. "1" exactly: no trimming, no other truthy spellings.
  static const bool value = [] {
    const char* v = std::getenv("LUMVO_FORCE_SCALAR");
    return v != nullptr && std::strcmp(v, "1") == 0;
  }();
  return value;
}

float dot_simd(const float* q, const float* x, std::size_t n) { return active().dot(q, x, n); }

float l2sq_simd(const float* q, const float* x, std::size_t n) { return active().l2sq(q, x, n); }

float dot_range(const float* q, const float* x, std::size_t start, std::size_t end) {
  if (end <= start) return 0.0f;
  return active().dot(q + start, x + start, end - start);
}

float compute_score(Metric metric, const float* q, const float* x, std::size_t n) {
  if (force_scalar()) {
    return metric == Metric::Euclidean ? l2sq_scalar(q, x, n) : dot_scalar(q, x, n);
  }
  const detail::Variant& v = active();
  return metric == Metric::Euclidean ? v.l2sq(q, x, n) : v.dot(q, x, n);
}

void score_rows(Metric metric, const float* q, const float* rows, std::size_t dims,
                std::size_t count, float* out) {
  if (force_scalar()) {
    const bool l2 = metric == Metric::Euclidean;
    for (std::size_t j = 0; j < count; ++j) {
      const float* x = rows + j * dims;
      out[j] = l2 ? l2sq_scalar(q, x, dims) : dot_scalar(q, x, dims);
    }
    return;
  }
  const detail::Variant& v = active();
  (metric == Metric::Euclidean ? v.rows_l2sq : v.rows_dot)(q, rows, dims, count, out);
}

float dot_with(Isa isa, const float* q, const float* x, std::size_t n) {
  return variant_of(isa).dot(q, x, n);
}

float l2sq_with(Isa isa, const float* q, const float* x, std::size_t n) {
  return variant_of(isa).l2sq(q, x, n);
}

void score_rows_with(Isa isa, Metric metric, const float* q, const float* rows, std::size_t dims,
                     std::size_t count, float* out) {
  const detail::Variant& v = variant_of(isa);
  (metric == Metric::Euclidean ? v.rows_l2sq : v.rows_dot)(q, rows, dims, count, out);
}

}  // namespace lumvero::kernels
