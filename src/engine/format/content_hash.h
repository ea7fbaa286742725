// BLAKE3 digests (plain unkeyed mode, 32-byte output) and their rendering.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <span>
#include <string>

namespace lumvero {

using Hash32 = std::array<unsigned char, 32>;

Hash32 blake3_digest(const void* data, std::size_t length);
// The digest of the parts' concatenation, without concatenating them.
Hash32 blake3_digest(std::span<const std::span<const unsigned char>> parts);

// A digest fed in pieces, for bytes that are never all in memory at once
// (a file written as its rows arrive): the digest of everything fed so
// far, equal to blake3_digest of its concatenation; it may be fed on.
class Blake3Stream {
 public:
  Blake3Stream();
  ~Blake3Stream();
  Blake3Stream(const Blake3Stream&) = delete;
  Blake3Stream& operator=(const Blake3Stream&) = delete;
  void update(const void* data, std::size_t length);
  Hash32 digest() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// 64 lowercase hexadecimal digits, high nibble first.
std::string hash_hex(const Hash32& h);

}  // namespace lumvero
