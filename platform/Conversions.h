// Text <-> number rules of the forms runtime, and the date text of a report.
// Every value the window shows is the text of a field; these functions read
// numbers from such text and write them back, with the locale's decimal mark.
#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

#include <stdexcept>

namespace platform {

// The run-time error of the forms runtime: a failing conversion raises it, and
// the handler in progress catches it at its single error exit.
class RunTimeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads a 16-bit integer: blanks around the number are ignored, a sign and a
// fraction are allowed, a fraction is rounded to the nearest integer with ties
// to the even neighbour (2.5 -> 2, 3.5 -> 4). Empty or non-numeric text, and a
// value outside -32768..32767 after rounding, raise RunTimeError.
qint16 toInt16(const QString &text, const QLocale &locale);

// Reads a double by the same notation, without rounding; raises RunTimeError on
// text that is not a number or a value too large for a double.
double toDouble(const QString &text, const QLocale &locale);

// Plain decimal, "-" for negatives, no leading zeros or blanks.
QString intText(qint64 value);

// General form: at most 15 significant digits, no trailing zeros, the locale's
// decimal mark (7.4, 12, 6.66666666666667).
QString generalText(double value, const QLocale &locale);

// The "#.#" number format: numeric text comes out with at most one decimal
// (7.46 -> 7.5, halves rounded away from zero, no forced zeros, so 7 -> "7.");
// any other text comes out unchanged.
QString formatHashDotHash(const QString &text, const QLocale &locale);

// General date: the locale's short date (with a four-digit year), a blank and
// the time with seconds; at exactly midnight the date alone.
QString generalDateText(const QDateTime &when, const QLocale &locale);

} // namespace platform
