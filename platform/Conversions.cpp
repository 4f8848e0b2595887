#include "Conversions.h"

#include <charconv>
#include <cmath>
#include <optional>
#include <string>

namespace platform {
namespace {

// A number as the runtime reads it: [+|-] digits [mark digits], at least one
// digit in all, blanks allowed around it.
struct DecimalText {
    bool negative = false;
    std::string integer;  // ASCII digits, possibly empty
    std::string fraction; // ASCII digits, possibly empty
};

bool isBlank(QChar c) { return c == u' ' || c == u'\t'; }

std::optional<DecimalText> parseDecimal(const QString &text, const QLocale &locale)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;

    DecimalText number;
    qsizetype i = begin;
    if (i < end && (text[i] == u'+' || text[i] == u'-')) {
        number.negative = text[i] == u'-';
        ++i;
    }
    while (i < end && text[i] >= u'0' && text[i] <= u'9')
        number.integer += char(text[i++].unicode());
    const QString mark = locale.decimalPoint();
    if (i < end && !mark.isEmpty() && QStringView(text).sliced(i, end - i).startsWith(mark)) {
        i += mark.size();
        while (i < end && text[i] >= u'0' && text[i] <= u'9')
            number.fraction += char(text[i++].unicode());
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

RunTimeError notANumber(const QString &text)
{
    return RunTimeError("not a number: \"" + text.left(40).toStdString() + "\"");
}

// Windows' general date shows the year in full and the time with seconds; the
// locale data of other platforms may have a two-digit year, a time without
// seconds or a time-zone name in its long form, so the short forms are widened.
QString shortDateFormat(const QLocale &locale)
{
    QString format = locale.dateFormat(QLocale::ShortFormat);
    if (!format.contains(u"yyyy"))
        format.replace(QStringLiteral("yy"), QStringLiteral("yyyy"));
    return format;
}

QString timeWithSecondsFormat(const QLocale &locale)
{
    QString format = locale.timeFormat(QLocale::ShortFormat);
    if (!format.contains(u"ss")) {
        const qsizetype minutes = format.indexOf(u"mm");
        if (minutes >= 0)
            format.insert(minutes + 2, QStringLiteral(":ss"));
    }
    return format;
}

} // namespace

qint16 toInt16(const QString &text, const QLocale &locale)
{
    const auto number = parseDecimal(text, locale);
    const auto value = number ? decimalValue(*number) : std::nullopt;
    if (!value)
        throw notANumber(text);
    const double rounded = std::nearbyint(*value); // default rounding: ties to even
    if (rounded < -32768.0 || rounded > 32767.0)
        throw RunTimeError("overflow: \"" + text.left(40).toStdString() + "\"");
    return static_cast<qint16>(rounded);
}

double toDouble(const QString &text, const QLocale &locale)
{
    const auto number = parseDecimal(text, locale);
    const auto value = number ? decimalValue(*number) : std::nullopt;
    if (!value)
        throw notANumber(text);
    return *value;
}

QString intText(qint64 value)
{
    return QString::number(value);
}

QString generalText(double value, const QLocale &locale)
{
    if (value == 0)
        value = 0; // no "-0"
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
    QString text = QString::fromLatin1(buffer, result.ptr - buffer);
    text.replace(u'.', locale.decimalPoint());
    return text;
}

QString formatHashDotHash(const QString &text, const QLocale &locale)
{
    const auto number = parseDecimal(text, locale);
    if (!number || !decimalValue(*number))
        return text;

    // Round to one decimal on the digits themselves, halves away from zero.
    std::string integer = number->integer;
    int tenths = number->fraction.empty() ? 0 : number->fraction[0] - '0';
    const bool roundUp = number->fraction.size() > 1 && number->fraction[1] >= '5';
    if (roundUp && ++tenths == 10) {
        tenths = 0;
        qsizetype i = qsizetype(integer.size()) - 1;
        for (; i >= 0 && integer[i] == '9'; --i)
            integer[i] = '0';
        if (i >= 0)
            ++integer[i];
        else
            integer.insert(integer.begin(), '1');
    }
    const auto firstDigit = integer.find_first_not_of('0');
    integer = firstDigit == std::string::npos ? std::string() : integer.substr(firstDigit);

    QString out;
    if (number->negative && (!integer.empty() || tenths != 0))
        out += u'-';
    out += QString::fromLatin1(integer) + locale.decimalPoint();
    if (tenths != 0)
        out += QChar(u'0' + tenths);
    return out;
}

QString generalDateText(const QDateTime &when, const QLocale &locale)
{
    const QString date = locale.toString(when.date(), shortDateFormat(locale));
    const QTime time = when.time();
    if (time.hour() == 0 && time.minute() == 0 && time.second() == 0)
        return date;
    return date + u' ' + locale.toString(time, timeWithSecondsFormat(locale));
}

} // namespace platform
