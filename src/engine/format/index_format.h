// The index file layout, shared by the writer (src/prepare) and the reader.
//
// A 12-byte little-endian header (dims, rows, metric id as u32) followed by
// rows x dims binary32 values in row-major order. No magic, no version, no
// padding: row r starts at byte 12 + 4 * r * dims.
#pragma once

#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

namespace lumvero {

enum class Metric : std::uint8_t { Cosine = 0, Dot = 1, Euclidean = 2 };

inline constexpr std::uint64_t kHeaderBytes = 12;
inline constexpr std::uint64_t kMaxDims = 10000;
inline constexpr std::uint64_t kMaxRows = 50000000;
inline constexpr std::uint32_t kMetricIdCount = 3;

inline constexpr std::string_view metric_name(Metric m) {
  switch (m) {
    case Metric::Cosine:
      return "cosine";
    case Metric::Dot:
      return "dot";
    case Metric::Euclidean:
      return "euclidean";
  }
  return "cosine";
}

// Distance metrics rank lower scores first; every other id is a similarity.
inline constexpr bool is_distance(Metric m) { return m == Metric::Euclidean; }

struct IndexHeader {
  std::uint32_t dims;
  std::uint32_t rows;
  std::uint32_t metric_id;
};

inline std::uint32_t load_u32_le(const unsigned char* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}

inline void store_u32_le(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

inline IndexHeader read_header(const unsigned char* p) {
  return {load_u32_le(p), load_u32_le(p + 4), load_u32_le(p + 8)};
}

inline void write_header(unsigned char* p, const IndexHeader& h) {
  store_u32_le(p, h.dims);
  store_u32_le(p + 4, h.rows);
  store_u32_le(p + 8, h.metric_id);
}

// Bytes a file needs for its header and data. Two 32-bit header fields can
// ask for more than 64 bits' worth (4 * (2^32 - 1)^2 + 12), so the count is
// 128-bit and never wraps or saturates.
inline unsigned __int128 required_file_bytes(std::uint32_t dims, std::uint32_t rows) {
  return static_cast<unsigned __int128>(dims) * rows * 4 + kHeaderBytes;
}

// Decimal digits of a 128-bit count.
inline std::string u128_to_string(unsigned __int128 v) {
  char digits[40];
  std::size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + static_cast<int>(v % 10));
    v /= 10;
  } while (v != 0);
  return std::string(std::make_reverse_iterator(digits + n), std::make_reverse_iterator(digits));
}

}  // namespace lumvero
