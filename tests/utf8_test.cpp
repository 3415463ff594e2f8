#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "utf8.hpp"

namespace torv_package {
namespace {

TEST(CheckUtf8, ReportsValidPrefixAndErrorLength) {
  const struct {
    const char* name;
    std::string text;
    std::optional<Utf8Error> expected;
  } cases[] = {
      {"empty", "", std::nullopt},
      {"ascii", "torv21 package", std::nullopt},
      {"long_ascii_then_bad", std::string(37, 'a') + "\xff", Utf8Error{37, 1}},
      {"all_widths", "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", std::nullopt},
      {"embedded_nul", std::string("a\0b", 3), std::nullopt},
      {"three_valid_then_invalid", "abc\x80", Utf8Error{3, 1}},
      {"lone_continuation", "\x80", Utf8Error{0, 1}},
      {"invalid_lead_c0", "\xc0\x80", Utf8Error{0, 1}},
      {"invalid_lead_f5", "\xf5\x80\x80\x80", Utf8Error{0, 1}},
      {"overlong_three", "\xe0\x80\x80", Utf8Error{0, 1}},
      {"overlong_four", "\xf0\x8f\xbf\xbf", Utf8Error{0, 1}},
      {"surrogate", "x\xed\xa0\x80", Utf8Error{1, 1}},
      {"above_max", "\xf4\x90\x80\x80", Utf8Error{0, 1}},
      {"max_code_point", "\xf4\x8f\xbf\xbf", std::nullopt},
      {"bad_third_byte", "\xe2\x82x", Utf8Error{0, 2}},
      {"bad_fourth_byte", "ab\xf0\x9f\x98x", Utf8Error{2, 3}},
      {"cut_after_lead", "ab\xe2", Utf8Error{2, std::nullopt}},
      {"cut_inside_three", "ab\xe2\x82", Utf8Error{2, std::nullopt}},
      {"cut_inside_four", "\xf0\x9f\x98", Utf8Error{0, std::nullopt}},
      {"cut_after_bad_second_is_error", "\xe0\x80", Utf8Error{0, 1}},
      {"error_after_multibyte", "\xc3\xa9\xff", Utf8Error{2, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(check_utf8(c.text), c.expected);
  }
}

TEST(DecodeUtf8Char, DecodesEachWidth) {
  EXPECT_EQ(decode_utf8_char("A")->code_point, U'A');
  EXPECT_EQ(decode_utf8_char("\xc3\xa9")->code_point, U'\u00e9');
  EXPECT_EQ(decode_utf8_char("\xe2\x82\xac")->code_point, U'\u20ac');
  const auto four = decode_utf8_char("\xf0\x9f\x98\x80");
  ASSERT_TRUE(four);
  EXPECT_EQ(four->code_point, U'\U0001F600');
  EXPECT_EQ(four->length, 4u);
  EXPECT_FALSE(decode_utf8_char(""));
  EXPECT_FALSE(decode_utf8_char("\xed\xa0\x80"));
}

}  // namespace
}  // namespace torv_package
