// A whole file mapped read-only under the fault guard of engine/format/mapping.h,
// with its length: how index files are opened for reading.
#pragma once

#include <cstdint>
#include <string>

#include "engine/format/mapping.h"
#include "engine/status.h"

namespace lumvero {

struct MappedFile {
  Mapping mapping;
  std::uint64_t length = 0;
};

// How the mapping will be read, which decides what the kernel is told.
enum class MapAccess {
  Whole,   // read whole at once (opening an index): pages populated up front
  Random,  // a few rows at a time (rows beside their codes): no read-ahead
  Ahead,   // read whole soon, kept (codes): read-ahead started, not waited for
};

// Maps the regular file at `path` (an empty file as one byte, so the mapping
// itself never fails on it). Fails with "Failed to open file {path}: ..." or
// "Failed to mmap file: ..." texts.
Result<MappedFile> map_file(const std::string& path, MapAccess access = MapAccess::Whole);

}  // namespace lumvero
