// explain and compare: per-block breakdowns of a score as dictionaries.
#include <array>
#include <span>

#include "engine/certify/explain.h"
#include "lib/convert.h"
#include "lib/engine_object.h"
#include "lib/errors.h"
#include "lib/query_common.h"

namespace lumvero::py {

namespace {

struct ExplainCall {
  std::shared_ptr<const SearchEngine> engine;
  std::span<const float> query;
  std::array<std::uint64_t, 4> ints{};  // the integer arguments, in parameter order
};

// Parses (query, names...) -- all required -- converting in parameter order.
template <std::size_t N>
std::optional<ExplainCall> begin_explain_call(PyObject* self, PyObject* args, PyObject* kwargs,
                                              const char* function,
                                              const std::array<const char*, N>& names) {
  static_assert(N == 3 || N == 4);
  const char* kwlist[N + 2] = {"query"};
  for (std::size_t i = 0; i < N; ++i) kwlist[i + 1] = names[i];
  kwlist[N + 1] = nullptr;
  const std::string format = std::string(N + 1, 'O') + ":" + function;
  std::array<PyObject*, N + 1> objs{};
  bool parsed = false;
  if constexpr (N == 3)
    parsed = PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(kwlist),
                                         &objs[0], &objs[1], &objs[2], &objs[3]);
  else
    parsed = PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(kwlist),
                                         &objs[0], &objs[1], &objs[2], &objs[3], &objs[4]);
  if (!parsed) return std::nullopt;
  ExplainCall call;
  call.engine = hold_engine(self);
  if (!call.engine) return std::nullopt;
  PyArrayObject* arr = to_f32_array(objs[0], "query", 1);
  if (arr == nullptr) return std::nullopt;
  for (std::size_t i = 0; i < N; ++i) {
    const auto v = to_u64(objs[i + 1], names[i]);
    if (!v) return std::nullopt;
    call.ints[i] = *v;
  }
  arr = checked_f32_array(objs[0], "query", 1);
  if (arr == nullptr) return std::nullopt;
  call.query = {array_floats(arr), static_cast<std::size_t>(PyArray_SIZE(arr))};
  return call;
}

PyObject* float_of(float v) { return PyFloat_FromDouble(static_cast<double>(v)); }
PyObject* u64_of(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

PyObject* block_list(const std::vector<BlockContribution>& blocks) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(blocks.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const auto& b = blocks[i];
    Ref entry = Ref::steal(PyDict_New());
    if (!entry || !dict_put(entry.get(), "block_id", u64_of(b.block_id)) ||
        !dict_put(entry.get(), "start", u64_of(b.start)) ||
        !dict_put(entry.get(), "end", u64_of(b.end)) ||
        !dict_put(entry.get(), "contribution", float_of(b.contribution)))
      return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry.release());
  }
  return list.release();
}

}  // namespace

PyObject* explain(PyObject* self, PyObject* args, PyObject* kwargs) {
  auto call =
      begin_explain_call<3>(self, args, kwargs, "explain", {"idx", "block_size", "top_blocks"});
  if (!call) return nullptr;
  const auto [idx, block_size, top_blocks, unused] = call->ints;
  auto e = or_raise(lumvero::explain(*call->engine, call->query, idx, block_size, top_blocks));
  if (!e) return nullptr;
  Ref d = Ref::steal(PyDict_New());
  if (!d || !dict_put(d.get(), "score_total", float_of(e->score_total)) ||
      !dict_put(d.get(), "block_size", u64_of(block_size)) ||
      !dict_put(d.get(), "top_blocks", u64_of(top_blocks)) ||
      !dict_put(d.get(), "num_blocks", u64_of(e->num_blocks)) ||
      !dict_put(d.get(), "dims", u64_of(call->query.size())) ||
      !dict_put(d.get(), "blocks", block_list(e->blocks)) ||
      !dict_put(d.get(), "residual", float_of(e->residual)))
    return nullptr;
  return d.release();
}

PyObject* compare(PyObject* self, PyObject* args, PyObject* kwargs) {
  auto call = begin_explain_call<4>(self, args, kwargs, "compare",
                                    {"idx_a", "idx_b", "block_size", "top_blocks"});
  if (!call) return nullptr;
  const auto [idx_a, idx_b, block_size, top_blocks] = call->ints;
  auto c =
      or_raise(lumvero::compare(*call->engine, call->query, idx_a, idx_b, block_size, top_blocks));
  if (!c) return nullptr;
  Ref d = Ref::steal(PyDict_New());
  if (!d || !dict_put(d.get(), "score_a", float_of(c->score_a)) ||
      !dict_put(d.get(), "score_b", float_of(c->score_b)) ||
      !dict_put(d.get(), "delta_score_space", float_of(c->delta_score_space)) ||
      !dict_put(d.get(), "block_size", u64_of(block_size)) ||
      !dict_put(d.get(), "top_blocks", u64_of(top_blocks)) ||
      !dict_put(d.get(), "num_blocks", u64_of(c->num_blocks)) ||
      !dict_put(d.get(), "dims", u64_of(call->query.size())) ||
      !dict_put(d.get(), "blocks", block_list(c->blocks)) ||
      !dict_put(d.get(), "residual", float_of(c->residual)))
    return nullptr;
  return d.release();
}

}  // namespace lumvero::py
