// PyQueryResult and PyQueryItem: read-only Python views of QueryResult and
// ScoredRow. Both own their data and never refer back to the engine.
#pragma once

#include "engine/search/query_result.h"
#include "lib/py_ref.h"

namespace lumvero::py {

// The type objects, created once per process on first use.
PyTypeObject* query_result_type();
PyTypeObject* query_item_type();

// A new PyQueryResult taking over the record.
PyObject* wrap_query_result(QueryResult&& result);

}  // namespace lumvero::py
