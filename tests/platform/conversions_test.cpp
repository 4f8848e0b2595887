// The number rules of field text, with "." or "," as the system's mark.
#include "platform/Conversions.h"

#include <gtest/gtest.h>

using platform::fromUtf8;
using platform::RunTimeError;
using platform::toUtf8;

namespace {

struct Row {
    const char16_t *mark;
    std::u16string text;
};

std::u16string repeated(char16_t c, std::size_t n)
{
    return std::u16string(n, c);
}

} // namespace

TEST(Conversions, ReadsInt16)
{
    const struct {
        Row in;
        int value;
    } rows[] = {
        {{u".", u"5"}, 5},          {{u".", u" \t20  "}, 20},   {{u".", u"+7"}, 7},        {{u".", u"-3"}, -3},
        {{u".", u"2.5"}, 2},        {{u".", u"3.5"}, 4},        {{u".", u"-0.5"}, 0},      {{u".", u"20.6"}, 21},
        {{u".", u"32.4999"}, 32},   {{u".", u".5"}, 0},         {{u".", u"5."}, 5},        {{u".", u"007"}, 7},
        {{u".", u"32767"}, 32767},  {{u".", u"-32768"}, -32768}, {{u".", u"-32768.5"}, -32768},
        {{u",", u"2,5"}, 2},        {{u",", u"20,6"}, 21},
        {{u".", u"0." + repeated(u'0', 400) + u"3"}, 0}, // below the smallest double
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(toUtf8(row.in.text).substr(0, 20));
        EXPECT_EQ(platform::toInt16(row.in.text, row.in.mark), row.value);
    }
}

TEST(Conversions, RejectsInt16)
{
    const Row rows[] = {
        {u".", u""},      {u".", u"   "},    {u".", u"abc"},   {u".", u"5a"},     {u".", u"7 ms"},
        {u".", u"."},     {u".", u"-"},      {u".", u"- 5"},   {u".", u"5 5"},    {u".", u"1.2.3"},
        {u".", u"40000"}, {u".", u"32767.5"}, {u".", u"-32769"}, {u".", repeated(u'9', 400)},
        {u".", u"５"},    {u",", u"2.5"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(toUtf8(row.text).substr(0, 20));
        EXPECT_THROW(platform::toInt16(row.text, row.mark), RunTimeError);
    }
}

TEST(Conversions, ReadsDouble)
{
    const struct {
        Row in;
        std::optional<double> value; // nothing: refused
    } rows[] = {
        {{u".", u"32.5"}, 32.5},     {{u".", u" 40000 "}, 40000.0}, {{u".", u"-1"}, -1.0},
        {{u",", u"128,25"}, 128.25}, {{u".", u""}, {}},             {{u".", u"x"}, {}},
        {{u".", repeated(u'9', 400)}, {}},
        {{u".", u"-0." + repeated(u'0', 400) + u"3"}, 0.0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(toUtf8(row.in.text).substr(0, 20));
        if (row.value) {
            EXPECT_EQ(platform::toDouble(row.in.text, row.in.mark), *row.value);
        } else {
            EXPECT_THROW(platform::toDouble(row.in.text, row.in.mark), RunTimeError);
        }
    }
}

TEST(Conversions, WritesGeneralForm)
{
    const struct {
        const char16_t *mark;
        double value;
        const char *text;
    } rows[] = {
        {u".", 37.0 / 5, "7.4"},           {u".", 12.0, "12"},     {u".", 20.0 / 3, "6.66666666666667"},
        {u".", 22.0 / 3, "7.33333333333333"}, {u".", 14.0 / 3, "4.66666666666667"}, {u".", 0.0, "0"},
        {u".", -0.0, "0"},                 {u".", 1.0 / 20, "0.05"}, {u".", 2147483647.0, "2147483647"},
        {u",", 37.0 / 5, "7,4"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(toUtf8(platform::generalText(row.value, row.mark)), row.text) << row.value;
}

TEST(Conversions, FormatsHashDotHash)
{
    const struct {
        Row in;
        const char *formatted;
    } rows[] = {
        {{u".", u"7.4 ms"}, "7.4 ms"}, {{u".", u""}, ""},          {{u".", u"7.46"}, "7.5"},
        {{u".", u"7.45"}, "7.5"},      {{u".", u"7.44"}, "7.4"},   {{u".", u"7"}, "7."},
        {{u".", u"9.96"}, "10."},      {{u".", u"0.25"}, ".3"},    {{u".", u"-7.46"}, "-7.5"},
        {{u",", u"7,46"}, "7,5"},      {{u",", u"7.46"}, "7.46"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(toUtf8(platform::formatHashDotHash(row.in.text, row.in.mark)), row.formatted) << toUtf8(row.in.text);
}

// UTF-16 to UTF-8 and back loses nothing but what is no text: a lone
// surrogate or bytes that are no UTF-8 become U+FFFD, one per fault.
TEST(Text, Utf8AndUtf16)
{
    const struct {
        const char *name;
        std::u16string utf16;
        std::string utf8;
        bool roundTrip; // UTF-8 back to the same UTF-16
    } toUtf8Rows[] = {
        {"ASCII", u"Ping 127.0.0.1", "Ping 127.0.0.1", true},
        {"Japanese", u"試験場所　東", "試験場所　東", true},
        {"surrogate pair", u"a🙂b", "a\xF0\x9F\x99\x82" "b", true},
        {"empty", u"", "", true},
        {"lone high surrogate", std::u16string(u"1") + char16_t(0xD800) + u"2", "1\xEF\xBF\xBD" "2", false},
        {"lone low surrogate", std::u16string(1, char16_t(0xDC00)), "\xEF\xBF\xBD", false},
        {"high surrogate at the end", std::u16string(u"x") + char16_t(0xDBFF), "x\xEF\xBF\xBD", false},
        {"pair reversed", std::u16string{char16_t(0xDC00), char16_t(0xD800)}, "\xEF\xBF\xBD\xEF\xBF\xBD", false},
    };
    for (const auto &row : toUtf8Rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(toUtf8(row.utf16), row.utf8);
        if (row.roundTrip) {
            EXPECT_EQ(fromUtf8(row.utf8), row.utf16);
        }
    }

    const struct {
        const char *name;
        std::string utf8;
        std::u16string utf16;
    } fromUtf8Rows[] = {
        {"overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD"},
        {"encoded surrogate", "a\xED\xA0\x80" "b", u"a\uFFFD\uFFFD\uFFFDb"},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"cut short", "\xE3\x81", u"\uFFFD\uFFFD"},
        {"stray continuation", "\x80" "5", u"\uFFFD5"},
        {"five-byte lead", "\xF8\x88\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"NUL kept", std::string("5\0" "5", 3), std::u16string(u"5\0" u"5", 3)},
        {"largest code point", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
    };
    for (const auto &row : fromUtf8Rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(fromUtf8(row.utf8), row.utf16);
    }
}
