// The text of a saved report, built whole before anything is written.
#pragma once

#include <QDateTime>
#include <QLocale>
#include <QStringList>

namespace report {

// What the report reads from the window, as the fields' texts.
struct ReportFields {
    QString site;     // Text8
    QString point;    // Text9
    QString address;  // Text1
    QString size;     // Text2
    QString count;    // Text3
    QStringList results; // the lines of List1
    QString minimum;  // Text5
    QString maximum;  // Text6
    QString average;  // Text7
};

// The report's lines, without line ends. Raises platform::RunTimeError when the
// count is not a 16-bit number or is 0.
QStringList reportLines(const ReportFields &fields, const QDateTime &savedAt, const QLocale &locale);

} // namespace report
