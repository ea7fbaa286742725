// py_prepare_bin_from_embeddings: argument checks, then the writer without the GIL.
#include "lib/prepare_function.h"

#include <cstring>
#include <memory>

#include "lib/convert.h"
#include "lib/errors.h"
#include "prepare/prepare.h"

namespace lumvero::py {

namespace {

// The caller's matrix as a private row-major copy, taken under the
// interpreter lock so other threads may change the array afterwards.
// A Fortran-ordered (rows, dims) matrix is copied in logical row order;
// every other layout is read in memory order.
std::unique_ptr<prepare::MatrixBuffer> copy_matrix(PyArrayObject* arr, std::uint64_t dims,
                                                   std::uint64_t rows) {
  const auto* src = static_cast<const float*>(PyArray_DATA(arr));
  const std::size_t n = static_cast<std::size_t>(PyArray_SIZE(arr));
  auto buffer = std::make_unique<prepare::MatrixBuffer>(n);
  float* out = buffer->data();
  const npy_intp* shape = PyArray_DIMS(arr);
  const bool logical_transpose = !PyArray_IS_C_CONTIGUOUS(arr) && PyArray_IS_F_CONTIGUOUS(arr) &&
                                 static_cast<std::uint64_t>(shape[0]) == rows &&
                                 static_cast<std::uint64_t>(shape[1]) == dims;
  if (!logical_transpose) {
    if (n != 0) std::memcpy(out, src, n * sizeof(float));
    return buffer;
  }
  // Element (r, c) lives at src[c * rows + r]; tiles keep both sides in cache.
  constexpr std::size_t kTile = 64;
  for (std::size_t r0 = 0; r0 < rows; r0 += kTile) {
    const std::size_t r1 = std::min<std::size_t>(rows, r0 + kTile);
    for (std::size_t c0 = 0; c0 < dims; c0 += kTile) {
      const std::size_t c1 = std::min<std::size_t>(dims, c0 + kTile);
      for (std::size_t r = r0; r < r1; ++r)
        for (std::size_t c = c0; c < c1; ++c) out[r * dims + c] = src[c * rows + r];
    }
  }
  return buffer;
}

// The call's arguments as the writer takes them, plus the private copy of the
// matrix the request points at.
struct PrepareCall {
  std::unique_ptr<prepare::MatrixBuffer> data;
  prepare::Request request;
};

// Converts every argument in parameter order (each error names its
// argument), then copies the matrix, checked once more after the last
// __index__ call.
std::optional<PrepareCall> convert_arguments(PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"embeddings", "dims", "rows",   "base_name",  "level", "normalize",
                                 "ann",        "seed", "metric", "output_dir", nullptr};
  PyObject *emb_obj = nullptr, *dims_obj = nullptr, *rows_obj = nullptr, *base_obj = nullptr,
           *level_obj = nullptr, *normalize_obj = Py_False, *ann_obj = Py_False,
           *seed_obj = nullptr, *metric_obj = nullptr, *outdir_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO|OOOOO:py_prepare_bin_from_embeddings",
                                   const_cast<char**>(kwlist), &emb_obj, &dims_obj, &rows_obj,
                                   &base_obj, &level_obj, &normalize_obj, &ann_obj, &seed_obj,
                                   &metric_obj, &outdir_obj))
    return std::nullopt;
  if (to_f32_array(emb_obj, "embeddings", 2) == nullptr) return std::nullopt;
  const auto dims = to_u64(dims_obj, "dims");
  if (!dims) return std::nullopt;
  const auto rows = to_u64(rows_obj, "rows");
  if (!rows) return std::nullopt;
  auto base_name = to_str(base_obj, "base_name");
  if (!base_name) return std::nullopt;
  auto level = to_str(level_obj, "level");
  if (!level) return std::nullopt;
  const auto normalize = to_bool(normalize_obj, "normalize");
  if (!normalize) return std::nullopt;
  if (!to_bool(ann_obj, "ann")) return std::nullopt;  // accepted, leaves no trace
  if (seed_obj != nullptr && !to_u64(seed_obj, "seed")) return std::nullopt;  // likewise
  std::string metric_text = "cosine";
  if (metric_obj != nullptr) {
    auto m = to_str(metric_obj, "metric");
    if (!m) return std::nullopt;
    metric_text = std::move(*m);
  }
  std::optional<std::string> output_dir;
  if (outdir_obj != Py_None) {
    output_dir = to_str(outdir_obj, "output_dir");
    if (!output_dir) return std::nullopt;
  }

  PyArrayObject* arr = checked_f32_array(emb_obj, "embeddings", 2);
  if (arr == nullptr) return std::nullopt;
  PrepareCall call;
  call.data = copy_matrix(arr, *dims, *rows);
  const auto metric = or_raise(prepare::parse_metric(metric_text));
  if (!metric) return std::nullopt;
  call.request = {.data = call.data.get(),
                  .dims = *dims,
                  .rows = *rows,
                  .base_name = std::move(*base_name),
                  .level = std::move(*level),
                  .normalize = *normalize,
                  .metric = *metric,
                  .output_dir = std::move(output_dir)};
  return call;
}

PyObject* prepare_bin(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const auto call = convert_arguments(args, kwargs);
    if (!call) return nullptr;
    Result<std::string> result = fail("");
    {
      // No Python object is touched while unlocked. An exception leaving the
      // scope re-acquires the lock first, then reaches the boundary guard.
      GilRelease unlocked;
      result = prepare::prepare_index(call->request);
    }
    const auto written = or_raise(std::move(result));
    if (!written) return nullptr;
    return str_lossy(*written);
  });
}

PyMethodDef prepare_def = {
    "py_prepare_bin_from_embeddings",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(prepare_bin)),
    METH_VARARGS | METH_KEYWORDS,
    "py_prepare_bin_from_embeddings(embeddings, dims, rows, base_name, level, normalize=False, "
    "ann=False, seed=0, metric=\"cosine\", output_dir=None)\n--\n\n"};

}  // namespace

PyMethodDef* prepare_function_def() { return &prepare_def; }

}  // namespace lumvero::py
