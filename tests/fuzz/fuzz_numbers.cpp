// Numbers read from and written to field text, driven with arbitrary input.
// The first byte picks the locale, the rest is the field's text as UTF-8.
// Every reading is checked against a reader of its own (a pattern for the
// notation, strtod for the value), and every value read is written back and
// read again.
#include "runtime/Conversions.h"

#include <QLocale>
#include <QRegularExpression>
#include <QString>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

using runtime::RunTimeError;

namespace {

std::u16string own(const QString &text) { return text.toStdU16String(); }
QString qt(const std::u16string &text) { return QString::fromStdU16String(text); }

#define CHECK(condition, text)                                                                         \
    do {                                                                                               \
        if (!(condition))                                                                              \
            fail(#condition, text);                                                                    \
    } while (false)

[[noreturn]] void fail(const char *condition, const QString &text)
{
    std::fprintf(stderr, "check failed: %s\n  on \"%s\"\n", condition, text.toUtf8().constData());
    std::abort();
}

// A point, a comma and a mark outside ASCII, each with the notation of a
// number as a pattern: blanks (space, tab) around an optional sign, ASCII
// digits and at most one decimal mark.
struct Notation {
    QLocale locale;
    QRegularExpression pattern;
};

Notation notation(const QLocale &locale)
{
    const QString number = QStringLiteral("[ \\t]*([+-]?)([0-9]*)(?:%1([0-9]*))?[ \\t]*")
                                   .arg(QRegularExpression::escape(locale.decimalPoint()));
    return {locale, QRegularExpression(QRegularExpression::anchoredPattern(number))};
}

const std::array<Notation, 6> &notations()
{
    static const std::array<Notation, 6> all{
        notation(QLocale(QLocale::C)), notation(QLocale(QStringLiteral("en_US"))),
        notation(QLocale(QStringLiteral("de_DE"))), notation(QLocale(QStringLiteral("ja_JP"))),
        notation(QLocale(QStringLiteral("fr_FR"))), notation(QLocale(QStringLiteral("ar_EG")))};
    return all;
}

enum class Reading { NotANumber, TooLarge, Value };

struct Expected {
    Reading reading = Reading::NotANumber;
    double value = 0;
};

// What the text should read as: the notation, with at least one digit, and
// the value strtod gives for the same digits (in the C locale: the program
// never sets another).
Expected expectedReading(const QString &typed, const Notation &notation)
{
    // Full-width forms (a Japanese input method's) read as their ASCII forms.
    QString text = typed;
    for (QChar &c : text) {
        if (c.unicode() >= 0xFF01 && c.unicode() <= 0xFF5E)
            c = QChar(c.unicode() - 0xFEE0);
    }
    const auto match = notation.pattern.match(text);
    if (!match.hasMatch() || (match.capturedLength(2) == 0 && match.capturedLength(3) == 0))
        return {};
    const QString integer = match.capturedLength(2) ? match.captured(2) : QStringLiteral("0");
    const std::string plain = (match.captured(1) + integer + u'.' + match.captured(3)).toStdString();
    errno = 0;
    const double value = std::strtod(plain.c_str(), nullptr);
    if (errno == ERANGE && std::isinf(value))
        return {Reading::TooLarge, 0};
    return {Reading::Value, value}; // an underflow reads as the nearest double, possibly zero
}

std::optional<double> readDouble(const QString &text, const QLocale &locale)
{
    try {
        return runtime::toDouble(own(text), own(locale.decimalPoint()));
    } catch (const RunTimeError &) {
        return std::nullopt;
    }
}

std::optional<qint16> readInt16(const QString &text, const QLocale &locale)
{
    try {
        return runtime::toInt16(own(text), own(locale.decimalPoint()));
    } catch (const RunTimeError &) {
        return std::nullopt;
    }
}

bool closeTo(double a, double b, double relative) { return std::fabs(a - b) <= std::fabs(b) * relative; }

// The general form: plain decimal where the value allows it, at most 15
// significant digits, no trailing zeros or trailing mark, no "-0"; read back
// it gives the value to 15 digits, and writing that again gives the same text.
void checkGeneralText(double value, const QLocale &locale)
{
    const QString text = qt(runtime::generalText(value, own(locale.decimalPoint())));
    const QString mark = locale.decimalPoint();
    if (!std::isfinite(value))
        return;
    const double magnitude = std::fabs(value);
    const bool plain = !text.contains(u'e');
    // The average of a run lies in this range and is never written with an exponent.
    if (magnitude >= 0.05 && magnitude <= 2147483647.0)
        CHECK(plain, text);
    CHECK(text != QStringLiteral("-0"), text);
    if (!plain)
        return;

    QString digits;
    for (const QChar c : text) {
        if ((c >= u'1' && c <= u'9') || (c == u'0' && !digits.isEmpty()))
            digits += c;
    }
    CHECK(digits.size() <= 15, text);
    if (text.contains(mark)) {
        CHECK(!text.endsWith(mark), text);
        CHECK(!text.endsWith(u'0'), text);
    }

    const auto again = readDouble(text, locale);
    CHECK(again.has_value(), text);
    CHECK(closeTo(*again, value, 1e-14), text);
    CHECK(qt(runtime::generalText(*again, own(locale.decimalPoint()))) == text, text);
}

// "#.#": a number comes out with at most one decimal, within half a tenth of
// its value and with its sign; anything else comes out as it went in.
void checkHashDotHash(const QString &text, const QLocale &locale, std::optional<double> value)
{
    const QString out = qt(runtime::formatHashDotHash(own(text), own(locale.decimalPoint())));
    if (!value) {
        CHECK(out == text, text);
        return;
    }
    const QString mark = locale.decimalPoint();
    const qsizetype at = out.indexOf(mark);
    CHECK(at >= 0, text);
    CHECK(out.size() - at - mark.size() <= 1, text);
    CHECK(!out.endsWith(mark + u'0'), text);
    const double tolerance = 0.05 * (1 + 1e-12) + std::fabs(*value) * 1e-15;
    if (out == mark) {
        CHECK(std::fabs(*value) <= tolerance, text);
        return;
    }
    const auto shown = readDouble(out, locale);
    CHECK(shown.has_value(), text);
    CHECK(std::fabs(*shown - *value) <= tolerance, text);
    CHECK(*shown != 0, text);
    CHECK((*shown < 0) == (*value < 0), text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const Notation &notation = notations()[data[0] % notations().size()];
    const QLocale &locale = notation.locale;
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const Expected expected = expectedReading(text, notation);

    const auto number = readDouble(text, locale);
    CHECK(number.has_value() == (expected.reading == Reading::Value), text);
    if (number)
        CHECK(*number == expected.value, text);

    const auto integer = readInt16(text, locale);
    const double rounded = std::nearbyint(expected.value); // ties to even
    const bool inRange = expected.reading == Reading::Value && rounded >= -32768 && rounded <= 32767;
    CHECK(integer.has_value() == inRange, text);
    if (integer) {
        CHECK(*integer == rounded, text);
        CHECK(readInt16(qt(runtime::intText(*integer)), locale) == integer, text);
    }

    if (number)
        checkGeneralText(*number, locale);
    checkHashDotHash(text, locale, number);

    // The same bytes as a double of any bit pattern, NaN and infinities included.
    if (size >= 1 + sizeof(double)) {
        double raw;
        std::memcpy(&raw, data + 1, sizeof raw);
        checkGeneralText(raw, locale);
    }
    return 0;
}
