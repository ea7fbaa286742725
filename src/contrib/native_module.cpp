// lumvero_contrib._native: the engine's in-memory search, row normalisation,
// row norms and BLAKE3 for lumvero_contrib.Index (raw CPython + NumPy C API).
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include <numpy/arrayobject.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "contrib/group_search.h"
#include "engine/format/block_sums.h"
#include "engine/format/codes_file.h"
#include "engine/format/content_hash.h"
#include "engine/format/mapped_file.h"
#include "engine/format/mapping.h"
#include "engine/format/row_norms.h"
#include "engine/prefilter/compressed_rows.h"
#include "engine/runtime/pool.h"
#include "engine/runtime/pool_setup.h"
#include "engine/search/found_order.h"
#include "engine/search/matrix.h"
#include "engine/search/search_core.h"
#include "lib/py_ref.h"
#include "prepare/prepare.h"

namespace {

using lumvero::Metric;
// Every stretch run without the interpreter lock holds a GilRelease rather
// than the Py_*_ALLOW_THREADS macros: an exception leaving it (an allocation
// failing in a search on the calling thread) takes the lock back before
// guarded() turns it into a Python error.
using lumvero::py::GilRelease;
using lumvero::py::Ref;

// The array when it is ndim-dimensional, of the type, C-contiguous and
// aligned; else nullptr with TypeError set. Borrowed.
PyArrayObject* as_array(PyObject* o, int ndim, int type, const char* what, bool writable = false) {
  if (!PyArray_Check(o)) {
    PyErr_Format(PyExc_TypeError, "%s must be a NumPy array", what);
    return nullptr;
  }
  auto* a = reinterpret_cast<PyArrayObject*>(o);
  if (PyArray_NDIM(a) != ndim || PyArray_TYPE(a) != type || !PyArray_IS_C_CONTIGUOUS(a) ||
      !PyArray_ISALIGNED(a) || (writable && !PyArray_ISWRITEABLE(a))) {
    PyErr_Format(PyExc_TypeError, "%s must be a %d-D C-contiguous aligned%s array of %s", what,
                 ndim, writable ? " writable" : "",
                 type == NPY_FLOAT32   ? "float32"
                 : type == NPY_FLOAT64 ? "float64"
                                       : "integers");
    return nullptr;
  }
  return a;
}

bool metric_of(long id, Metric* out) {
  if (id < 0 || id > 2) {
    PyErr_SetString(PyExc_ValueError, "metric id must be 0, 1 or 2");
    return false;
  }
  *out = static_cast<Metric>(id);
  return true;
}

// Engine faults that escaped as exceptions become Python errors here. The
// pool is sized from LUMVO_THREADS at the first call, as the module does at
// the first index it opens; both load the one engine library, so whichever
// comes first sizes the one pool of the process.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    lumvero::pool_setup();
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown engine failure");
  }
  return nullptr;
}

bool all_zero(const float* x, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (x[i] != 0.0f) return false;
  return true;
}

// Runs fn(begin, end) over [0, rows) in tasks of `per_task` rows: on the pool
// when there is more than one task, else on the calling thread (waking the
// pool for a few rows costs more than the rows).
template <class F>
void over_rows(std::uint64_t rows, std::uint64_t per_task, F&& fn) {
  if (rows <= per_task) {
    fn(std::size_t{0}, static_cast<std::size_t>(rows));
    return;
  }
  (void)lumvero::pool::for_chunks(rows, per_task,
                                  [&](std::size_t b, std::size_t e, std::size_t) { fn(b, e); });
}

std::uint64_t rows_per_task(std::uint64_t dims) {
  return std::max<std::uint64_t>(1, (std::uint64_t{1} << 18) / std::max<std::uint64_t>(dims, 1));
}

// normalize_rows(rows) -> (first zero row, first row that could not be scaled)
// In place, row by row with the writer's own routine. A row that is not zero
// but comes out zero had a sum of squares that overflows or underflows
// float32. -1 where there is none.
PyObject* normalize_rows(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    PyArrayObject* a = as_array(arg, 2, NPY_FLOAT32, "rows", true);
    if (a == nullptr) return nullptr;
    auto* data = static_cast<float*>(PyArray_DATA(a));
    const auto rows = static_cast<std::uint64_t>(PyArray_DIM(a, 0));
    const auto dims = static_cast<std::size_t>(PyArray_DIM(a, 1));
    std::atomic<std::uint64_t> first_zero{rows};
    std::atomic<std::uint64_t> first_lost{rows};
    auto lower = [](std::atomic<std::uint64_t>& at, std::uint64_t r) {
      std::uint64_t cur = at.load();
      while (r < cur && !at.compare_exchange_weak(cur, r)) {
      }
    };
    {
      const GilRelease released;
      over_rows(rows, rows_per_task(dims), [&](std::size_t b, std::size_t e) {
        for (std::size_t r = b; r < e; ++r) {
          float* x = data + r * dims;
          const bool zero = all_zero(x, dims);
          if (zero) lower(first_zero, r);
          // In place is safe: the routine reads the whole row before writing.
          // Zero rows go through it too: it writes them as +0.0.
          lumvero::prepare::normalize_row(x, x, dims);
          if (!zero && all_zero(x, dims)) lower(first_lost, r);
        }
      });
    }
    auto as_index = [&](std::uint64_t v) { return v == rows ? -1LL : static_cast<long long>(v); };
    return Py_BuildValue("(LL)", as_index(first_zero.load()), as_index(first_lost.load()));
  });
}

// first_non_finite(rows) -> flat index of the first NaN or infinity, or -1.
PyObject* first_non_finite(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    PyArrayObject* a = as_array(arg, 2, NPY_FLOAT32, "rows");
    if (a == nullptr) return nullptr;
    const auto* data = static_cast<const std::uint32_t*>(PyArray_DATA(a));
    const auto rows = static_cast<std::uint64_t>(PyArray_DIM(a, 0));
    const auto dims = static_cast<std::size_t>(PyArray_DIM(a, 1));
    const std::uint64_t total = rows * dims;
    std::atomic<std::uint64_t> first{total};
    {
      const GilRelease released;
      over_rows(rows, rows_per_task(dims), [&](std::size_t b, std::size_t e) {
        const std::uint32_t* p = data + b * dims;
        const std::size_t n = (e - b) * dims;
        // All exponent bits set: an infinity or a NaN. Branch-free so it vectorises.
        std::uint32_t any = 0;
        for (std::size_t i = 0; i < n; ++i) any |= ((p[i] & 0x7f800000u) == 0x7f800000u);
        if (any == 0) return;
        for (std::size_t i = 0; i < n; ++i) {
          if ((p[i] & 0x7f800000u) == 0x7f800000u) {
            std::uint64_t at = b * dims + i;
            std::uint64_t cur = first.load();
            while (at < cur && !first.compare_exchange_weak(cur, at)) {
            }
            return;
          }
        }
      });
    }
    const std::uint64_t f = first.load();
    return PyLong_FromLongLong(f == total ? -1LL : static_cast<long long>(f));
  });
}

PyObject* row_norms_sq(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    PyArrayObject* a = as_array(arg, 2, NPY_FLOAT32, "rows");
    if (a == nullptr) return nullptr;
    npy_intp n = PyArray_DIM(a, 0);
    Ref out = Ref::steal(PyArray_SimpleNew(1, &n, NPY_FLOAT64));
    if (out.get() == nullptr) return nullptr;
    const auto* data = static_cast<const float*>(PyArray_DATA(a));
    auto* norms = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    const auto dims = static_cast<std::uint64_t>(PyArray_DIM(a, 1));
    {
      const GilRelease released;
      lumvero::run_norms_sq(data, static_cast<std::uint64_t>(n), dims, norms);
    }
    return out.release();
  });
}

// blake3_hex(*buffers) -> the digest of their concatenation, so a file's
// hash comes from the bytes being written, not from reading it back.
// The buffers may be rows mapped from a file: the SIGBUS guard is put back in
// front first, as for a search.
PyObject* blake3_hex(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    lumvero::fault::install_handler();
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    std::vector<Py_buffer> views(static_cast<std::size_t>(n));
    std::vector<std::span<const unsigned char>> parts;
    Py_ssize_t held = 0;
    for (; held < n; ++held) {
      Py_buffer& v = views[static_cast<std::size_t>(held)];
      if (PyObject_GetBuffer(PyTuple_GET_ITEM(args, held), &v, PyBUF_C_CONTIGUOUS) < 0) break;
      parts.emplace_back(static_cast<const unsigned char*>(v.buf), static_cast<std::size_t>(v.len));
    }
    lumvero::Hash32 h{};
    if (held == n) {
      {
        const GilRelease released;
        h = lumvero::blake3_digest(parts);
      }
    }
    for (Py_ssize_t i = 0; i < held; ++i) PyBuffer_Release(&views[static_cast<std::size_t>(i)]);
    if (held < n) return nullptr;
    const std::string hex = lumvero::hash_hex(h);
    return PyUnicode_FromStringAndSize(hex.data(), static_cast<Py_ssize_t>(hex.size()));
  });
}

constexpr const char* kStreamCapsule = "lumvero_contrib._native.blake3_stream";

void free_stream(PyObject* capsule) {
  delete static_cast<lumvero::Blake3Stream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
}

// blake3_stream() -> capsule: a BLAKE3 digest fed by blake3_update, for a
// file whose bytes are hashed as they are written, never all in memory.
PyObject* blake3_stream(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto* stream = new lumvero::Blake3Stream();
    PyObject* capsule = PyCapsule_New(stream, kStreamCapsule, free_stream);
    if (capsule == nullptr) delete stream;
    return capsule;
  });
}

// blake3_update(stream, *buffers): feeds the buffers, in order. They may be
// rows mapped from a file: read under the SIGBUS guard, as blake3_hex does.
PyObject* blake3_update(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (n < 1) {
      PyErr_SetString(PyExc_TypeError, "blake3_update needs a stream");
      return nullptr;
    }
    auto* stream = static_cast<lumvero::Blake3Stream*>(
        PyCapsule_GetPointer(PyTuple_GET_ITEM(args, 0), kStreamCapsule));
    if (stream == nullptr) return nullptr;
    lumvero::fault::install_handler();
    for (Py_ssize_t i = 1; i < n; ++i) {
      Py_buffer view;
      if (PyObject_GetBuffer(PyTuple_GET_ITEM(args, i), &view, PyBUF_C_CONTIGUOUS) < 0)
        return nullptr;
      {
        const GilRelease released;
        stream->update(view.buf, static_cast<std::size_t>(view.len));
      }
      PyBuffer_Release(&view);
    }
    Py_RETURN_NONE;
  });
}

// blake3_stream_hex(stream) -> str: the digest of all fed so far.
PyObject* blake3_stream_hex(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    auto* stream = static_cast<lumvero::Blake3Stream*>(PyCapsule_GetPointer(arg, kStreamCapsule));
    if (stream == nullptr) return nullptr;
    const std::string hex = lumvero::hash_hex(stream->digest());
    return PyUnicode_FromStringAndSize(hex.data(), static_cast<Py_ssize_t>(hex.size()));
  });
}

constexpr const char* kCodesCapsule = "lumvero_contrib._native.run_codes";
constexpr const char* kMappingCapsule = "lumvero_contrib._native.mapping";

// What a map_rows capsule holds: the mapped row file and, once
// attach_sums gave them, the sums of its rows' sum blocks.
struct MappedRows {
  lumvero::MappedFile file;
  std::unique_ptr<lumvero::BlockSums> sums;
};

// The object at the end of an array's chain of bases.
PyObject* root_base(PyObject* o) {
  while (PyArray_Check(o) && PyArray_BASE(reinterpret_cast<PyArrayObject*>(o)) != nullptr)
    o = PyArray_BASE(reinterpret_cast<PyArrayObject*>(o));
  return o;
}

// The map_rows capsule under an array (or a view of one), else null.
MappedRows* mapped_rows(PyObject* array) {
  PyObject* o = root_base(array);
  if (!PyCapsule_IsValid(o, kMappingCapsule)) return nullptr;
  return static_cast<MappedRows*>(PyCapsule_GetPointer(o, kMappingCapsule));
}

void free_codes(PyObject* capsule) {
  delete static_cast<lumvero::RunCodes*>(PyCapsule_GetPointer(capsule, kCodesCapsule));
}

// run_codes() -> empty int8 codes for one run, built and
// extended by the searches that want it, freed with the capsule.
PyObject* run_codes(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto* codes = new lumvero::RunCodes();
    PyObject* capsule = PyCapsule_New(codes, kCodesCapsule, free_codes);
    if (capsule == nullptr) delete codes;
    return capsule;
  });
}

// The runs argument: (rows, norms_sq, count, first, codes) tuples; rows and
// norms_sq C-contiguous arrays of at least count rows (their length is the run's
// capacity), codes a run_codes() capsule or None. Positions increase
// from run to run without overlap and stay below 2^63; `end` is one past the
// last position.
bool parse_runs(PyObject* runs_obj, std::size_t dims, std::vector<lumvero::RowRun>& runs,
                std::uint64_t& end) {
  constexpr std::uint64_t kMaxPosition = std::numeric_limits<std::int64_t>::max();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(runs_obj); ++i) {
    PyObject* t = PyList_GET_ITEM(runs_obj, i);
    PyObject *rows_obj, *norms_obj, *codes_obj;
    unsigned long long count, first;
    if (!PyTuple_Check(t)) {
      PyErr_SetString(PyExc_TypeError,
                      "each run must be a tuple (rows, norms_sq, count, first, codes)");
      return false;
    }
    if (!PyArg_ParseTuple(t, "OOKKO", &rows_obj, &norms_obj, &count, &first, &codes_obj))
      return false;
    PyArrayObject* rows = as_array(rows_obj, 2, NPY_FLOAT32, "run rows");
    PyArrayObject* norms = as_array(norms_obj, 1, NPY_FLOAT64, "run norms");
    if (rows == nullptr || norms == nullptr) return false;
    const auto capacity = static_cast<std::uint64_t>(PyArray_DIM(rows, 0));
    if (static_cast<std::size_t>(PyArray_DIM(rows, 1)) != dims) {
      PyErr_SetString(PyExc_ValueError, "runs must match the queries' dims");
      return false;
    }
    if (count > capacity || static_cast<std::uint64_t>(PyArray_DIM(norms, 0)) < count) {
      PyErr_SetString(PyExc_ValueError, "a run's count exceeds its rows or norms");
      return false;
    }
    if (first < end || first > kMaxPosition || count > kMaxPosition - first) {
      PyErr_SetString(PyExc_ValueError,
                      "runs must have increasing, non-overlapping positions below 2**63");
      return false;
    }
    const lumvero::RunCodes* codes = nullptr;
    if (codes_obj != Py_None) {
      codes = static_cast<const lumvero::RunCodes*>(PyCapsule_GetPointer(codes_obj, kCodesCapsule));
      if (codes == nullptr) return false;
    }
    const MappedRows* mapped = mapped_rows(rows_obj);
    runs.push_back({static_cast<const float*>(PyArray_DATA(rows)),
                    static_cast<const double*>(PyArray_DATA(norms)), count, first, codes, capacity,
                    mapped != nullptr, mapped != nullptr ? mapped->sums.get() : nullptr});
    end = first + count;
  }
  return true;
}

// allowed: increasing positions inside the runs (the scans index rows by
// them without further checks).
bool parse_allowed(PyObject* allowed_obj, const std::vector<lumvero::RowRun>& runs,
                   lumvero::Selection& sel) {
  PyArrayObject* a = as_array(allowed_obj, 1, NPY_INT64, "allowed");
  if (a == nullptr) return false;
  const auto* pos = static_cast<const std::uint64_t*>(PyArray_DATA(a));
  const auto m = static_cast<std::size_t>(PyArray_DIM(a, 0));
  std::size_t r = 0;
  for (std::size_t j = 0; j < m; ++j) {
    if (j > 0 && pos[j] <= pos[j - 1]) r = runs.size();
    while (r < runs.size() && pos[j] >= runs[r].first + runs[r].rows) ++r;
    if (r == runs.size() || pos[j] < runs[r].first) {
      PyErr_SetString(PyExc_ValueError, "allowed must be increasing positions inside the runs");
      return false;
    }
  }
  sel.positions = pos;
  sel.count = m;
  sel.by_position = true;
  return true;
}

// live: a bool or uint8 flag per position, covering [0, end).
bool parse_live(PyObject* live_obj, std::uint64_t end, lumvero::Selection& sel) {
  const int type =
      PyArray_Check(live_obj) ? PyArray_TYPE(reinterpret_cast<PyArrayObject*>(live_obj)) : -1;
  if (type != NPY_BOOL && type != NPY_UINT8) {
    PyErr_SetString(PyExc_TypeError, "live must be a bool or uint8 array");
    return false;
  }
  PyArrayObject* l = as_array(live_obj, 1, type, "live");
  if (l == nullptr) return false;
  if (static_cast<std::uint64_t>(PyArray_DIM(l, 0)) < end) {
    PyErr_SetString(PyExc_ValueError, "live must cover every position");
    return false;
  }
  sel.live = static_cast<const std::uint8_t*>(PyArray_DATA(l));
  return true;
}

// Each query's list into k places, missing ones as position -1 and `worst`.
void fill_padded(const std::vector<std::vector<lumvero::ScoredRow>>& lists, std::size_t k,
                 float worst, float* scores, std::int64_t* positions) {
  for (std::size_t i = 0; i < lists.size(); ++i) {
    const auto& list = lists[i];
    for (std::size_t j = 0; j < k; ++j) {
      const bool have = j < list.size();
      scores[i * k + j] = have ? list[j].score : worst;
      positions[i * k + j] = have ? static_cast<std::int64_t>(list[j].idx) : -1;
    }
  }
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return false;
  const int rc = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}

bool fill_stats(PyObject* dict, const lumvero::SearchStats& s) {
  return set_item(dict, "prefiltered", PyBool_FromLong(s.prefiltered)) &&
         set_item(dict, "rows_scanned", PyLong_FromUnsignedLongLong(s.rows_scanned)) &&
         set_item(dict, "rows_rescored", PyLong_FromUnsignedLongLong(s.rows_rescored)) &&
         set_item(dict, "rows_fallback", PyLong_FromUnsignedLongLong(s.rows_fallback));
}

bool stats_dict_or_none(PyObject* stats_obj) {
  if (stats_obj == Py_None || PyDict_Check(stats_obj)) return true;
  PyErr_SetString(PyExc_TypeError, "stats must be a dict or None");
  return false;
}

bool k_not_negative(Py_ssize_t k) {
  if (k >= 0) return true;
  PyErr_SetString(PyExc_ValueError, "k must be >= 0");
  return false;
}

bool queries_finite(PyArrayObject* q) {
  const auto nq = static_cast<std::size_t>(PyArray_DIM(q, 0));
  const auto dims = static_cast<std::size_t>(PyArray_DIM(q, 1));
  const auto* qdata = static_cast<const float*>(PyArray_DATA(q));
  for (std::size_t i = 0; i < nq * dims; ++i) {
    if (!lumvero::is_usable(qdata[i])) {
      PyErr_SetString(PyExc_ValueError, "queries must be finite");
      return false;
    }
  }
  return true;
}

// The rows a search reads: the runs, then the allowed positions or (when
// there are none) the live flags. set.runs views `runs`, which must outlive
// it.
bool parse_row_set(PyObject* runs_obj, PyObject* live_obj, PyObject* allowed_obj, std::size_t dims,
                   Metric metric, std::vector<lumvero::RowRun>& runs, lumvero::RowSet& set) {
  std::uint64_t end = 0;
  if (!parse_runs(runs_obj, dims, runs, end)) return false;
  set.runs = runs;
  set.dims = dims;
  set.metric = metric;
  if (allowed_obj != Py_None) return parse_allowed(allowed_obj, runs, set.selection);
  if (live_obj != Py_None) return parse_live(live_obj, end, set.selection);
  return true;
}

// The search over the parsed rows into new (nq, k) arrays, missing places
// padded, the interpreter lock released; then the counts into stats_obj.
PyObject* search_set(const lumvero::RowSet& set, const float* qdata, std::size_t nq, Py_ssize_t k,
                     PyObject* stats_obj) {
  npy_intp shape[2] = {static_cast<npy_intp>(nq), static_cast<npy_intp>(k)};
  Ref scores = Ref::steal(PyArray_SimpleNew(2, shape, NPY_FLOAT32));
  Ref positions = Ref::steal(PyArray_SimpleNew(2, shape, NPY_INT64));
  if (scores.get() == nullptr || positions.get() == nullptr) return nullptr;
  auto* s_out = static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(scores.get())));
  auto* p_out =
      static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(positions.get())));
  const float worst = lumvero::is_distance(set.metric) ? std::numeric_limits<float>::infinity()
                                                       : -std::numeric_limits<float>::infinity();

  lumvero::SearchStats stats;
  lumvero::Result<std::vector<std::vector<lumvero::ScoredRow>>> res;
  {
    const GilRelease released;
    res = lumvero::core::search(set, qdata, nq, static_cast<std::size_t>(k), &stats);
    if (res) fill_padded(*res, static_cast<std::size_t>(k), worst, s_out, p_out);
  }
  if (!res) {
    PyErr_SetString(PyExc_RuntimeError, res.error().c_str());
    return nullptr;
  }
  if (stats_obj != Py_None && !fill_stats(stats_obj, stats)) return nullptr;
  return PyTuple_Pack(2, scores.get(), positions.get());
}

// search(runs, queries, k, metric, live, allowed, stats=None) -> (scores, positions)
//   runs:    list of (rows float32 (capacity, dims), norms_sq float64, count,
//            first position, run_codes() or None)
//   queries: float32 (nq, dims), finite
//   live:    uint8 or bool (positions,) or None
//   allowed: int64 sorted positions or None (then live is ignored)
//   stats:   a dict to receive the call's counts, or None
// Missing places hold position -1 and the metric's worst score. Runs with
// the GIL released: the caller keeps the arrays alive and unchanged over the
// rows and positions it passes.
PyObject* search(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    // Another library may have replaced the SIGBUS handler since the rows
    // were mapped.
    lumvero::fault::install_handler();
    PyObject *runs_obj, *q_obj, *live_obj, *allowed_obj, *stats_obj = Py_None;
    Py_ssize_t k;
    long metric_id;
    if (!PyArg_ParseTuple(args, "O!OnlOO|O", &PyList_Type, &runs_obj, &q_obj, &k, &metric_id,
                          &live_obj, &allowed_obj, &stats_obj))
      return nullptr;
    Metric metric;
    if (!metric_of(metric_id, &metric) || !stats_dict_or_none(stats_obj)) return nullptr;
    PyArrayObject* q = as_array(q_obj, 2, NPY_FLOAT32, "queries");
    if (q == nullptr || !k_not_negative(k) || !queries_finite(q)) return nullptr;
    const auto nq = static_cast<std::size_t>(PyArray_DIM(q, 0));
    const auto dims = static_cast<std::size_t>(PyArray_DIM(q, 1));
    const auto* qdata = static_cast<const float*>(PyArray_DATA(q));

    std::vector<lumvero::RowRun> runs;
    lumvero::RowSet set;
    if (!parse_row_set(runs_obj, live_obj, allowed_obj, dims, metric, runs, set)) return nullptr;
    return search_set(set, qdata, nq, k, stats_obj);
  });
}

// ids: None, or int64 ids by position covering every position of the runs.
bool parse_ids(PyObject* ids_obj, const std::vector<lumvero::RowRun>& runs,
               const std::int64_t** ids) {
  *ids = nullptr;
  if (ids_obj == Py_None) return true;
  PyArrayObject* a = as_array(ids_obj, 1, NPY_INT64, "ids");
  if (a == nullptr) return false;
  std::uint64_t end = 0;
  for (const lumvero::RowRun& run : runs) end = std::max(end, run.first + run.rows);
  if (static_cast<std::uint64_t>(PyArray_DIM(a, 0)) < end) {
    PyErr_SetString(PyExc_ValueError, "ids must cover every position");
    return false;
  }
  *ids = static_cast<const std::int64_t*>(PyArray_DATA(a));
  return true;
}

using FoundParts = std::vector<std::vector<lumvero::ScoredRow>>;

// Each query's rows one after another into new arrays, written in order
// straight from the parts found: lims (nq + 1,), scores and ids (the
// positions when `ids` is null).
PyObject* range_arrays(std::vector<FoundParts>& found, Metric metric, const std::int64_t* ids) {
  npy_intp nl = static_cast<npy_intp>(found.size() + 1);
  npy_intp total = 0;
  for (const FoundParts& parts : found) total += static_cast<npy_intp>(lumvero::found_count(parts));
  Ref lims = Ref::steal(PyArray_SimpleNew(1, &nl, NPY_INT64));
  Ref scores = Ref::steal(PyArray_SimpleNew(1, &total, NPY_FLOAT32));
  Ref out_ids = Ref::steal(PyArray_SimpleNew(1, &total, NPY_INT64));
  if (lims.get() == nullptr || scores.get() == nullptr || out_ids.get() == nullptr) return nullptr;
  auto* l_out =
      static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(lims.get())));
  auto* s_out = static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(scores.get())));
  auto* i_out =
      static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out_ids.get())));
  l_out[0] = 0;
  for (std::size_t i = 0; i < found.size(); ++i)
    l_out[i + 1] = l_out[i] + static_cast<std::int64_t>(lumvero::found_count(found[i]));
  lumvero::Status st;
  {
    const GilRelease released;
    for (std::size_t i = 0; i < found.size() && st; ++i)
      st = lumvero::write_found(std::move(found[i]), metric,
                                lumvero::FoundArrays{s_out + l_out[i], i_out + l_out[i], ids});
  }
  if (!st) {
    PyErr_SetString(PyExc_RuntimeError, st.error().c_str());
    return nullptr;
  }
  return PyTuple_Pack(3, lims.get(), scores.get(), out_ids.get());
}

// range_search(runs, queries, bound, metric, live, allowed, stats=None, ids=None)
//   -> (lims, scores, ids)
// As search, but every selected row whose score is at least `bound` (cosine,
// dot) or at most it (euclidean), compared as f64; bound is not NaN. Query
// i's rows are [lims[i], lims[i + 1]), best first, equal scores by lower
// position; each named by ids[position] when ids (int64, covering every
// position) is given, else by its position.
PyObject* range_search(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    lumvero::fault::install_handler();
    PyObject *runs_obj, *q_obj, *live_obj, *allowed_obj, *stats_obj = Py_None, *ids_obj = Py_None;
    double bound;
    long metric_id;
    if (!PyArg_ParseTuple(args, "O!OdlOO|OO", &PyList_Type, &runs_obj, &q_obj, &bound, &metric_id,
                          &live_obj, &allowed_obj, &stats_obj, &ids_obj))
      return nullptr;
    Metric metric;
    if (!metric_of(metric_id, &metric) || !stats_dict_or_none(stats_obj)) return nullptr;
    if (bound != bound) {
      PyErr_SetString(PyExc_ValueError, "bound must not be NaN");
      return nullptr;
    }
    PyArrayObject* q = as_array(q_obj, 2, NPY_FLOAT32, "queries");
    if (q == nullptr || !queries_finite(q)) return nullptr;
    const auto nq = static_cast<std::size_t>(PyArray_DIM(q, 0));
    const auto dims = static_cast<std::size_t>(PyArray_DIM(q, 1));
    std::vector<lumvero::RowRun> runs;
    lumvero::RowSet set;
    const std::int64_t* ids = nullptr;
    if (!parse_row_set(runs_obj, live_obj, allowed_obj, dims, metric, runs, set) ||
        !parse_ids(ids_obj, runs, &ids))
      return nullptr;
    lumvero::SearchStats stats;
    lumvero::Result<std::vector<FoundParts>> res;
    {
      const GilRelease released;
      res = lumvero::core::range_parts(set, static_cast<const float*>(PyArray_DATA(q)), nq,
                                       lumvero::Radius{bound, metric}, &stats);
    }
    if (!res) {
      PyErr_SetString(PyExc_RuntimeError, res.error().c_str());
      return nullptr;
    }
    if (stats_obj != Py_None && !fill_stats(stats_obj, stats)) return nullptr;
    return range_arrays(*res, metric, ids);
  });
}

// One group of search_groups: (members, live, allowed), its members query
// rows below nq not yet claimed by another group; the selection as search's.
bool parse_group(PyObject* item, const std::vector<lumvero::RowRun>& runs, std::uint64_t end,
                 std::vector<std::uint8_t>& claimed, lumvero::contrib::QueryGroup& group) {
  if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 3) {
    PyErr_SetString(PyExc_TypeError, "each group must be a tuple (members, live, allowed)");
    return false;
  }
  PyArrayObject* m = as_array(PyTuple_GET_ITEM(item, 0), 1, NPY_INT64, "members");
  if (m == nullptr) return false;
  group.members = static_cast<const std::int64_t*>(PyArray_DATA(m));
  group.count = static_cast<std::size_t>(PyArray_DIM(m, 0));
  for (std::size_t j = 0; j < group.count; ++j) {
    const std::int64_t row = group.members[j];
    if (row < 0 || static_cast<std::size_t>(row) >= claimed.size() || claimed[row] != 0) {
      PyErr_SetString(PyExc_ValueError, "every query must be in exactly one group");
      return false;
    }
    claimed[row] = 1;
  }
  PyObject* live = PyTuple_GET_ITEM(item, 1);
  PyObject* allowed = PyTuple_GET_ITEM(item, 2);
  if (allowed != Py_None) return parse_allowed(allowed, runs, group.selection);
  if (live != Py_None) return parse_live(live, end, group.selection);
  return true;
}

bool parse_groups(PyObject* groups_obj, const std::vector<lumvero::RowRun>& runs, std::uint64_t end,
                  std::size_t nq, std::vector<lumvero::contrib::QueryGroup>& groups) {
  std::vector<std::uint8_t> claimed(nq, 0);
  const Py_ssize_t n = PyTuple_GET_SIZE(groups_obj);
  groups.resize(static_cast<std::size_t>(n));
  for (Py_ssize_t g = 0; g < n; ++g) {
    if (!parse_group(PyTuple_GET_ITEM(groups_obj, g), runs, end, claimed, groups[g])) return false;
  }
  if (std::find(claimed.begin(), claimed.end(), 0) != claimed.end()) {
    PyErr_SetString(PyExc_ValueError, "every query must be in exactly one group");
    return false;
  }
  return true;
}

// search_groups(runs, queries, k, metric, groups, stats=None) -> (scores, positions)
//   groups: tuple of (members int64 query rows, live or None, allowed or
//           None), each selection as search's; every query in one group.
// Each query answered as search answers it over its group's selection; the
// groups run as tasks on the pool, the interpreter lock released.
PyObject* search_groups(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    lumvero::fault::install_handler();
    PyObject *runs_obj, *q_obj, *groups_obj, *stats_obj = Py_None;
    Py_ssize_t k;
    long metric_id;
    if (!PyArg_ParseTuple(args, "O!OnlO!|O", &PyList_Type, &runs_obj, &q_obj, &k, &metric_id,
                          &PyTuple_Type, &groups_obj, &stats_obj))
      return nullptr;
    Metric metric;
    if (!metric_of(metric_id, &metric) || !stats_dict_or_none(stats_obj)) return nullptr;
    PyArrayObject* q = as_array(q_obj, 2, NPY_FLOAT32, "queries");
    if (q == nullptr || !k_not_negative(k) || !queries_finite(q)) return nullptr;
    const auto nq = static_cast<std::size_t>(PyArray_DIM(q, 0));
    const auto dims = static_cast<std::size_t>(PyArray_DIM(q, 1));
    std::vector<lumvero::RowRun> runs;
    std::uint64_t end = 0;
    std::vector<lumvero::contrib::QueryGroup> groups;
    if (!parse_runs(runs_obj, dims, runs, end) || !parse_groups(groups_obj, runs, end, nq, groups))
      return nullptr;
    npy_intp shape[2] = {static_cast<npy_intp>(nq), static_cast<npy_intp>(k)};
    Ref scores = Ref::steal(PyArray_SimpleNew(2, shape, NPY_FLOAT32));
    Ref positions = Ref::steal(PyArray_SimpleNew(2, shape, NPY_INT64));
    if (scores.get() == nullptr || positions.get() == nullptr) return nullptr;
    lumvero::SearchStats stats;
    lumvero::Status done;
    {
      const GilRelease released;
      done = lumvero::contrib::search_groups(
          runs, dims, metric, static_cast<const float*>(PyArray_DATA(q)),
          static_cast<std::size_t>(k), groups,
          static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(scores.get()))),
          static_cast<std::int64_t*>(
              PyArray_DATA(reinterpret_cast<PyArrayObject*>(positions.get()))),
          &stats);
    }
    if (!done) {
      PyErr_SetString(PyExc_RuntimeError, done.error().c_str());
      return nullptr;
    }
    if (stats_obj != Py_None && !fill_stats(stats_obj, stats)) return nullptr;
    return PyTuple_Pack(2, scores.get(), positions.get());
  });
}

// prefilter_counters() -> dict of the process-wide pre-filter counters.
PyObject* prefilter_counters(PyObject*, PyObject*) {
  const lumvero::PrefilterCounters& c = lumvero::prefilter_counters();
  Ref d = Ref::steal(PyDict_New());
  if (d.get() == nullptr) return nullptr;
  auto put = [&](const char* key, const std::atomic<std::uint64_t>& v) {
    return set_item(d.get(), key, PyLong_FromUnsignedLongLong(v.load()));
  };
  if (!put("searches", c.searches) || !put("rows_scanned", c.rows_scanned) ||
      !put("rows_rescored", c.rows_rescored) || !put("rows_fallback", c.rows_fallback) ||
      !put("codes_built", c.codes_built) || !put("codes_refused", c.codes_refused) ||
      !put("codes_bytes", c.codes_bytes))
    return nullptr;
  return d.release();
}

// find_sorted(keys, needles) -> index of each needle in keys, -1 if absent.
// keys sorted ascending, no repeats. Needles in ascending order are found by
// galloping from the previous hit, so a sorted batch reads keys front to
// back; any other order is still answered, by a fresh search.
PyObject* find_sorted(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *keys_obj, *needles_obj;
    if (!PyArg_ParseTuple(args, "OO", &keys_obj, &needles_obj)) return nullptr;
    PyArrayObject* keys_a = as_array(keys_obj, 1, NPY_INT64, "keys");
    PyArrayObject* needles_a = as_array(needles_obj, 1, NPY_INT64, "needles");
    if (keys_a == nullptr || needles_a == nullptr) return nullptr;
    npy_intp m = PyArray_DIM(needles_a, 0);
    Ref out = Ref::steal(PyArray_SimpleNew(1, &m, NPY_INT64));
    if (out.get() == nullptr) return nullptr;
    const auto* keys = static_cast<const std::int64_t*>(PyArray_DATA(keys_a));
    const auto* needles = static_cast<const std::int64_t*>(PyArray_DATA(needles_a));
    auto* found =
        static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    const auto n = static_cast<std::size_t>(PyArray_DIM(keys_a, 0));
    {
      const GilRelease released;
      std::size_t lo = 0;
      for (npy_intp j = 0; j < m; ++j) {
        const std::int64_t v = needles[j];
        if (j > 0 && v < needles[j - 1]) lo = 0;
        std::size_t hi = lo;
        std::size_t step = 1;
        while (hi < n && keys[hi] < v) {
          lo = hi + 1;
          hi = lo + step;
          step <<= 1;
        }
        lo =
            static_cast<std::size_t>(std::lower_bound(keys + lo, keys + std::min(hi, n), v) - keys);
        found[j] = lo < n && keys[lo] == v ? static_cast<std::int64_t>(lo) : -1;
      }
    }
    return out.release();
  });
}

void free_mapping(PyObject* capsule) {
  delete static_cast<MappedRows*>(PyCapsule_GetPointer(capsule, kMappingCapsule));
}

// map_rows(path, rows, dims) -> read-only float32 array over the rows of an
// index file, mapped under the engine's fault guard: if the file is shortened
// while mapped, reads past its end give zeros and mapping_damaged() turns
// true, instead of the process dying of SIGBUS.
PyObject* map_rows(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* path_bytes = nullptr;
    Py_ssize_t rows, dims;
    int random = 0;
    if (!PyArg_ParseTuple(args, "O&nn|p", PyUnicode_FSConverter, &path_bytes, &rows, &dims,
                          &random))
      return nullptr;
    Ref path_ref = Ref::steal(path_bytes);
    if (rows < 0 || dims < 1) {
      PyErr_SetString(PyExc_ValueError, "rows must be >= 0 and dims >= 1");
      return nullptr;
    }
    auto file = lumvero::map_file(PyBytes_AS_STRING(path_bytes),
                                  random ? lumvero::MapAccess::Random : lumvero::MapAccess::Whole);
    if (!file) {
      PyErr_SetString(PyExc_OSError, file.error().c_str());
      return nullptr;
    }
    const std::uint64_t want =
        12 + std::uint64_t{4} * static_cast<std::uint64_t>(rows) * static_cast<std::uint64_t>(dims);
    if (file->length < want) {
      PyErr_Format(PyExc_ValueError, "%s holds fewer than %zd rows of %zd dims",
                   PyBytes_AS_STRING(path_bytes), rows, dims);
      return nullptr;
    }
    auto* owned = new MappedRows{std::move(*file), nullptr};
    Ref capsule = Ref::steal(PyCapsule_New(owned, kMappingCapsule, free_mapping));
    if (capsule.get() == nullptr) {
      delete owned;
      return nullptr;
    }
    npy_intp shape[2] = {rows, dims};
    void* data = const_cast<unsigned char*>(owned->file.mapping.bytes()) + 12;
    Ref array = Ref::steal(PyArray_New(&PyArray_Type, 2, shape, NPY_FLOAT32, nullptr, data, 0,
                                       NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr));
    if (array.get() == nullptr) return nullptr;
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0)
      return nullptr;
    return array.release();
  });
}

// mapping_damaged(array) -> bool: whether the file under an array from
// map_rows (or a view of one) was found shortened; False for other arrays.
PyObject* mapping_damaged(PyObject*, PyObject* arg) {
  PyObject* o = root_base(arg);
  if (PyCapsule_IsValid(o, kCodesCapsule)) {
    const auto* codes = static_cast<lumvero::RunCodes*>(PyCapsule_GetPointer(o, kCodesCapsule));
    return PyBool_FromLong(codes->damaged());
  }
  if (!PyCapsule_IsValid(o, kMappingCapsule)) Py_RETURN_FALSE;
  const auto* file = static_cast<MappedRows*>(PyCapsule_GetPointer(o, kMappingCapsule));
  return PyBool_FromLong(file->file.mapping.damaged());
}

// The sums a version-3 codes file (its whole bytes, as map_codes gave them
// and the caller checked) keeps for `rows` rows of `dims` dims; empty for a
// version-2 file; false with ValueError for bytes of another layout.
bool sums_of_codes(PyObject* codes_obj, std::uint64_t rows, std::uint64_t dims,
                   std::vector<lumvero::Hash32>& out) {
  namespace cf = lumvero::codes_file;
  PyArrayObject* a = as_array(codes_obj, 1, NPY_UINT8, "codes_file");
  if (a == nullptr) return false;
  const auto* b = static_cast<const unsigned char*>(PyArray_DATA(a));
  const auto length = static_cast<std::uint64_t>(PyArray_DIM(a, 0));
  std::uint32_t version = 0;
  if (length >= 12) std::memcpy(&version, b + 8, 4);  // little-endian, as written
  if (!cf::check_shape(rows, dims) ||
      (version != cf::kVersion && version != cf::kVersionWithoutSums) ||
      length != cf::layout(rows, dims, version).length) {
    PyErr_SetString(PyExc_ValueError, "codes_file is not a codes file of these rows");
    return false;
  }
  const cf::Layout l = cf::layout(rows, dims, version);
  out.resize(static_cast<std::size_t>(l.blocks));
  if (l.blocks != 0) std::memcpy(out.data(), b + l.sums, l.blocks * sizeof(lumvero::Hash32));
  return true;
}

// attach_sums(rows, codes_file) -> bool: gives the rows of a map_rows array
// (the whole array) the sums of their sum blocks kept in their codes file's
// bytes (copied: later edits of that file change nothing); from then on
// every search or copy checks each block on its first read. False for a
// codes file of version 2, which keeps no sums.
PyObject* attach_sums(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *rows_obj, *codes_obj;
    if (!PyArg_ParseTuple(args, "OO", &rows_obj, &codes_obj)) return nullptr;
    PyArrayObject* rows = as_array(rows_obj, 2, NPY_FLOAT32, "rows");
    if (rows == nullptr) return nullptr;
    MappedRows* m = mapped_rows(rows_obj);
    const auto* data = static_cast<const unsigned char*>(PyArray_DATA(rows));
    if (m == nullptr || m->sums != nullptr || data != m->file.mapping.bytes() + 12) {
      PyErr_SetString(PyExc_ValueError, "rows must be a whole map_rows array without sums");
      return nullptr;
    }
    const auto n = static_cast<std::uint64_t>(PyArray_DIM(rows, 0));
    const auto dims = static_cast<std::uint64_t>(PyArray_DIM(rows, 1));
    std::vector<lumvero::Hash32> sums;
    if (!sums_of_codes(codes_obj, n, dims, sums)) return nullptr;
    if (sums.empty()) Py_RETURN_FALSE;
    m->sums = std::make_unique<lumvero::BlockSums>(data, n * dims * sizeof(float), std::move(sums));
    Py_RETURN_TRUE;
  });
}

// changed_block(array) -> int: the first sum block of the row file under a
// map_rows array (or a view of one) found changed since it was saved, or -1.
PyObject* changed_block(PyObject*, PyObject* arg) {
  const MappedRows* m = mapped_rows(arg);
  return PyLong_FromLongLong(m != nullptr && m->sums != nullptr ? m->sums->failed() : -1);
}

// positions: None (every one of the n rows, pos left null) or int64 rows
// inside [0, n); m becomes how many.
bool parse_positions(PyObject* pos_obj, std::uint64_t n, const std::int64_t*& pos,
                     std::uint64_t& m) {
  if (pos_obj == Py_None) return true;
  PyArrayObject* p = as_array(pos_obj, 1, NPY_INT64, "positions");
  if (p == nullptr) return false;
  pos = static_cast<const std::int64_t*>(PyArray_DATA(p));
  m = static_cast<std::uint64_t>(PyArray_DIM(p, 0));
  for (std::uint64_t j = 0; j < m; ++j) {
    if (pos[j] < 0 || static_cast<std::uint64_t>(pos[j]) >= n) {
      PyErr_SetString(PyExc_ValueError, "positions must lie inside rows");
      return false;
    }
  }
  return true;
}

bool out_fits(PyArrayObject* out, std::uint64_t m, std::size_t dims) {
  if (static_cast<std::uint64_t>(PyArray_DIM(out, 0)) == m &&
      static_cast<std::size_t>(PyArray_DIM(out, 1)) == dims)
    return true;
  PyErr_SetString(PyExc_ValueError, "out must have one row of rows' dims per position");
  return false;
}

// The caller's buffers must not overlap: out is written while rows is read.
bool apart(PyArrayObject* rows, PyArrayObject* out) {
  if (PyArray_SIZE(out) == 0 || PyArray_SIZE(rows) == 0) return true;
  const auto* src_lo = static_cast<const char*>(PyArray_DATA(rows));
  const auto* dst_lo = static_cast<const char*>(PyArray_DATA(out));
  if (src_lo < dst_lo + PyArray_NBYTES(out) && dst_lo < src_lo + PyArray_NBYTES(rows)) {
    PyErr_SetString(PyExc_ValueError, "out must not overlap rows");
    return false;
  }
  return true;
}

// copy_rows(rows, positions, out): out[j] = rows[positions[j]] (positions
// None: every row), for rows that may be mapped from a file, checked
// against their sum blocks when they have sums (the caller looks at
// changed_block afterwards). The reads run
// under the engine's SIGBUS guard, put back in front first in case another
// library replaced it since the mapping was made: a file shortened meanwhile
// reads as zeros and marks the mapping damaged (the caller checks
// mapping_damaged) instead of ending the process. Positions are checked
// before anything is copied.
PyObject* copy_rows(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    lumvero::fault::install_handler();
    PyObject *rows_obj, *pos_obj, *out_obj;
    if (!PyArg_ParseTuple(args, "OOO", &rows_obj, &pos_obj, &out_obj)) return nullptr;
    PyArrayObject* rows = as_array(rows_obj, 2, NPY_FLOAT32, "rows");
    PyArrayObject* out = as_array(out_obj, 2, NPY_FLOAT32, "out", true);
    if (rows == nullptr || out == nullptr) return nullptr;
    const auto n = static_cast<std::uint64_t>(PyArray_DIM(rows, 0));
    const auto dims = static_cast<std::size_t>(PyArray_DIM(rows, 1));
    const std::int64_t* pos = nullptr;
    std::uint64_t m = n;
    if (!parse_positions(pos_obj, n, pos, m) || !out_fits(out, m, dims) || !apart(rows, out))
      return nullptr;
    const auto* src = static_cast<const float*>(PyArray_DATA(rows));
    auto* dst = static_cast<float*>(PyArray_DATA(out));
    const MappedRows* mapped = mapped_rows(rows_obj);
    const lumvero::BlockSums* sums = mapped != nullptr ? mapped->sums.get() : nullptr;
    const std::uint64_t row_bytes = dims * sizeof(float);
    auto copy = [&] {
      if (pos == nullptr) {
        if (sums != nullptr) (void)sums->check(src, n * row_bytes);
        std::copy(src, src + n * dims, dst);
        return;
      }
      for (std::uint64_t j = 0; j < m; ++j) {
        const float* row = src + static_cast<std::uint64_t>(pos[j]) * dims;
        if (sums != nullptr) (void)sums->check(row, row_bytes);
        std::copy(row, row + dims, dst + j * dims);
      }
    };
    {
      const GilRelease released;
      copy();
    }
    Py_RETURN_NONE;
  });
}

// An array over `n` items at `data` that keeps `owner` alive; steals nothing.
PyObject* array_over(PyObject* owner, const void* data, int ndim, npy_intp* shape, int type) {
  Ref array =
      Ref::steal(PyArray_New(&PyArray_Type, ndim, shape, type, nullptr, const_cast<void*>(data), 0,
                             NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr));
  if (array.get() == nullptr) return nullptr;
  Py_INCREF(owner);
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner) < 0)
    return nullptr;
  return array.release();
}

// A row file's BLAKE3 given as 32 bytes (bytes or any buffer).
bool parse_rows_hash(PyObject* obj, lumvero::codes_file::RowsHash& out) {
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) < 0) return false;
  const bool ok = view.len == static_cast<Py_ssize_t>(out.size());
  if (ok) std::memcpy(out.data(), view.buf, out.size());
  PyBuffer_Release(&view);
  if (!ok) PyErr_SetString(PyExc_ValueError, "made_from must be the row file's 32-byte BLAKE3");
  return ok;
}

// The sums of the rows' sum blocks, hashed on the pool, as a bytes object.
PyObject* block_sums_bytes(const float* data, std::uint64_t bytes) {
  const std::uint64_t blocks = lumvero::sum_blocks(bytes);
  Ref out = Ref::steal(PyBytes_FromStringAndSize(
      nullptr, static_cast<Py_ssize_t>(blocks * sizeof(lumvero::Hash32))));
  if (out.get() == nullptr) return nullptr;
  auto* sums = reinterpret_cast<lumvero::Hash32*>(PyBytes_AS_STRING(out.get()));
  const auto* b = reinterpret_cast<const unsigned char*>(data);
  {
    const GilRelease released;
    over_rows(blocks, 64, [&](std::size_t lo, std::size_t hi) {
      lumvero::compute_block_sums(b, bytes, lo, hi, sums);
    });
  }
  return out.release();
}

// A version codes_file writes (2 or 3); else false with ValueError.
bool written_version(unsigned int version) {
  if (version == lumvero::codes_file::kVersion ||
      version == lumvero::codes_file::kVersionWithoutSums)
    return true;
  PyErr_SetString(PyExc_ValueError, "version must be 2 or 3");
  return false;
}

// At least one row, of a width the pre-filter reads, and one norm per row;
// else false with ValueError.
bool codes_shape(std::uint64_t n, std::uint64_t dims, PyArrayObject* norms) {
  if (static_cast<std::uint64_t>(PyArray_DIM(norms, 0)) == n && n != 0 &&
      lumvero::codes_file::check_shape(n, dims))
    return true;
  PyErr_SetString(PyExc_ValueError,
                  "norms must have one entry per row, rows at least one, of a width the "
                  "pre-filter reads");
  return false;
}

// The padding and sums that end a codes file of layout l (none in
// version 2) appended to its parts.
bool append_sums(PyObject* parts, const float* data, std::uint64_t n, std::uint64_t dims,
                 const lumvero::codes_file::Layout& l) {
  if (l.blocks == 0) return true;
  const std::string pad(static_cast<std::size_t>(l.sums - (l.codes + n * l.width)), '\0');
  Ref pad_bytes =
      Ref::steal(PyBytes_FromStringAndSize(pad.data(), static_cast<Py_ssize_t>(pad.size())));
  Ref sums = Ref::steal(block_sums_bytes(data, n * dims * sizeof(float)));
  return pad_bytes.get() != nullptr && sums.get() != nullptr &&
         PyList_Append(parts, pad_bytes.get()) == 0 && PyList_Append(parts, sums.get()) == 0;
}

// codes_file(rows, norms, made_from, version=3) -> list of buffers: the
// codes file of the rows, in file order (header, norms, bounds, scales,
// padding, codes, then for version 3 padding and the sums of the rows' sum
// blocks), the codes quantised as a search would (bit for bit the lazily
// built codes'); made_from, the 32-byte BLAKE3 of the row file holding the
// rows, goes into the header. Version 2 (no sums) is what a directory saved
// before sums holds, for comparing with it. The rows may be mapped from a
// file: they are read under the SIGBUS guard (the caller checks
// mapping_damaged).
PyObject* codes_file(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    lumvero::fault::install_handler();
    PyObject *rows_obj, *norms_obj, *made_obj;
    unsigned int version = lumvero::codes_file::kVersion;
    if (!PyArg_ParseTuple(args, "OOO|I", &rows_obj, &norms_obj, &made_obj, &version))
      return nullptr;
    lumvero::codes_file::RowsHash made_from;
    if (!written_version(version) || !parse_rows_hash(made_obj, made_from)) return nullptr;
    PyArrayObject* rows = as_array(rows_obj, 2, NPY_FLOAT32, "rows");
    PyArrayObject* norms = as_array(norms_obj, 1, NPY_FLOAT64, "norms");
    if (rows == nullptr || norms == nullptr) return nullptr;
    const auto n = static_cast<std::uint64_t>(PyArray_DIM(rows, 0));
    const auto dims = static_cast<std::uint64_t>(PyArray_DIM(rows, 1));
    if (!codes_shape(n, dims, norms)) return nullptr;
    const auto* data = static_cast<const float*>(PyArray_DATA(rows));
    const auto* nsq = static_cast<const double*>(PyArray_DATA(norms));
    std::unique_ptr<lumvero::CompressedRows> built;
    {
      const GilRelease released;
      built = lumvero::CompressedRows::build(data, n, dims, nsq);
    }
    if (!built) {
      PyErr_SetString(PyExc_MemoryError, "not enough memory for the rows' codes");
      return nullptr;
    }
    const lumvero::codes_file::Layout l = lumvero::codes_file::layout(n, dims, version);
    const auto header = lumvero::codes_file::header(n, dims, made_from, version);
    auto* owned = new lumvero::RunCodes();
    const lumvero::CompressedRows* view = built.get();
    owned->adopt(std::move(built));
    Ref capsule = Ref::steal(PyCapsule_New(owned, kCodesCapsule, free_codes));
    if (capsule.get() == nullptr) {
      delete owned;
      return nullptr;
    }
    const std::string pad(static_cast<std::size_t>(l.codes - (l.scales + n * sizeof(float))), '\0');
    npy_intp bounds_shape[1] = {static_cast<npy_intp>(l.stripes * 3)};
    npy_intp scales_shape[1] = {static_cast<npy_intp>(n)};
    npy_intp codes_shape[2] = {static_cast<npy_intp>(n), static_cast<npy_intp>(l.width)};
    Ref bounds =
        Ref::steal(array_over(capsule.get(), view->stripes(), 1, bounds_shape, NPY_FLOAT64));
    Ref scales =
        Ref::steal(array_over(capsule.get(), view->scales(), 1, scales_shape, NPY_FLOAT32));
    Ref codes = Ref::steal(array_over(capsule.get(), view->codes(0), 2, codes_shape, NPY_UINT8));
    if (bounds.get() == nullptr || scales.get() == nullptr || codes.get() == nullptr)
      return nullptr;
    Ref parts = Ref::steal(Py_BuildValue("[y#OOOy#O]", reinterpret_cast<const char*>(header.data()),
                                         static_cast<Py_ssize_t>(header.size()), norms_obj,
                                         bounds.get(), scales.get(), pad.data(),
                                         static_cast<Py_ssize_t>(pad.size()), codes.get()));
    if (parts.get() == nullptr || !append_sums(parts.get(), data, n, dims, l)) return nullptr;
    return parts.release();
  });
}

// codes_file_head(rows, dims, made_from) -> [header, padding, tail]: the
// pieces of the codes file of `rows` rows that codes_file's pieces for a
// part of them (of version 2) do not give: the header, the zeros between
// scales and codes, and those between the codes and the sums. A file
// written as its rows arrive is the header, then the norms, bounds, scales
// of each part of whole stripes in order, the padding, each part's codes,
// the tail, then the sums of the rows' sum blocks (block_sums of the row
// data, in order): byte for byte codes_file of all the rows.
PyObject* codes_file_head(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    Py_ssize_t rows, dims;
    PyObject* made_obj;
    if (!PyArg_ParseTuple(args, "nnO", &rows, &dims, &made_obj)) return nullptr;
    lumvero::codes_file::RowsHash made_from;
    if (!parse_rows_hash(made_obj, made_from)) return nullptr;
    if (rows < 1 || dims < 1) {
      PyErr_SetString(PyExc_ValueError, "rows and dims must be >= 1");
      return nullptr;
    }
    const auto n = static_cast<std::uint64_t>(rows);
    const lumvero::codes_file::Layout l =
        lumvero::codes_file::layout(n, static_cast<std::uint64_t>(dims));
    const auto header = lumvero::codes_file::header(n, static_cast<std::uint64_t>(dims), made_from);
    const std::string pad(static_cast<std::size_t>(l.codes - (l.scales + n * sizeof(float))), '\0');
    const std::string tail(static_cast<std::size_t>(l.sums - (l.codes + n * l.width)), '\0');
    return Py_BuildValue("[y#y#y#]", reinterpret_cast<const char*>(header.data()),
                         static_cast<Py_ssize_t>(header.size()), pad.data(),
                         static_cast<Py_ssize_t>(pad.size()), tail.data(),
                         static_cast<Py_ssize_t>(tail.size()));
  });
}

// block_sums(buffer) -> bytes: the sums of the buffer's sum blocks (the
// last one may be short), 32 bytes each, hashed on the pool: a row file's
// rows fed a whole number of blocks at a time give the sums a codes file
// ends with.
PyObject* block_sums(PyObject*, PyObject* obj) {
  return guarded([&]() -> PyObject* {
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS) != 0) return nullptr;
    PyObject* out =
        block_sums_bytes(static_cast<const float*>(view.buf), static_cast<std::uint64_t>(view.len));
    PyBuffer_Release(&view);
    return out;
  });
}

// map_codes(path, rows, dims, made_from) -> (codes, norms_sq, file): a
// run_codes() holding the codes file mapped read-only under the fault guard,
// the rows' squared norms in it and the whole file's bytes (arrays that keep
// the codes alive). ValueError saying what is wrong with a file that is not
// the codes of these rows, made from the row file whose 32-byte BLAKE3 is
// made_from.
PyObject* map_codes(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* path_bytes = nullptr;
    PyObject* made_obj = nullptr;
    Py_ssize_t rows, dims;
    if (!PyArg_ParseTuple(args, "O&nnO", PyUnicode_FSConverter, &path_bytes, &rows, &dims,
                          &made_obj))
      return nullptr;
    Ref path_ref = Ref::steal(path_bytes);
    lumvero::codes_file::RowsHash made_from;
    if (!parse_rows_hash(made_obj, made_from)) return nullptr;
    if (rows < 1 || dims < 1) {
      PyErr_SetString(PyExc_ValueError, "rows and dims must be >= 1");
      return nullptr;
    }
    auto mapped =
        lumvero::codes_file::map(PyBytes_AS_STRING(path_bytes), static_cast<std::uint64_t>(rows),
                                 static_cast<std::uint64_t>(dims), made_from);
    if (!mapped) {
      PyErr_SetString(PyExc_ValueError, mapped.error().c_str());
      return nullptr;
    }
    auto* owned = new lumvero::RunCodes();
    owned->adopt(std::move(mapped->codes));
    Ref capsule = Ref::steal(PyCapsule_New(owned, kCodesCapsule, free_codes));
    if (capsule.get() == nullptr) {
      delete owned;
      return nullptr;
    }
    npy_intp norms_shape[1] = {rows};
    npy_intp bytes_shape[1] = {static_cast<npy_intp>(mapped->length)};
    Ref norms = Ref::steal(array_over(capsule.get(), mapped->norms, 1, norms_shape, NPY_FLOAT64));
    Ref bytes = Ref::steal(array_over(capsule.get(), mapped->bytes, 1, bytes_shape, NPY_UINT8));
    if (norms.get() == nullptr || bytes.get() == nullptr) return nullptr;
    return PyTuple_Pack(3, capsule.get(), norms.get(), bytes.get());
  });
}

PyObject* blas_core(PyObject*, PyObject*) {
  return PyUnicode_FromString(lumvero::blas_core_name());
}

// The pool's threads, and how many of them the work runs on now (the first
// call sizes the pool, through guarded).
PyObject* pool_size(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* { return PyLong_FromSize_t(lumvero::pool::pool_size()); });
}

PyObject* get_num_threads(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* { return PyLong_FromSize_t(lumvero::pool::thread_count()); });
}

// set_num_threads(n): at most n pool threads from the next call on; n >= 1,
// and a count at or above the pool's size means the whole pool (no limit).
PyObject* set_num_threads(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    if (PyBool_Check(arg)) {
      PyErr_SetString(PyExc_TypeError, "n must be an integer, not bool");
      return nullptr;
    }
    Ref n = Ref::steal(PyNumber_Index(arg));
    if (!n) return nullptr;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return nullptr;
    if (overflow < 0 || (overflow == 0 && v < 1)) {
      PyErr_SetString(PyExc_ValueError, "n must be at least 1");
      return nullptr;
    }
    const std::size_t size = lumvero::pool::pool_size();
    const bool whole = overflow > 0 || static_cast<unsigned long long>(v) >= size;
    lumvero::pool::set_limit(whole ? 0 : static_cast<std::size_t>(v));
    Py_RETURN_NONE;
  });
}

PyMethodDef methods[] = {
    {"normalize_rows", normalize_rows, METH_O,
     "normalize_rows(rows) -> (first_zero, first_lost)\n\nScales each float32 row to unit "
     "length in place, exactly as the index writer does; returns the first zero row and the "
     "first row that could not be scaled (it became zero), -1 for none."},
    {"first_non_finite", first_non_finite, METH_O,
     "first_non_finite(rows) -> int\n\nFlat index of the first NaN or infinity, -1 for none."},
    {"row_norms_sq", row_norms_sq, METH_O,
     "row_norms_sq(rows) -> ndarray\n\nPer-row squared norms in float64, as the loader computes "
     "them."},
    {"blake3_hex", blake3_hex, METH_VARARGS,
     "blake3_hex(*buffers) -> str\n\nBLAKE3 digest of the buffers' concatenation, 64 hex "
     "digits."},
    {"search", search, METH_VARARGS,
     "search(runs, queries, k, metric_id, live, allowed, stats=None) -> (scores, positions)\n\n"
     "Exact top-k over in-memory row runs (rows, norms_sq, count, first, codes), removed or "
     "disallowed rows skipped inside the scan; the interpreter lock is released while it runs. "
     "A dict passed as stats receives the call's counts: prefiltered, rows_scanned, "
     "rows_rescored, rows_fallback."},
    {"range_search", range_search, METH_VARARGS,
     "range_search(runs, queries, bound, metric_id, live, allowed, stats=None, ids=None) -> "
     "(lims, scores, ids)\n\nEvery selected row whose score is at least bound (cosine, dot) or "
     "at most it (euclidean), compared as float64, best first; query i's rows are "
     "[lims[i], lims[i + 1]), each named by ids[position] (int64 ids by position) or, without "
     "ids, by its position. Other arguments and stats as for search."},
    {"run_codes", run_codes, METH_NOARGS,
     "run_codes() -> capsule\n\nEmpty int8 codes for one run, built and extended "
     "by the searches that use the pre-filter."},
    {"search_groups", search_groups, METH_VARARGS,
     "search_groups(runs, queries, k, metric_id, groups, stats=None) -> (scores, positions)\n\n"
     "Each query searched as search searches it over its group's selection; groups is a tuple "
     "of (members, live, allowed), every query in exactly one group, the groups run on the "
     "pool."},
    {"prefilter_counters", prefilter_counters, METH_NOARGS,
     "prefilter_counters() -> dict\n\nProcess-wide debug counters of the compressed pre-filter: "
     "searches, rows_scanned, rows_rescored, rows_fallback, codes_built, codes_refused, "
     "codes_bytes."},
    {"find_sorted", find_sorted, METH_VARARGS,
     "find_sorted(keys, needles) -> ndarray\n\nIndex of each needle in the sorted keys, -1 "
     "when absent."},
    {"map_rows", map_rows, METH_VARARGS,
     "map_rows(path, rows, dims, random=False) -> ndarray\n\nThe rows of an index file, mapped "
     "read-only under the engine's guard against the file being shortened; random: read a few "
     "rows at a time (no read-ahead, not read in up front)."},
    {"mapping_damaged", mapping_damaged, METH_O,
     "mapping_damaged(array) -> bool\n\nWhether the file under a map_rows array was found "
     "shortened since it was mapped."},
    {"copy_rows", copy_rows, METH_VARARGS,
     "copy_rows(rows, positions, out) -> None\n\nCopies the rows at the positions (None: all) "
     "into out, under the engine's guard against a mapped file being shortened."},
    {"codes_file", codes_file, METH_VARARGS,
     "codes_file(rows, norms, made_from, version=3) -> list\n\nThe codes file of the rows as "
     "buffers in file order, quantised as the pre-filter's own codes, bound to the row file "
     "whose 32-byte BLAKE3 is made_from; version 3 ends with the sums of the rows' sum blocks, "
     "version 2 has none."},
    {"attach_sums", attach_sums, METH_VARARGS,
     "attach_sums(rows, codes_file) -> bool\n\nGives a map_rows array the sums of its sum "
     "blocks from its codes file's bytes; searches and copies then check each block on its "
     "first read. False for a codes file without sums."},
    {"changed_block", changed_block, METH_O,
     "changed_block(array) -> int\n\nThe first sum block of the row file under a map_rows "
     "array found changed since it was saved, or -1."},
    {"codes_file_head", codes_file_head, METH_VARARGS,
     "codes_file_head(rows, dims, made_from) -> list\n\nThe header, the padding after the "
     "scales and the padding before the sums of the codes file of rows x dims rows made from "
     "the row file whose 32-byte BLAKE3 is made_from: with codes_file's sections of its parts "
     "(version 2) and block_sums of the rows, the file written piece by piece."},
    {"block_sums", block_sums, METH_O,
     "block_sums(buffer) -> bytes\n\nThe BLAKE3 of each 64 KiB sum block of the buffer (the "
     "last may be short), 32 bytes each: what a codes file ends with, for the rows it was fed."},
    {"blake3_stream", blake3_stream, METH_NOARGS,
     "blake3_stream() -> capsule\n\nA BLAKE3 digest fed in pieces by blake3_update."},
    {"blake3_update", blake3_update, METH_VARARGS,
     "blake3_update(stream, *buffers) -> None\n\nFeeds the buffers to the stream, in order."},
    {"blake3_stream_hex", blake3_stream_hex, METH_O,
     "blake3_stream_hex(stream) -> str\n\nBLAKE3 digest of all the stream was fed, 64 hex "
     "digits; it may be fed on."},
    {"map_codes", map_codes, METH_VARARGS,
     "map_codes(path, rows, dims, made_from) -> (codes, norms_sq, file)\n\nA codes file made "
     "from the row file whose 32-byte BLAKE3 is made_from, mapped read-only under the engine's "
     "guard, as run codes with the rows' squared norms and its bytes."},
    {"blas_core", blas_core, METH_NOARGS, "blas_core() -> str\n\nThe kernel set BLAS picked."},
    {"pool_size", pool_size, METH_NOARGS,
     "pool_size() -> int\n\nThreads of the process's worker pool (fixed once created)."},
    {"get_num_threads", get_num_threads, METH_NOARGS,
     "get_num_threads() -> int\n\nThreads the parallel work runs on now: the pool's size or "
     "the lower limit set."},
    {"set_num_threads", set_num_threads, METH_O,
     "set_num_threads(n) -> None\n\nRuns the parallel work on at most n (>= 1) of the pool's "
     "threads, process-wide, from the next call on; n at or above the pool's size lifts the "
     "limit."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "lumvero_contrib._native",
    "Native support for lumvero_contrib.Index (private).",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native() {
  if (_import_array() < 0) return nullptr;
  lumvero::ensure_blas_single_threaded();
  return PyModule_Create(&module_def);
}
