// The codes file read back as written, and refused, with what is wrong, when a
// header field is not the one expected: another row file's hash, another
// version (also in its own, shorter layout), another shape, reserved bytes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine/format/codes_file.h"
#include "engine/format/row_norms.h"
#include "engine/prefilter/compressed_rows.h"
#include "index_fixture.h"

namespace lumvero {
namespace {

constexpr std::uint64_t kRows = 300;  // two stripes, the second partly filled
constexpr std::uint64_t kDims = 20;

codes_file::RowsHash hash_of(unsigned char seed) {
  codes_file::RowsHash h{};
  for (std::size_t i = 0; i < h.size(); ++i) h[i] = static_cast<unsigned char>(seed + 7 * i);
  return h;
}

// The bytes a save writes for kRows random rows made from the row file whose
// hash is hash_of(1).
std::vector<unsigned char> codes_bytes() {
  const auto data = testing::random_matrix(kRows, kDims, 3);
  std::vector<double> norms(kRows);
  run_norms_sq(data.data(), kRows, kDims, norms.data());
  auto built = CompressedRows::build(data.data(), kRows, kDims, norms.data());
  EXPECT_TRUE(built);
  const codes_file::Layout l = codes_file::layout(kRows, kDims);
  std::vector<unsigned char> out(l.length, 0);
  const auto header = codes_file::header(kRows, kDims, hash_of(1));
  std::memcpy(out.data(), header.data(), header.size());
  std::memcpy(out.data() + l.norms, norms.data(), kRows * sizeof(double));
  std::memcpy(out.data() + l.bounds, built->stripes(), l.stripes * sizeof(StripeBounds));
  std::memcpy(out.data() + l.scales, built->scales(), kRows * sizeof(float));
  std::memcpy(out.data() + l.codes, built->codes(0), kRows * l.width);
  return out;
}

// What map says of these bytes, expecting rows made from hash_of(1); "" when
// it maps them.
std::string mapped(const std::vector<unsigned char>& bytes,
                   const codes_file::RowsHash& made_from = hash_of(1)) {
  const char* tmp = std::getenv("TMPDIR");
  std::string path =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/lumvero_codes_XXXXXX";
  const int fd = ::mkstemp(path.data());
  EXPECT_GE(fd, 0);
  EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
  auto m = codes_file::map(path, kRows, kDims, made_from);
  ::unlink(path.c_str());
  return m ? std::string() : m.error();
}

TEST(CodesFile, MapsWhatWasWrittenForItsRowFile) {
  const auto bytes = codes_bytes();
  EXPECT_EQ(codes_file::kHeaderBytes % 64, 0u);
  EXPECT_EQ(std::memcmp(bytes.data() + codes_file::kRowsHashAt, hash_of(1).data(), 32), 0);
  EXPECT_EQ(mapped(bytes), "");
}

// Version 2, as saved before sum blocks: the header's bytes from 72 zero,
// the file ending with the codes. It maps, without sums; version 3 maps its
// sums, one per 64 KiB of the row file's rows.
TEST(CodesFile, MapsVersion2WithoutSums) {
  auto bytes = codes_bytes();
  const codes_file::Layout l = codes_file::layout(kRows, kDims);
  ASSERT_EQ(l.blocks, 1u);  // 300 x 20 x 4 bytes of rows
  bytes[l.sums] = 9;
  const char* tmp = std::getenv("TMPDIR");
  const std::string dir(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
  for (const int version : {3, 2}) {
    if (version == 2) {
      bytes.resize(l.codes + kRows * l.width);
      bytes[8] = 2;
      std::fill(bytes.begin() + codes_file::kSumBlockAt, bytes.begin() + 128, 0);
    }
    std::string path = dir + "/lumvero_codes_XXXXXX";
    const int fd = ::mkstemp(path.data());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
    auto m = codes_file::map(path, kRows, kDims, hash_of(1));
    ::unlink(path.c_str());
    ASSERT_TRUE(m) << m.error();
    EXPECT_EQ(m->length, bytes.size());
    EXPECT_EQ(m->blocks, version == 3 ? 1u : 0u);
    EXPECT_EQ(m->sums, version == 3 ? m->bytes + l.sums : nullptr);
  }
}

TEST(CodesFile, RefusesHostileHeaderFields) {
  const std::string unbound =
      "is not the codes of its row file (it was made from rows of another BLAKE3 hash)";
  const std::string shape = "has a header that does not describe 300 rows of 20 dims";
  struct Case {
    const char* what;
    std::function<void(std::vector<unsigned char>&)> edit;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"a byte of the row file's hash", [](auto& b) { b[codes_file::kRowsHashAt + 31] ^= 1; },
       unbound},
      {"the magic", [](auto& b) { b[3] = 'X'; }, "is not a codes file"},
      {"version 4", [](auto& b) { b[8] = 4; }, "has version 4; this version reads 2 and 3"},
      {"the sum block size", [](auto& b) { b[codes_file::kSumBlockAt + 2] = 2; },
       "has sum blocks of 131072 bytes; this version reads 65536"},
      {"the sum blocks", [](auto& b) { b[codes_file::kSumBlockAt + 8] ^= 1; }, shape},
      {"a sum block too many", [](auto& b) { b.resize(b.size() + 32); },
       "is " + std::to_string(codes_file::layout(kRows, kDims).length + 32) + " bytes long, not " +
           std::to_string(codes_file::layout(kRows, kDims).length)},
      {"version 2 with sums", [](auto& b) { b[8] = 2; },
       "is " + std::to_string(codes_file::layout(kRows, kDims).length) + " bytes long, not " +
           std::to_string(codes_file::layout(kRows, kDims, 2).length)},

      {"version 1", [](auto& b) { b[8] = 1; },
       "has version 1, which does not name the rows it was made from"},
      {"version 1 in its own layout",
       [](auto& b) {
         b[8] = 1;
         b[12] = 64;
         b.erase(b.begin() + 64, b.begin() + 128);
       },
       "has version 1, which does not name the rows it was made from"},
      {"the header's bytes", [](auto& b) { b[12] = 64; }, shape},
      {"the rows", [](auto& b) { b[24] ^= 1; }, shape},
      {"the stripes", [](auto& b) { b[36] ^= 1; }, shape},
      {"a reserved byte", [](auto& b) { b[codes_file::kHeaderBytes - 1] = 1; }, shape},
      {"a byte past the sum fields", [](auto& b) { b[codes_file::kSumBlockAt + 16] = 1; }, shape},
      {"the zero beside the sum block size", [](auto& b) { b[codes_file::kSumBlockAt + 4] = 1; },
       shape},
      {"a file of 11 bytes", [](auto& b) { b.resize(11); },
       "is 11 bytes long, not " + std::to_string(codes_file::layout(kRows, kDims).length)},
  };
  for (const Case& c : cases) {
    auto bytes = codes_bytes();
    c.edit(bytes);
    EXPECT_EQ(mapped(bytes), c.error) << c.what;
  }
  EXPECT_EQ(mapped(codes_bytes(), hash_of(2)), unbound) << "codes of another row file";
}

}  // namespace
}  // namespace lumvero
