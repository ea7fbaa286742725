// Metric spellings, precision levels and base-name rules.
#include <unicode/ucasemap.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <array>
#include <memory>

#include "prepare/prepare.h"

namespace lumvero::prepare {

namespace {

std::optional<std::string> lower_case(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UCaseMap, decltype(&ucasemap_close)> map(ucasemap_open("", 0, &status),
                                                           &ucasemap_close);
  if (U_FAILURE(status)) return std::nullopt;
  // Lower-casing can grow a string (e.g. U+0130 becomes two code points).
  std::string out(text.size() * 3 + 4, '\0');
  const int32_t len = ucasemap_utf8ToLower(map.get(), out.data(), static_cast<int32_t>(out.size()),
                                           text.data(), static_cast<int32_t>(text.size()), &status);
  if (U_FAILURE(status)) return std::nullopt;
  out.resize(static_cast<std::size_t>(len));
  return out;
}

struct Spelling {
  std::string_view text;
  Metric metric;
};

constexpr std::array<Spelling, 11> kSpellings = {{
    {"cosine", Metric::Cosine},
    {"cos", Metric::Cosine},
    {"norm_cosine", Metric::Cosine},
    {"normalized_cosine", Metric::Cosine},
    {"normalized-cosine", Metric::Cosine},
    {"dot", Metric::Dot},
    {"dotproduct", Metric::Dot},
    {"dot_product", Metric::Dot},
    {"euclidean", Metric::Euclidean},
    {"euclidian", Metric::Euclidean},
    {"l2", Metric::Euclidean},
}};

// Walks the UTF-8 text one code point at a time; malformed bytes yield a
// negative value, which no property test accepts.
template <class F>
void for_each_code_point(std::string_view text, F&& f) {
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  const int32_t len = static_cast<int32_t>(text.size());
  int32_t i = 0;
  while (i < len) {
    const int32_t start = i;
    UChar32 c = 0;
    U8_NEXT(s, i, len, c);
    f(c, text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
  }
}

}  // namespace

Result<Metric> parse_metric(std::string_view text) {
  if (auto lowered = lower_case(text)) {
    for (const auto& s : kSpellings)
      if (*lowered == s.text) return s.metric;
  }
  return fail("Unknown similarity metric: " + std::string(text));
}

bool base_name_acceptable(std::string_view name) {
  static constexpr std::string_view kForbidden = "|<>\"?*:\\./";
  if (name.find_first_of(kForbidden) != std::string_view::npos) return false;
  bool blank = true;
  for_each_code_point(name, [&](UChar32 c, std::string_view) {
    if (c < 0 || !u_hasBinaryProperty(c, UCHAR_WHITE_SPACE)) blank = false;
  });
  return !blank;
}

std::string sanitize_base_name(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for_each_code_point(name, [&](UChar32 c, std::string_view bytes) {
    if (c < 0) return;
    const auto category = u_charType(c);
    const bool keep = c == '-' || c == '_' || u_hasBinaryProperty(c, UCHAR_ALPHABETIC) ||
                      category == U_DECIMAL_DIGIT_NUMBER || category == U_LETTER_NUMBER ||
                      category == U_OTHER_NUMBER;
    if (keep) out.append(bytes);
  });
  return out;
}

std::optional<double> memory_factor(std::string_view level) {
  if (level == "f8") return 2.5;
  if (level == "f16") return 2.0;
  if (level == "f32") return 1.5;
  if (level == "f64") return 2.0;
  return std::nullopt;
}

}  // namespace lumvero::prepare
