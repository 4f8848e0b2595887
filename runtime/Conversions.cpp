#include "runtime/Conversions.h"

#include <charconv>
#include <cmath>
#include <optional>
#include <string>

namespace runtime {
namespace {

// A number as the runtime reads it: [+|-] digits [mark digits], at least one
// digit in all, blanks allowed around it.
struct DecimalText {
    bool negative = false;
    std::string integer;  // ASCII digits, possibly empty
    std::string fraction; // ASCII digits, possibly empty
};

bool isBlank(char16_t c) { return c == u' ' || c == u'\t'; }
bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// A Japanese input method types the full-width forms of digits, signs and
// marks (U+FF01..U+FF5E); they read like their ASCII forms. The field's text
// itself stays as typed.
Text halfWidth(std::u16string_view text)
{
    Text out(text);
    for (char16_t &c : out) {
        if (c >= 0xFF01 && c <= 0xFF5E)
            c = char16_t(c - 0xFEE0);
    }
    return out;
}

std::optional<DecimalText> parseDecimal(std::u16string_view typed, std::u16string_view mark)
{
    const Text text = halfWidth(typed);
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;

    DecimalText number;
    std::size_t i = begin;
    if (i < end && (text[i] == u'+' || text[i] == u'-')) {
        number.negative = text[i] == u'-';
        ++i;
    }
    while (i < end && isDigit(text[i]))
        number.integer += char(text[i++]);
    if (i < end && !mark.empty() && std::u16string_view(text).substr(i, end - i).starts_with(mark)) {
        i += mark.size();
        while (i < end && isDigit(text[i]))
            number.fraction += char(text[i++]);
    }
    if (i != end || (number.integer.empty() && number.fraction.empty()))
        return std::nullopt;
    return number;
}

std::optional<double> decimalValue(const DecimalText &number)
{
    const std::string plain = (number.negative ? "-" : "") + (number.integer.empty() ? "0" : number.integer)
            + "." + number.fraction + "0";
    double value = 0;
    const auto [ptr, ec] = std::from_chars(plain.data(), plain.data() + plain.size(), value);
    // Out of range with no whole part is a fraction too small for any double:
    // it rounds to zero, as the reader of any other small number would.
    if (ec == std::errc::result_out_of_range && number.integer.find_first_not_of('0') == std::string::npos)
        return number.negative ? -0.0 : 0.0;
    if (ec != std::errc() || ptr != plain.data() + plain.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

// The start of the offending text, for whoever reads the error in a debugger;
// the window shows its own fixed message.
RunTimeError conversionError(const char *what, std::u16string_view text)
{
    return RunTimeError(std::string(what) + ": \"" + toUtf8(text.substr(0, 40)) + "\"");
}

std::optional<double> numberValue(std::u16string_view text, std::u16string_view mark)
{
    const auto number = parseDecimal(text, mark);
    return number ? decimalValue(*number) : std::nullopt;
}

} // namespace

std::int16_t toInt16(std::u16string_view text, std::u16string_view decimalMark)
{
    const auto value = numberValue(text, decimalMark);
    if (!value)
        throw conversionError("not a number", text);
    const double rounded = std::nearbyint(*value); // default rounding: ties to even
    if (rounded < -32768.0 || rounded > 32767.0)
        throw conversionError("overflow", text);
    return static_cast<std::int16_t>(rounded);
}

double toDouble(std::u16string_view text, std::u16string_view decimalMark)
{
    const auto value = numberValue(text, decimalMark);
    if (!value)
        throw conversionError("not a number", text);
    return *value;
}

Text intText(std::int64_t value)
{
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return Text(buffer, result.ptr);
}

Text generalText(double value, std::u16string_view decimalMark)
{
    if (value == 0)
        value = 0; // no "-0"
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
    Text text;
    for (const char *c = buffer; c != result.ptr; ++c) {
        if (*c == '.')
            text += decimalMark;
        else
            text += char16_t(*c);
    }
    return text;
}

Text formatHashDotHash(std::u16string_view text, std::u16string_view decimalMark)
{
    const auto number = parseDecimal(text, decimalMark);
    if (!number || !decimalValue(*number))
        return Text(text);

    // Round to one decimal on the digits themselves, halves away from zero.
    std::string integer = number->integer;
    int tenths = number->fraction.empty() ? 0 : number->fraction[0] - '0';
    const bool roundUp = number->fraction.size() > 1 && number->fraction[1] >= '5';
    if (roundUp && ++tenths == 10) {
        tenths = 0;
        std::ptrdiff_t i = std::ptrdiff_t(integer.size()) - 1;
        for (; i >= 0 && integer[std::size_t(i)] == '9'; --i)
            integer[std::size_t(i)] = '0';
        if (i >= 0)
            ++integer[std::size_t(i)];
        else
            integer.insert(integer.begin(), '1');
    }
    const auto firstDigit = integer.find_first_not_of('0');
    integer = firstDigit == std::string::npos ? std::string() : integer.substr(firstDigit);

    Text out;
    if (number->negative && (!integer.empty() || tenths != 0))
        out += u'-';
    out += Text(integer.begin(), integer.end());
    out += decimalMark;
    if (tenths != 0)
        out += char16_t(u'0' + tenths);
    return out;
}

} // namespace runtime
