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

// The arguments as passed, before conversion.
struct RawArguments {
  PyObject *embeddings = nullptr, *dims = nullptr, *rows = nullptr, *base_name = nullptr,
           *level = nullptr, *normalize = Py_False, *ann = Py_False, *seed = nullptr,
           *metric = nullptr, *output_dir = Py_None;
};

// The arguments after embeddings, converted in parameter order (each error
// names its argument); the matrix is not copied yet.
struct ScalarArguments {
  std::uint64_t dims = 0, rows = 0;
  std::string base_name, level, metric = "cosine";
  bool normalize = false;
  std::optional<std::string> output_dir;
};

// An optional text argument: unchanged when absent (the object is `absent`).
bool optional_str(PyObject* obj, PyObject* absent, const char* name, std::string& out) {
  if (obj == absent) return true;
  auto text = to_str(obj, name);
  if (!text) return false;
  out = std::move(*text);
  return true;
}

std::optional<ScalarArguments> convert_scalars(const RawArguments& raw) {
  ScalarArguments out;
  const auto dims = to_u64(raw.dims, "dims");
  const auto rows = dims ? to_u64(raw.rows, "rows") : std::nullopt;
  auto base_name = rows ? to_str(raw.base_name, "base_name") : std::nullopt;
  auto level = base_name ? to_str(raw.level, "level") : std::nullopt;
  const auto normalize = level ? to_bool(raw.normalize, "normalize") : std::nullopt;
  if (!normalize) return std::nullopt;
  if (!to_bool(raw.ann, "ann")) return std::nullopt;  // accepted, leaves no trace
  if (raw.seed != nullptr && !to_u64(raw.seed, "seed")) return std::nullopt;  // likewise
  if (!optional_str(raw.metric, nullptr, "metric", out.metric)) return std::nullopt;
  std::string output_dir;
  if (!optional_str(raw.output_dir, Py_None, "output_dir", output_dir)) return std::nullopt;
  if (raw.output_dir != Py_None) out.output_dir = std::move(output_dir);
  out.dims = *dims;
  out.rows = *rows;
  out.base_name = std::move(*base_name);
  out.level = std::move(*level);
  out.normalize = *normalize;
  return out;
}

// Converts every argument in parameter order (each error names its
// argument), then copies the matrix, checked once more after the last
// __index__ call.
std::optional<PrepareCall> convert_arguments(PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"embeddings", "dims", "rows",   "base_name",  "level", "normalize",
                                 "ann",        "seed", "metric", "output_dir", nullptr};
  RawArguments raw;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO|OOOOO:py_prepare_bin_from_embeddings",
                                   const_cast<char**>(kwlist), &raw.embeddings, &raw.dims,
                                   &raw.rows, &raw.base_name, &raw.level, &raw.normalize, &raw.ann,
                                   &raw.seed, &raw.metric, &raw.output_dir))
    return std::nullopt;
  if (to_f32_array(raw.embeddings, "embeddings", 2) == nullptr) return std::nullopt;
  auto scalars = convert_scalars(raw);
  if (!scalars) return std::nullopt;

  PyArrayObject* arr = checked_f32_array(raw.embeddings, "embeddings", 2);
  if (arr == nullptr) return std::nullopt;
  PrepareCall call;
  call.data = copy_matrix(arr, scalars->dims, scalars->rows);
  const auto metric = or_raise(prepare::parse_metric(scalars->metric));
  if (!metric) return std::nullopt;
  call.request = {.data = call.data.get(),
                  .dims = scalars->dims,
                  .rows = scalars->rows,
                  .base_name = std::move(scalars->base_name),
                  .level = std::move(scalars->level),
                  .normalize = scalars->normalize,
                  .metric = *metric,
                  .output_dir = std::move(scalars->output_dir)};
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
