#include "platform/qt/GeneralDate.h"

namespace platform::qt {
namespace {

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

QString generalDateText(const QDateTime &when, const QLocale &locale)
{
    const QString date = locale.toString(when.date(), shortDateFormat(locale));
    const QTime time = when.time();
    if (time.hour() == 0 && time.minute() == 0 && time.second() == 0)
        return date;
    return date + u' ' + locale.toString(time, timeWithSecondsFormat(locale));
}

} // namespace platform::qt
