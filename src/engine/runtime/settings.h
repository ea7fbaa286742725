// LUMVO_* environment switches and the one way their numbers are read.
//
// A switch whose value is unset, empty or not valid UTF-8 counts as absent;
// every other value is compared or parsed exactly as written (no trimming,
// no case folding). Each switch is read where it takes effect: once per
// process or on every call, as its user documents.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumvero::settings {

// `raw` as returned by getenv: nothing when unset, empty, or not valid UTF-8.
std::optional<std::string_view> usable(const char* raw);

// The named variable's usable value, copied (getenv's storage may change).
std::optional<std::string> read(const char* name);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or
// code points above U+10FFFF).
bool is_valid_utf8(std::string_view text);

// An unsigned decimal as the switches and the control-group files write it:
// an optional single '+', then one or more ASCII digits and nothing else, at
// most 2^64 - 1. Nothing for any other text ("-1", "max", " 4", "4 ").
std::optional<std::uint64_t> parse_u64(std::string_view text);

}  // namespace lumvero::settings
