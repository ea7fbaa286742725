// Environment switches: which values count, and the one number syntax.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "engine/runtime/settings.h"
#include "index_fixture.h"

namespace lumvero {
namespace {

// ---------------------------------------------------------------------------
// Numbers

TEST(SettingsParseU64, AcceptsDecimalWithOptionalPlus) {
  EXPECT_EQ(settings::parse_u64("4"), 4u);
  EXPECT_EQ(settings::parse_u64("+4"), 4u);
  EXPECT_EQ(settings::parse_u64("0"), 0u);
  EXPECT_EQ(settings::parse_u64("0007"), 7u);
  EXPECT_EQ(settings::parse_u64("100000"), 100000u);
  EXPECT_EQ(settings::parse_u64("18446744073709551615"), 18446744073709551615ull);
}

TEST(SettingsParseU64, RejectsEverythingElse) {
  for (const char* bad : {"", "+", "++4", "-1", "-0", " 4", "4 ", "4\n", "four", "4a", "0x10",
                          "1e3", "18446744073709551616", "99999999999999999999", "\xd9\xa3"}) {
    EXPECT_EQ(settings::parse_u64(bad), std::nullopt) << '"' << bad << '"';
  }
}

// ---------------------------------------------------------------------------
// Which values count

TEST(Settings, AbsentWhenUnsetEmptyOrNotUtf8) {
  EXPECT_EQ(settings::usable(nullptr), std::nullopt);
  EXPECT_EQ(settings::usable(""), std::nullopt);
  EXPECT_EQ(settings::usable("\xff"
                             "4"),
            std::nullopt);
  EXPECT_EQ(settings::usable("4"), "4");
  EXPECT_EQ(settings::usable(" 4"), " 4");
  EXPECT_EQ(settings::usable("\xc3\xa9"), "\xc3\xa9");
}

TEST(Settings, Utf8Validation) {
  EXPECT_TRUE(settings::is_valid_utf8(""));
  EXPECT_TRUE(settings::is_valid_utf8("plain 123"));
  EXPECT_TRUE(settings::is_valid_utf8("\xe2\x82\xac"));       // euro sign
  EXPECT_TRUE(settings::is_valid_utf8("\xf0\x9d\x84\x9e"));   // U+1D11E
  EXPECT_TRUE(settings::is_valid_utf8("\xf4\x8f\xbf\xbf"));   // U+10FFFF
  EXPECT_TRUE(settings::is_valid_utf8("\xed\x9f\xbf"));       // U+D7FF
  EXPECT_FALSE(settings::is_valid_utf8("\x80"));              // lone continuation
  EXPECT_FALSE(settings::is_valid_utf8("\xc0\xaf"));          // overlong '/'
  EXPECT_FALSE(settings::is_valid_utf8("\xe0\x80\xaf"));      // overlong
  EXPECT_FALSE(settings::is_valid_utf8("\xed\xa0\x80"));      // surrogate
  EXPECT_FALSE(settings::is_valid_utf8("\xf4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(settings::is_valid_utf8("\xf5\x80\x80\x80"));
  EXPECT_FALSE(settings::is_valid_utf8("\xe2\x82"));  // truncated
  EXPECT_FALSE(
      settings::is_valid_utf8("ok\xe2\x82"
                              "A"));  // bad continuation
  EXPECT_FALSE(settings::is_valid_utf8("\xff"));
}

TEST(Settings, ReadCopiesUsableValuesOnly) {
  {
    testing::ScopedEnv env("LUMVO_TEST_SETTING", "matrix_full");
    EXPECT_EQ(settings::read("LUMVO_TEST_SETTING"), std::optional<std::string>("matrix_full"));
  }
  {
    testing::ScopedEnv env("LUMVO_TEST_SETTING", std::string("rayon\xff"));
    EXPECT_EQ(settings::read("LUMVO_TEST_SETTING"), std::nullopt);
  }
  {
    testing::ScopedEnv env("LUMVO_TEST_SETTING", std::nullopt);
    EXPECT_EQ(settings::read("LUMVO_TEST_SETTING"), std::nullopt);
  }
}

}  // namespace
}  // namespace lumvero
