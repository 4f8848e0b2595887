// The text of a saved report, built whole before anything is written.
#pragma once

#include "runtime/Text.h"

#include <vector>

namespace report {

using runtime::Text;

// The line a probe without a reply leaves in the list; the report counts the
// lines that are exactly this as lost.
inline const Text kTimedOutLine = u"Request timed out";

// What the report reads from the window, as the fields' texts.
struct ReportFields {
    Text site;    // Text8
    Text point;   // Text9
    Text address; // Text1
    Text size;    // Text2
    Text count;   // Text3
    std::vector<Text> results; // the lines of List1
    Text minimum; // Text5
    Text maximum; // Text6
    Text average; // Text7
};

// The report's lines, without line ends. `savedAt` is the date text of the
// save. Raises runtime::RunTimeError when the count is not a 16-bit number or
// is 0.
std::vector<Text> reportLines(const ReportFields &fields, const Text &savedAt, const Text &decimalMark);

} // namespace report
