#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

namespace platform::qt {

// The system's general date: the locale's short date (with a four-digit year),
// a blank and the time with seconds; at exactly midnight the date alone.
QString generalDateText(const QDateTime &when, const QLocale &locale);

} // namespace platform::qt
