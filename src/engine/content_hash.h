// BLAKE3 digests (plain unkeyed mode, 32-byte output) and their rendering.
#pragma once

#include <cstddef>
#include <string>

#include "engine/search_engine.h"

namespace lumvero {

Hash32 blake3_digest(const void* data, std::size_t length);

}  // namespace lumvero
