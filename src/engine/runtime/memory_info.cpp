// MemAvailable read from /proc/meminfo.
#include "engine/runtime/memory_info.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace lumvero {

double available_memory_bytes(const char* meminfo_path) {
  constexpr double kFallback = 8589934592.0;
  std::ifstream in(meminfo_path);
  if (!in) return kFallback;
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("MemAvailable:", 0) != 0) continue;
    std::istringstream tokens(line);
    std::string label, value;
    tokens >> label >> value;
    char* end = nullptr;
    errno = 0;
    const double kib = std::strtod(value.c_str(), &end);
    if (!value.empty() && end == value.c_str() + value.size()) return kib * 1024.0;
  }
  return kFallback;
}

}  // namespace lumvero
