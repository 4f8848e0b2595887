// The report's lines from the fields' texts.
#include "runtime/Conversions.h"
#include "report/ReportText.h"

#include <gtest/gtest.h>

using Lines = std::vector<std::string>;

namespace {

const std::string kReply = "Reply from 192.168.0.1 : Bytes = 32 Time = 3 ms  TTL = 128";

report::ReportFields exampleRun(int count = 5)
{
    return {.site = u"Site A", .point = u"Point 3", .address = u"192.168.0.1", .size = u"32",
            .count = runtime::intText(count), .results = std::vector(std::size_t(count), runtime::fromUtf8(kReply)),
            .minimum = u"3 ms", .maximum = u"3 ms", .average = u"3 ms"};
}

Lines reportLines(const report::ReportFields &fields)
{
    Lines out;
    for (const runtime::Text &line : report::reportLines(fields, u"12/7/2026 9:05:03 AM", u"."))
        out.push_back(runtime::toUtf8(line));
    return out;
}

} // namespace

TEST(ReportText, WritesTheExampleRun)
{
    EXPECT_EQ(reportLines(exampleRun()),
              (Lines{" ", "Site A", "Point 3", "Date / Time : 12/7/2026 9:05:03 AM", " ",
                     "Pinging 192.168.0.1 with 32 bytes of data:", "Test No:1  " + kReply, "Test No:2  " + kReply,
                     "Test No:3  " + kReply, "Test No:4  " + kReply, "Test No:5  " + kReply, " ",
                     "Ping statistics for 192.168.0.1:", "    Packets: Sent = 5, Received = 5, Lost = 0 (0% loss),",
                     "Approximate round trip times in milli-seconds:",
                     "    Minimum = 3 ms, Maximum = 3 ms, Average = 3 ms"}));
}

// The loss share is rounded to the nearest percent, ties to even.
TEST(ReportText, CountsTheLosses)
{
    for (const auto &[count, lostAt, packets] :
         {std::tuple{5, std::vector<int>{}, "Sent = 5, Received = 5, Lost = 0 (0% loss),"},
          {5, {1}, "Sent = 5, Received = 4, Lost = 1 (20% loss),"}, {8, {7}, "Sent = 8, Received = 7, Lost = 1 (12% loss),"},
          {8, {0, 3, 4}, "Sent = 8, Received = 5, Lost = 3 (38% loss),"},
          {3, {2}, "Sent = 3, Received = 2, Lost = 1 (33% loss),"},
          {20, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19},
           "Sent = 20, Received = 0, Lost = 20 (100% loss),"}}) {
        report::ReportFields fields = exampleRun(count);
        for (int i : lostAt)
            fields.results[std::size_t(i)] = u"Request timed out";
        const Lines lines = reportLines(fields);
        EXPECT_EQ(lines.at(lines.size() - 3), std::string("    Packets: ") + packets);
        for (int i : lostAt)
            EXPECT_EQ(lines.at(std::size_t(6 + i)), "Test No:" + std::to_string(i + 1) + "  Request timed out");
    }
}

// The report follows the count field as it stands at saving, not the list;
// only the exact line counts as lost; the average is put in the "#.#" form.
TEST(ReportText, FollowsTheCountField)
{
    report::ReportFields fields = exampleRun();
    fields.count = u"7";
    fields.results[2] = u"Request timed out";
    fields.results[4] = u"request timed out";
    fields.site.clear();
    fields.point.clear();
    fields.average = u"7.46";
    const Lines lines = reportLines(fields);
    ASSERT_EQ(lines.size(), 6u + 7 + 5);
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + 3), (Lines{" ", "", ""}));
    EXPECT_EQ(Lines(lines.begin() + 11, lines.begin() + 13), (Lines{"Test No:6  ", "Test No:7  "}));
    EXPECT_EQ(lines.at(15), "    Packets: Sent = 7, Received = 6, Lost = 1 (14% loss),");
    EXPECT_EQ(lines.at(17), "    Minimum = 3 ms, Maximum = 3 ms, Average = 7.5");

    for (const char16_t *count : {u"0", u"five", u"", u"40000"}) {
        fields.count = count;
        EXPECT_THROW(reportLines(fields), runtime::RunTimeError) << runtime::toUtf8(count);
    }
}

// A line break that reached a field never splits a report line: every line
// holds no CR or LF of its own, and the number of lines stays the same.
TEST(ReportText, NoBreakInsideALine)
{
    report::ReportFields fields = exampleRun(1);
    fields.site = u"Site\r\nA";
    fields.point = u"Point\n3\r";
    fields.address = u"127.0.0.1\n";
    fields.results[0] = u"Reply from 127.0.0.1\n : Bytes = 32";
    const Lines lines = reportLines(fields);
    ASSERT_EQ(lines.size(), 6u + 1 + 5);
    for (const std::string &line : lines)
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
    EXPECT_EQ(Lines(lines.begin() + 1, lines.begin() + 3), (Lines{"Site A", "Point 3 "}));
    EXPECT_EQ(lines.at(5), "Pinging 127.0.0.1  with 32 bytes of data:");
}
