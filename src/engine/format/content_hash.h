// BLAKE3 digests (plain unkeyed mode, 32-byte output) and their rendering.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>

namespace lumvero {

using Hash32 = std::array<unsigned char, 32>;

Hash32 blake3_digest(const void* data, std::size_t length);
// The digest of the parts' concatenation, without concatenating them.
Hash32 blake3_digest(std::span<const std::span<const unsigned char>> parts);

// 64 lowercase hexadecimal digits, high nibble first.
std::string hash_hex(const Hash32& h);

}  // namespace lumvero
