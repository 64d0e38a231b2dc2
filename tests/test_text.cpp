// The text area: pieces appended at the position, numbers, conversions, comparison, growth and
// text variables.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "facade/facade.h"
#include "tests/support/harness.h"

namespace {

class Text : public ::testing::Test {
 protected:
  void SetUp() override {
    facade_for_tests();
    start = text_position();
  }
  void TearDown() override { text_set_position(start); }

  // The text built since the test began.
  std::wstring built() const { return text_at(start); }
  // The position, counted in units from where the test began.
  size_t units_built() const { return (text_position() - start) / sizeof(wchar_t); }

  size_t start = 0;
};

std::wstring number(int64_t value) {
  const size_t start = text_position();
  text_from_int(value);
  std::wstring result = text_at(start);
  EXPECT_EQ(text_position(), start + result.size() * sizeof(wchar_t)) << "not on the zero";
  text_set_position(start);
  return result;
}

TEST_F(Text, NumbersInDecimal) {
  EXPECT_EQ(number(0), L"0");
  EXPECT_EQ(number(7), L"7");
  EXPECT_EQ(number(-5), L"-5");
  EXPECT_EQ(number(10), L"10");
  EXPECT_EQ(number(-1000), L"-1000");
  EXPECT_EQ(number(INT64_MIN), L"-9223372036854775808");
  EXPECT_EQ(number(INT64_MAX), L"9223372036854775807");
}

TEST_F(Text, PiecesContinueOneText) {
  text_from_int(12);
  text_from_int(-34);
  text_append(L"ab");
  text_space(2);
  text_append(L"");
  text_from_int(0);
  EXPECT_EQ(built(), L"12-34ab  0");
  EXPECT_EQ(units_built(), 10u);
}

TEST_F(Text, LabelFromPieces) {
  text_from_int(45);
  text_append(L"\u00B0C  (");
  text_from_int(113);
  text_append(L" \u00B0F)");
  EXPECT_EQ(built(), L"45\u00B0C  (113 \u00B0F)");
}

TEST_F(Text, SpacesBelowOneAppendNothing) {
  text_append(L"x");
  text_space(0);
  text_space(-3);
  text_space(INT_MIN);
  EXPECT_EQ(built(), L"x");
  EXPECT_EQ(units_built(), 1u);
  text_space(10);
  EXPECT_EQ(built(), L"x" + std::wstring(10, L' '));
}

TEST_F(Text, MissingTextEndsTheTextInPlace) {
  text_append(L"left over");
  text_set_position(start);
  text_append(nullptr);
  EXPECT_EQ(built(), L"");
  EXPECT_EQ(text_position(), start);
}

TEST_F(Text, EqualityIsExact) {
  EXPECT_EQ(text_equal(nullptr, L""), 1);
  EXPECT_EQ(text_equal(L"", nullptr), 1);
  EXPECT_EQ(text_equal(nullptr, nullptr), 1);
  EXPECT_EQ(text_equal(L"abc", L"abc"), 1);
  EXPECT_EQ(text_equal(L"a", L"A"), 0);
  EXPECT_EQ(text_equal(L"ab", L"abc"), 0);
  EXPECT_EQ(text_equal(L"abc", L"ab"), 0);
  EXPECT_EQ(text_equal(L"x", nullptr), 0);
  EXPECT_EQ(text_equal(L" abc", L"abc"), 0);
}

// The way a duplicate adapter is recognised: two texts built one after the other in the area.
TEST_F(Text, TenSpacesAgainstBuiltTexts) {
  auto compare_with_ten_spaces = [this](int32_t count) {
    text_space(count);
    const size_t marker = text_position() + sizeof(wchar_t);
    text_set_position(marker);
    text_space(10);
    text_set_position(start);
    return text_equal(text_at(marker), text_at(start));
  };
  EXPECT_EQ(compare_with_ten_spaces(10), 1);
  EXPECT_EQ(compare_with_ten_spaces(11), 0);
  EXPECT_EQ(compare_with_ten_spaces(9), 0);
  EXPECT_EQ(compare_with_ten_spaces(0), 0);
}

TEST_F(Text, EightBitLengths) {
  text_from_8bit("", -1, TEXT_8BIT);
  EXPECT_EQ(built(), L"");
  EXPECT_EQ(text_position(), start);

  const char no_zero[5] = {'a', 'b', 'c', 'd', 'e'};
  text_from_8bit(no_zero, 3, TEXT_8BIT);
  EXPECT_EQ(built(), L"abc");
  text_from_8bit(no_zero, 0, TEXT_8BIT);
  text_from_8bit(no_zero, -2, TEXT_8BIT);
  text_from_8bit(nullptr, -1, TEXT_8BIT);
  EXPECT_EQ(built(), L"abc");
  text_from_8bit("GPU\0hidden", -1, TEXT_8BIT);
  EXPECT_EQ(built(), L"abcGPU");
  EXPECT_EQ(units_built(), 6u);
}

TEST_F(Text, EightBitInTheAnsiCodePage) {
  const char bytes[] = "\xB0x\xE9";
  wchar_t expected[8] = {};
  ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, bytes, -1, expected, 8), 4);
  text_from_8bit(bytes, -1, TEXT_8BIT);
  EXPECT_EQ(built(), expected);
  text_set_position(start);
  text_from_8bit(bytes, -1, 99);  // unknown selectors read the ANSI code page too
  EXPECT_EQ(built(), expected);
}

TEST_F(Text, Utf8AndUtf16Selectors) {
  text_from_8bit("45\xC2\xB0" "C", -1, TEXT_UTF8);
  EXPECT_EQ(built(), L"45\u00B0C");
  text_set_position(start);

  const wchar_t units[] = L"ab\0cd";
  text_from_8bit(units, 5, TEXT_UTF16);  // stops at the zero unit
  EXPECT_EQ(built(), L"ab");
  EXPECT_EQ(units_built(), 2u);
  text_from_8bit(L"xyz", -1, TEXT_UTF16);
  text_from_8bit(L"xyz", 1, TEXT_UTF16);
  EXPECT_EQ(built(), L"abxyzx");
}

TEST_F(Text, OffsetSurvivesGrowth) {
  text_append(L"kept");
  const size_t second = text_position() + sizeof(wchar_t);
  text_set_position(second);
  text_from_int(-42);
  // Growth may happen in place; keep growing (with a variable placed after the area in the text
  // heap) until the area has moved.
  const wchar_t* const area = text_at(0);
  const std::wstring filler(50000, L'z');
  TextVariable blocker = nullptr;
  int pieces = 0;
  while (text_at(0) == area && pieces < 200) {
    const size_t end = text_position();
    text_append(L"b");
    text_assign(&blocker, end);
    text_append(filler.c_str());
    ++pieces;
  }
  ASSERT_NE(text_at(0), area) << "the area never moved";
  EXPECT_EQ(std::wstring(text_at(start)), L"kept");
  const std::wstring expected = L"-42" + filler;
  EXPECT_EQ(std::wstring(text_at(second)).substr(0, expected.size()), expected);
  text_free(&blocker);
}

TEST_F(Text, MegabyteTexts) {
  const std::string bytes(1 << 20, 'q');
  text_from_8bit(bytes.c_str(), -1, TEXT_8BIT);
  text_append(L"!");
  EXPECT_EQ(units_built(), (1u << 20) + 1);
  const std::wstring text = built();
  EXPECT_EQ(text.size(), (1u << 20) + 1);
  EXPECT_EQ(text.find_first_not_of(L'q'), 1u << 20);

  text_set_position(start);
  text_space(1 << 20);
  EXPECT_EQ(built(), std::wstring(1 << 20, L' '));
}

TEST_F(Text, GrownAreaStaysPut) {
  text_space(100000);
  text_set_position(start);
  const wchar_t* area = text_at(0);
  for (int celsius = -100; celsius < 1000; ++celsius) {
    text_from_int(celsius);
    text_append(L"\u00B0C  (");
    text_from_int(celsius * 9 / 5 + 32);
    text_append(L" \u00B0F)");
    text_set_position(start);
  }
  EXPECT_EQ(text_at(0), area);
}

TEST_F(Text, VariablesKeepATextBeyondTheArea) {
  TextVariable name = nullptr;
  text_append(L"GPU ");
  text_from_int(1);
  text_assign(&name, start);
  EXPECT_EQ(text_position(), start);
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(std::wstring(name), L"GPU 1");

  text_append(L"overwritten");
  EXPECT_EQ(std::wstring(name), L"GPU 1");
  text_set_position(start);

  const std::wstring longer(5000, L'n');
  text_append(longer.c_str());
  text_assign(&name, start);
  EXPECT_EQ(std::wstring(name), longer);

  text_assign(&name, start);  // nothing built: the empty text
  EXPECT_EQ(std::wstring(name), L"");

  text_free(&name);
  EXPECT_EQ(name, nullptr);
  text_free(&name);
  text_append(L"again");
  text_assign(&name, start);
  EXPECT_EQ(std::wstring(name), L"again");
  text_free(&name);
}

TEST_F(Text, AppendingAVariable) {
  TextVariable name = nullptr;
  text_append(L"Radeon");
  text_assign(&name, start);
  text_append(L"GPU # 0   -   ");
  text_append(name);
  EXPECT_EQ(built(), L"GPU # 0   -   Radeon");
  text_free(&name);
  text_append(name);
  EXPECT_EQ(built(), L"GPU # 0   -   Radeon");
}

}  // namespace
