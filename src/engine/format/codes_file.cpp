// Writing the header of a codes file and mapping one back, checked.
#include "engine/format/codes_file.h"

#include <cstring>
#include <limits>
#include <string_view>

#include "engine/format/block_sums.h"
#include "engine/format/mapped_file.h"

namespace lumvero::codes_file {

namespace {

constexpr std::string_view kMagic{"LVCODES\0", 8};

std::uint64_t up_to(std::uint64_t v, std::uint64_t step) { return (v + step - 1) / step * step; }

void put32(unsigned char* at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(v >> (8 * i));
}
void put64(unsigned char* at, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<unsigned char>(v >> (8 * i));
}
std::uint64_t get(const unsigned char* at, int n) {
  std::uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | at[i];
  return v;
}

}  // namespace

Layout layout(std::uint64_t rows, std::uint64_t dims, std::uint32_t version) {
  Layout l;
  l.width = CompressedRows::width_for(dims);
  l.stripes = (rows + CompressedRows::kStripeRows - 1) / CompressedRows::kStripeRows;
  l.norms = kHeaderBytes;
  l.bounds = l.norms + rows * sizeof(double);
  l.scales = l.bounds + l.stripes * sizeof(StripeBounds);
  l.codes = up_to(l.scales + rows * sizeof(float), 64);
  l.sums = l.length = l.codes + rows * l.width;
  if (version == kVersionWithoutSums) return l;
  l.blocks = sum_blocks(rows * dims * sizeof(float));
  l.sums = up_to(l.sums, 64);
  l.length = l.sums + l.blocks * sizeof(Hash32);
  return l;
}

std::array<unsigned char, kHeaderBytes> header(std::uint64_t rows, std::uint64_t dims,
                                               const RowsHash& made_from, std::uint32_t version) {
  const Layout l = layout(rows, dims, version);
  std::array<unsigned char, kHeaderBytes> h{};
  std::memcpy(h.data(), kMagic.data(), kMagic.size());
  put32(h.data() + 8, version);
  put32(h.data() + 12, kHeaderBytes);
  put32(h.data() + 16, static_cast<std::uint32_t>(dims));
  put32(h.data() + 20, static_cast<std::uint32_t>(l.width));
  put64(h.data() + 24, rows);
  put32(h.data() + 32, static_cast<std::uint32_t>(CompressedRows::kStripeRows));
  put32(h.data() + 36, static_cast<std::uint32_t>(l.stripes));
  std::memcpy(h.data() + kRowsHashAt, made_from.data(), made_from.size());
  if (version == kVersionWithoutSums) return h;
  put32(h.data() + kSumBlockAt, static_cast<std::uint32_t>(kSumBlockBytes));
  put64(h.data() + kSumBlockAt + 8, l.blocks);
  return h;
}

Status check_shape(std::uint64_t rows, std::uint64_t dims) {
  if (dims == 0 || dims > 0xffffffffu || rows > (std::uint64_t{1} << 40) ||
      (rows != 0 && dims > (std::uint64_t{1} << 60) / rows))
    return fail("rows or dims out of range");
  if (CompressedRows::query_code_limit(CompressedRows::width_for(dims)) == 0)
    return fail("rows of this width are not pre-filtered");
  return {};
}

namespace {

// The magic and the version, read before the length is checked so that a
// file of another version (another layout, another length) says so.
Result<std::uint32_t> check_kind(const unsigned char* b) {
  if (std::memcmp(b, kMagic.data(), kMagic.size()) != 0) return fail("is not a codes file");
  const std::uint64_t version = get(b + 8, 4);
  if (version == 1) return fail("has version 1, which does not name the rows it was made from");
  if (version != kVersion && version != kVersionWithoutSums)
    return fail("has version " + std::to_string(version) + "; this version reads " +
                std::to_string(kVersionWithoutSums) + " and " + std::to_string(kVersion));
  return static_cast<std::uint32_t>(version);
}

// The whole header as written for these rows, reserved zeros included; when
// it differs, the first field that says why. The magic and version are
// checked already.
Status check_header(const unsigned char* b, std::uint64_t rows, std::uint64_t dims,
                    const RowsHash& made_from, std::uint32_t version) {
  const auto want = header(rows, dims, made_from, version);
  if (std::memcmp(b, want.data(), kHeaderBytes) == 0) return {};
  if (version == kVersion && get(b + kSumBlockAt, 4) != kSumBlockBytes)
    return fail("has sum blocks of " + std::to_string(get(b + kSumBlockAt, 4)) +
                " bytes; this version reads " + std::to_string(kSumBlockBytes));
  constexpr std::size_t kHashEnd = kRowsHashAt + sizeof(RowsHash);
  if (std::memcmp(b, want.data(), kRowsHashAt) != 0 ||
      std::memcmp(b + kHashEnd, want.data() + kHashEnd, kHeaderBytes - kHashEnd) != 0)
    return fail("has a header that does not describe " + std::to_string(rows) + " rows of " +
                std::to_string(dims) + " dims");
  return fail("is not the codes of its row file (it was made from rows of another BLAKE3 hash)");
}

Status check_padding(const unsigned char* b, const Layout& l, std::uint64_t rows) {
  for (std::uint64_t at = l.scales + rows * sizeof(float); at < l.codes; ++at)
    if (b[at] != 0) return fail("has non-zero padding");
  for (std::uint64_t at = l.codes + rows * l.width; at < l.sums; ++at)
    if (b[at] != 0) return fail("has non-zero padding");
  return {};
}

// Bounds outside [0, inf) would let the pre-filter drop rows it must keep.
Status check_bounds(const StripeBounds* bounds, std::uint64_t stripes) {
  for (std::uint64_t i = 0; i < stripes; ++i) {
    const StripeBounds& r = bounds[i];
    if (!(r.resid >= 0.0 && r.code_norm >= 0.0 && r.norm_sq >= 0.0) ||
        !(r.resid + r.code_norm + r.norm_sq < std::numeric_limits<double>::infinity()))
      return fail("has bounds that are negative or not finite");
  }
  return {};
}

}  // namespace

Result<Mapped> map(const std::string& path, std::uint64_t rows, std::uint64_t dims,
                   const RowsHash& made_from) {
  static_assert(sizeof(StripeBounds) == 3 * sizeof(double));
  if (Status s = check_shape(rows, dims); !s) return fail(std::move(s.error()));
  auto file = map_file(path, MapAccess::Ahead);
  if (!file) return fail(std::move(file.error()));
  const unsigned char* b = file->mapping.bytes();
  std::uint32_t version = kVersion;
  if (file->length >= 12) {
    auto kind = check_kind(b);
    if (!kind) return fail(std::move(kind.error()));
    version = *kind;
  }
  // The length against the layout of the file's version before any field
  // past the version is read: the sums' count follows from rows and dims.
  const Layout l = layout(rows, dims, version);
  if (file->length != l.length)
    return fail("is " + std::to_string(file->length) + " bytes long, not " +
                std::to_string(l.length));
  if (Status s = check_header(b, rows, dims, made_from, version); !s)
    return fail(std::move(s.error()));
  if (Status s = check_padding(b, l, rows); !s) return fail(std::move(s.error()));
  const auto* bounds = reinterpret_cast<const StripeBounds*>(b + l.bounds);
  if (Status s = check_bounds(bounds, l.stripes); !s) return fail(std::move(s.error()));
  if (file->mapping.damaged()) return fail("became shorter while it was read");
  Mapped out;
  out.norms = reinterpret_cast<const double*>(b + l.norms);
  out.bytes = b;
  out.length = l.length;
  out.sums = l.blocks != 0 ? b + l.sums : nullptr;
  out.blocks = l.blocks;
  const auto* codes = reinterpret_cast<const std::uint8_t*>(b + l.codes);
  const auto* scales = reinterpret_cast<const float*>(b + l.scales);
  out.codes = CompressedRows::over(std::move(file->mapping), rows, dims, codes, scales, bounds);
  return out;
}

}  // namespace lumvero::codes_file
