// The BLAKE3 digest used for index content and query hashes.
#include "engine/format/content_hash.h"

#include <blake3.h>

namespace lumvero {

Hash32 blake3_digest(const void* data, std::size_t length) {
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  blake3_hasher_update(&hasher, data, length);
  Hash32 out{};
  blake3_hasher_finalize(&hasher, out.data(), out.size());
  return out;
}

Hash32 blake3_digest(std::span<const std::span<const unsigned char>> parts) {
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  for (const auto& part : parts) blake3_hasher_update(&hasher, part.data(), part.size());
  Hash32 out{};
  blake3_hasher_finalize(&hasher, out.data(), out.size());
  return out;
}

struct Blake3Stream::State {
  blake3_hasher hasher;
};

Blake3Stream::Blake3Stream() : state_(std::make_unique<State>()) {
  blake3_hasher_init(&state_->hasher);
}

Blake3Stream::~Blake3Stream() = default;

void Blake3Stream::update(const void* data, std::size_t length) {
  blake3_hasher_update(&state_->hasher, data, length);
}

Hash32 Blake3Stream::digest() const {
  Hash32 out{};
  // Finalising reads the state without changing it: more may be fed after.
  blake3_hasher_finalize(&state_->hasher, out.data(), out.size());
  return out;
}

std::string hash_hex(const Hash32& h) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string s(64, '0');
  for (std::size_t i = 0; i < h.size(); ++i) {
    s[2 * i] = kDigits[h[i] >> 4];
    s[2 * i + 1] = kDigits[h[i] & 0xF];
  }
  return s;
}

}  // namespace lumvero
