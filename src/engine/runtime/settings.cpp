// Every LUMVO_* switch and the one number parser they share.
#include "engine/runtime/settings.h"

#include <cstdlib>
#include <limits>
#include <optional>

namespace lumvero::settings {

namespace {

// What a lead byte allows: the sequence's length and the range of its second
// byte (the ranges rule out overlong forms, surrogates and code points above
// U+10FFFF); nothing for a continuation byte, C0/C1 or F5..FF.
struct Utf8Lead {
  std::size_t len;
  unsigned char lo, hi;
};

std::optional<Utf8Lead> utf8_lead(unsigned char c) {
  if (c >= 0xC2 && c <= 0xDF) return Utf8Lead{2, 0x80, 0xBF};
  if (c == 0xE0) return Utf8Lead{3, 0xA0, 0xBF};
  if (c == 0xED) return Utf8Lead{3, 0x80, 0x9F};
  if (c >= 0xE1 && c <= 0xEF) return Utf8Lead{3, 0x80, 0xBF};
  if (c == 0xF0) return Utf8Lead{4, 0x90, 0xBF};
  if (c == 0xF4) return Utf8Lead{4, 0x80, 0x8F};
  if (c >= 0xF1 && c <= 0xF3) return Utf8Lead{4, 0x80, 0xBF};
  return std::nullopt;
}

// Whether the `avail` bytes at s start with a whole sequence of this lead.
bool utf8_tail_ok(const unsigned char* s, std::size_t avail, const Utf8Lead& lead) {
  if (avail < lead.len || s[1] < lead.lo || s[1] > lead.hi) return false;
  for (std::size_t k = 2; k < lead.len; ++k)
    if (s[k] < 0x80 || s[k] > 0xBF) return false;
  return true;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    if (s[i] < 0x80) {
      ++i;
      continue;
    }
    const auto lead = utf8_lead(s[i]);
    if (!lead || !utf8_tail_ok(s + i, n - i, *lead)) return false;
    i += lead->len;
  }
  return true;
}

std::optional<std::string_view> usable(const char* raw) {
  if (raw == nullptr) return std::nullopt;
  std::string_view v(raw);
  if (v.empty() || !is_valid_utf8(v)) return std::nullopt;
  return v;
}

std::optional<std::string> read(const char* name) {
  if (auto value = usable(std::getenv(name))) return std::string(*value);
  return std::nullopt;
}

std::optional<std::uint64_t> parse_u64(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto d = static_cast<std::uint64_t>(c - '0');
    if (v > (std::numeric_limits<std::uint64_t>::max() - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

}  // namespace lumvero::settings
