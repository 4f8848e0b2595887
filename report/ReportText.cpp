#include "ReportText.h"

#include "Conversions.h"

#include <cmath>

namespace report {

QStringList reportLines(const ReportFields &fields, const QDateTime &savedAt, const QLocale &locale)
{
    using platform::intText;
    const qint16 count = platform::toInt16(fields.count, locale);

    QStringList lines{
        QStringLiteral(" "),
        fields.site,
        fields.point,
        QStringLiteral("Date / Time : ") + platform::generalDateText(savedAt, locale),
        QStringLiteral(" "),
        QStringLiteral("Pinging ") + fields.address + QStringLiteral(" with ") + fields.size
                + QStringLiteral(" bytes of data:"),
    };

    // One line per probe of the count, whatever the list holds: a line past
    // its end is empty.
    qint16 lost = 0;
    for (qint16 i = 0; i < count; ++i) {
        const QString result = fields.results.value(i);
        if (result == QLatin1String("Request timed out"))
            ++lost;
        lines << QStringLiteral("Test No:") + intText(i + 1) + QStringLiteral("  ") + result;
    }

    if (count == 0)
        throw platform::RunTimeError("division by zero: the count is 0");
    const double lossPercent = std::nearbyint(double(lost) / count * 100); // ties to even
    lines << QStringLiteral(" ") << QStringLiteral("Ping statistics for ") + fields.address + QStringLiteral(":")
          << QStringLiteral("    Packets: Sent = ") + fields.count + QStringLiteral(", Received = ")
                    + intText(count - lost) + QStringLiteral(", Lost = ") + intText(lost) + QStringLiteral(" (")
                    + intText(qint64(lossPercent)) + QStringLiteral("% loss),")
          << QStringLiteral("Approximate round trip times in milli-seconds:")
          << QStringLiteral("    Minimum = ") + fields.minimum + QStringLiteral(", Maximum = ") + fields.maximum
                    + QStringLiteral(", Average = ") + platform::formatHashDotHash(fields.average, locale);
    return lines;
}

} // namespace report
