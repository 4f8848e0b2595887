// The number rules of field text, with "." or "," as the system's mark, and
// the UTF-8 <-> UTF-16 conversions at the logic's edges.
#include "runtime/Conversions.h"

#include <gtest/gtest.h>

#include <tuple>

using runtime::fromUtf8;
using runtime::RunTimeError;
using runtime::toUtf8;

namespace {
const std::u16string k400Nines(400, u'9');
const std::u16string kTinyFraction = u"0." + std::u16string(400, u'0') + u"3"; // below the smallest double
} // namespace

TEST(Conversions, ReadsInt16)
{
    for (const auto &[mark, text, value] :
         {std::tuple{u".", std::u16string(u"5"), 5}, {u".", u" \t20  ", 20}, {u".", u"+7", 7}, {u".", u"-3", -3},
          {u".", u"2.5", 2}, {u".", u"3.5", 4}, {u".", u"-0.5", 0}, {u".", u"20.6", 21}, {u".", u"32.4999", 32},
          {u".", u".5", 0}, {u".", u"5.", 5}, {u".", u"007", 7}, {u".", u"32767", 32767}, {u".", u"-32768", -32768},
          {u".", u"-32768.5", -32768}, {u",", u"2,5", 2}, {u",", u"20,6", 21}, {u".", kTinyFraction, 0},
          // full-width forms, as a Japanese input method types them
          {u".", u"２０", 20}, {u".", u"－３", -3}, {u".", u"＋７", 7}, {u".", u"２．５", 2}, {u",", u"２０，６", 21}})
        EXPECT_EQ(runtime::toInt16(text, mark), value) << toUtf8(text).substr(0, 20);

    for (const auto &[mark, text] :
         {std::pair{u".", std::u16string()}, {u".", u"   "}, {u".", u"abc"}, {u".", u"5a"}, {u".", u"7 ms"}, {u".", u"."},
          {u".", u"-"}, {u".", u"- 5"}, {u".", u"5 5"}, {u".", u"1.2.3"}, {u".", u"40000"}, {u".", u"32767.5"},
          {u".", u"-32769"}, {u".", k400Nines}, {u".", u"５ｍ"}, {u",", u"2.5"}, {u",", u"２．５"}, {u".", u"٣٢"}, {u".", u"五"}})
        EXPECT_THROW(runtime::toInt16(text, mark), RunTimeError) << toUtf8(text).substr(0, 20);
}

TEST(Conversions, ReadsDouble)
{
    for (const auto &[mark, text, value] :
         {std::tuple{u".", std::u16string(u"32.5"), 32.5}, {u".", u" 40000 ", 40000.0}, {u".", u"-1", -1.0},
          {u",", u"128,25", 128.25}, {u".", u"-" + kTinyFraction, 0.0}})
        EXPECT_EQ(runtime::toDouble(text, mark), value) << toUtf8(text).substr(0, 20);
    for (const std::u16string &text : {std::u16string(), std::u16string(u"x"), k400Nines})
        EXPECT_THROW(runtime::toDouble(text, u"."), RunTimeError) << toUtf8(text).substr(0, 20);
}

TEST(Conversions, WritesNumbers)
{
    for (const auto &[mark, value, text] :
         {std::tuple{u".", 37.0 / 5, "7.4"}, {u".", 12.0, "12"}, {u".", 20.0 / 3, "6.66666666666667"},
          {u".", 22.0 / 3, "7.33333333333333"}, {u".", 14.0 / 3, "4.66666666666667"}, {u".", 0.0, "0"},
          {u".", -0.0, "0"}, {u".", 1.0 / 20, "0.05"}, {u".", 2147483647.0, "2147483647"}, {u",", 37.0 / 5, "7,4"}})
        EXPECT_EQ(toUtf8(runtime::generalText(value, mark)), text) << value;

    // "#.#": one decimal, halves away from zero, no forced zeros; other text as it is.
    for (const auto &[mark, text, formatted] :
         {std::tuple{u".", u"7.4 ms", "7.4 ms"}, {u".", u"", ""}, {u".", u"7.46", "7.5"}, {u".", u"7.45", "7.5"},
          {u".", u"7.44", "7.4"}, {u".", u"7", "7."}, {u".", u"9.96", "10."}, {u".", u"0.25", ".3"},
          {u".", u"-7.46", "-7.5"}, {u",", u"7,46", "7,5"}, {u",", u"7.46", "7.46"}})
        EXPECT_EQ(toUtf8(runtime::formatHashDotHash(text, mark)), formatted) << toUtf8(text);
}

// UTF-16 to UTF-8 and back loses nothing but what is no text: a lone
// surrogate or bytes that are no UTF-8 become U+FFFD, one per fault.
TEST(Text, Utf8AndUtf16)
{
    for (const auto &[utf16, utf8, roundTrip] :
         {std::tuple{std::u16string(u"Ping 127.0.0.1"), std::string("Ping 127.0.0.1"), true},
          {u"試験場所　東", "試験場所　東", true}, {u"a🙂b", "a\xF0\x9F\x99\x82" "b", true}, {u"", "", true},
          {u"1\xD800" u"2", "1\xEF\xBF\xBD" "2", false}, {u"\xDC00", "\xEF\xBF\xBD", false},
          {u"x\xDBFF", "x\xEF\xBF\xBD", false}, {u"\xDC00\xD800", "\xEF\xBF\xBD\xEF\xBF\xBD", false}}) {
        EXPECT_EQ(toUtf8(utf16), utf8);
        if (roundTrip) {
            EXPECT_EQ(fromUtf8(utf8), utf16);
        }
    }
    // Overlong, an encoded surrogate, past U+10FFFF, cut short, a stray
    // continuation byte, a five-byte lead; NUL and U+10FFFF are kept.
    for (const auto &[utf8, utf16] :
         {std::pair{std::string("\xC0\xAF"), std::u16string(u"\uFFFD\uFFFD")},
          {"a\xED\xA0\x80" "b", u"a\uFFFD\uFFFD\uFFFDb"}, {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
          {"\xE3\x81", u"\uFFFD\uFFFD"}, {"\x80" "5", u"\uFFFD5"}, {"\xF8\x88\x80\x80\x80", std::u16string(5, u'\uFFFD')},
          {std::string("5\0" "5", 3), std::u16string(u"5\0" u"5", 3)}, {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"}})
        EXPECT_EQ(fromUtf8(utf8), utf16) << testing::PrintToString(utf8);
}
