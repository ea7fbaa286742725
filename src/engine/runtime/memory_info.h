// How much memory the system can still hand out, for the checks that decide
// whether a large allocation (an index being written, the int8 codes of
// the rows) should be made at all.
#pragma once

namespace lumvero {

// MemAvailable from a meminfo-format file, in bytes; 8 GiB when unreadable.
double available_memory_bytes(const char* meminfo_path = "/proc/meminfo");

}  // namespace lumvero
