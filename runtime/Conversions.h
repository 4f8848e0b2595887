// Text <-> number rules of the forms runtime. Every value the window shows is
// the text of a field; these functions read numbers from such text and write
// them back, with the system's decimal mark, which the runtime supplies.
#pragma once

#include "runtime/Text.h"

#include <cstdint>
#include <stdexcept>
#include <string_view>

namespace runtime {

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
std::int16_t toInt16(std::u16string_view text, std::u16string_view decimalMark);

// Reads a double by the same notation, without rounding; raises RunTimeError on
// text that is not a number or a value too large for a double.
double toDouble(std::u16string_view text, std::u16string_view decimalMark);

// Plain decimal, "-" for negatives, no leading zeros or blanks.
Text intText(std::int64_t value);

// General form: at most 15 significant digits, no trailing zeros, the given
// decimal mark (7.4, 12, 6.66666666666667).
Text generalText(double value, std::u16string_view decimalMark);

// The "#.#" number format: numeric text comes out with at most one decimal
// (7.46 -> 7.5, halves rounded away from zero, no forced zeros, so 7 -> "7.");
// any other text comes out unchanged.
Text formatHashDotHash(std::u16string_view text, std::u16string_view decimalMark);

} // namespace runtime
