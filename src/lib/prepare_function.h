// The module function py_prepare_bin_from_embeddings.
#pragma once

#include "lib/py_ref.h"

namespace lumvero::py {

PyMethodDef* prepare_function_def();

}  // namespace lumvero::py
