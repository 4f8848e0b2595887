#include "report/ReportText.h"

#include "runtime/Conversions.h"

#include <cmath>
#include <cstdint>

namespace report {
namespace {

// Every line of the report ends in CR LF and holds no break of its own: a
// break that reached a field (CR, LF or the two together) becomes one blank.
Text withoutBreaks(Text line)
{
    Text out;
    out.reserve(line.size());
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == u'\r' || line[i] == u'\n') {
            if (line[i] == u'\r' && i + 1 < line.size() && line[i + 1] == u'\n')
                ++i;
            out += u' ';
        } else {
            out += line[i];
        }
    }
    return out;
}

} // namespace

std::vector<Text> reportLines(const ReportFields &fields, const Text &savedAt, const Text &decimalMark)
{
    using runtime::intText;
    const std::int16_t count = runtime::toInt16(fields.count, decimalMark);

    std::vector<Text> lines{
        u" ",
        fields.site,
        fields.point,
        u"Date / Time : " + savedAt,
        u" ",
        u"Pinging " + fields.address + u" with " + fields.size + u" bytes of data:",
    };

    // One line per probe of the count, whatever the list holds: a line past
    // its end is empty.
    std::int16_t lost = 0;
    for (std::int16_t i = 0; i < count; ++i) {
        const Text result = std::size_t(i) < fields.results.size() ? fields.results[std::size_t(i)] : Text();
        if (result == kTimedOutLine)
            ++lost;
        lines.push_back(u"Test No:" + intText(i + 1) + u"  " + result);
    }

    if (count == 0)
        throw runtime::RunTimeError("division by zero: the count is 0");
    const double lossPercent = std::nearbyint(double(lost) / count * 100); // ties to even
    lines.push_back(u" ");
    lines.push_back(u"Ping statistics for " + fields.address + u":");
    lines.push_back(u"    Packets: Sent = " + fields.count + u", Received = " + intText(count - lost) + u", Lost = "
                    + intText(lost) + u" (" + intText(std::int64_t(lossPercent)) + u"% loss),");
    lines.push_back(u"Approximate round trip times in milli-seconds:");
    lines.push_back(u"    Minimum = " + fields.minimum + u", Maximum = " + fields.maximum + u", Average = "
                    + runtime::formatHashDotHash(fields.average, decimalMark));
    for (Text &line : lines)
        line = withoutBreaks(std::move(line));
    return lines;
}

} // namespace report
