// "Ping Start": the count and size rules, the lines, the minimum, maximum and
// average, edits while the run pauses, and every way a run breaks off.
#include "FormHarness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

using namespace testsupport;
using namespace window;
using std::chrono::milliseconds;

namespace {

using Lines = std::vector<std::string>;

constexpr std::int32_t kGarbage = 77; // what a service might leave in a lost probe's time

// How every run that does not reach its end leaves the window.
void expectBrokenOff(const FormHarness &h, const std::string &box)
{
    EXPECT_EQ(h.boxes(), Lines{box});
    EXPECT_FALSE(h.enabled(Command2));
    EXPECT_EQ(h.text(Text7), "");
    EXPECT_EQ(h.runtime.pointer, platform::Pointer::Default);
    const bool refused = std::ranges::find(h.echo.socketsOpen, false) != h.echo.socketsOpen.end();
    EXPECT_EQ(h.echo.stops, h.echo.starts - (refused ? 1 : 0)) << "every opened socket library is closed once";
}

const std::string kRunError = kRunErrorTitle + ": " + kRunErrorText;

} // namespace

TEST(RunPings, LimitsTheCount)
{
    const struct {
        const char *count;
        int probes;
        const char *countAfter;
    } rows[] = {{"5", 5, "5"}, {"25", 20, "20"}, {"20.6", 20, "20"}, {"2.5", 2, "2.5"}, {" 3 ", 3, " 3 "}, {"1", 1, "1"}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.count);
        FormHarness h;
        h.run("127.0.0.1", row.count);
        EXPECT_EQ(h.text(Text3), row.countAfter);
        EXPECT_EQ(h.echo.addresses.size(), std::size_t(row.probes));
        EXPECT_EQ(h.lines(), Lines(std::size_t(row.probes), replyLine(1)));
        EXPECT_EQ(h.runtime.pauses, std::vector<milliseconds>(std::size_t(row.probes), milliseconds(990)));
        EXPECT_EQ(h.echo.stops, row.probes);
        EXPECT_EQ(h.text(Text7), "1 ms");
        EXPECT_TRUE(h.enabled(Command2));
        EXPECT_TRUE(h.boxes().empty());
        EXPECT_EQ(h.runtime.pointer, platform::Pointer::Default);
    }
}

TEST(RunPings, LimitsTheSize)
{
    const struct {
        const char *size;
        std::size_t sent;
        const char *shown;
    } rows[] = {{"32", 32, "32"},   {"200", 128, "128"},     {"128", 128, "128"},
                {"32.5", 32, "32.5"}, {"40000", 128, "128"}, {"0", 0, "0"}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.size);
        FormHarness h;
        h.setText(Text2, row.size);
        h.run("127.0.0.1", "2");
        EXPECT_EQ(h.text(Text2), row.shown);
        EXPECT_EQ(h.echo.payloads, Lines(2, std::string(row.sent, '*')));
        EXPECT_EQ(h.lines(), Lines(2, replyLine(1, "127.0.0.1", row.shown)));
    }
}

// A count or size that is no usable number ends the run with the run-error
// box, at the first probe at the latest, and leaves the field as typed; the
// next run with good fields works as if nothing had happened.
TEST(RunPings, RefusesBadNumbers)
{
    std::vector<std::pair<Control, std::string>> rows;
    for (Control field : {Text3, Text2}) {
        for (std::string text : {std::string(100'000, '9'), std::string(100'000, 'x'), std::string(100'000, ' '),
                                 std::string("5\a"), std::string("\x1b" "5"), std::string("5\0" "5", 3),
                                 std::string("5\n"), std::string("３２"), std::string("٣٢"), std::string("五"),
                                 std::string("3.2.1"), std::string("-"), std::string(".")})
            rows.emplace_back(field, text);
    }
    for (const char *count : {"", "0", "-3", "five", "40000", "0.5", "32767.5"})
        rows.emplace_back(Text3, count);
    for (const char *size : {"", "-1", "-0.6", "abc"})
        rows.emplace_back(Text2, size);
    rows.emplace_back(Text2, "1" + std::string(400, '0')); // beyond a double

    for (const auto &[field, text] : rows) {
        SCOPED_TRACE(testing::Message() << (field == Text3 ? "Text3 " : "Text2 ") << text.substr(0, 20));
        FormHarness h;
        h.setText(Text2, field == Text2 ? text : "32");
        h.run("127.0.0.1", field == Text3 ? text : "3");
        expectBrokenOff(h, kRunError);
        EXPECT_EQ(h.echo.starts, field == Text3 ? 0 : 1);
        EXPECT_TRUE(h.echo.addresses.empty());
        EXPECT_TRUE(h.lines().empty());
        EXPECT_EQ(h.text(field), text);

        h.setText(Text2, "32");
        h.run("127.0.0.1", "2");
        EXPECT_EQ(h.lines().size(), 2u);
        EXPECT_EQ(h.echo.payloads, Lines(2, std::string(32, '*')));
        EXPECT_EQ(h.boxes().size(), 1u);
        EXPECT_TRUE(h.enabled(Command2));
    }
}

// A failure inside a later probe closes that probe's socket library and keeps
// the lines already listed.
TEST(RunPings, BreaksOffInsideAProbe)
{
    const struct {
        const char *name;
        const char *size;
        Answer second;
    } rows[] = {{"negative size", "-1", {}},
                {"size not a number", "abc", {}},
                {"empty size", "", {}},
                {"unusable address", "32", {-1, 0}},
                {"time beyond 16 bits", "32", {0, 32768}}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        FormHarness h;
        h.runtime.duringPause = [&](int n) {
            if (n == 1)
                h.setText(Text2, row.size);
        };
        h.run("127.0.0.1", "5", {{0, 4}, row.second});
        expectBrokenOff(h, kRunError);
        EXPECT_EQ(h.echo.starts, 2);
        EXPECT_EQ(h.lines(), Lines{replyLine(4)});
        EXPECT_EQ(h.text(Text5), "4 ms");
    }
}

TEST(RunPings, RefusesAnUnusableAddressAtOnce)
{
    FormHarness h;
    h.run("", "5", {{-1, 0}});
    expectBrokenOff(h, kRunError);
    EXPECT_EQ(h.echo.starts, 1);
    EXPECT_TRUE(h.lines().empty());
}

TEST(RunPings, ReportsTheSocketLibrary)
{
    const struct {
        std::vector<bool> socketsOpen;
        std::size_t lines;
    } rows[] = {{{false}, 0}, {{true, true, false}, 2}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.lines);
        FormHarness h;
        h.echo.socketsOpen = row.socketsOpen;
        h.run("127.0.0.1", "5");
        expectBrokenOff(h, "Sondar: " + kSocketsText);
        EXPECT_EQ(h.echo.addresses.size(), row.lines);
        EXPECT_EQ(h.lines().size(), row.lines);
    }
}

TEST(RunPings, KeepsTheTimes)
{
    const struct {
        const char *name;
        std::vector<Answer> answers;
        Lines lines;
        Lines fields; // Text5, Text6, Text7
    } rows[] = {
        {"5, 10, 7", {{0, 5}, {0, 10}, {0, 7}}, {replyLine(5), replyLine(10), replyLine(7)},
         {"5 ms", "10 ms", "7.33333333333333 ms"}},
        {"time-out between 5 and 9", {{0, 5}, {kTimedOut, kGarbage}, {0, 9}},
         {replyLine(5), "Request timed out", replyLine(9)}, {"0 ms", "9 ms", "4.66666666666667 ms"}},
        {"all at 0 ms", {{0, 0}, {0, 0}, {0, 0}}, Lines(3, replyLine(0)), {"0 ms", "0 ms", "0 ms"}},
        {"all lost", {{kTimedOut, kGarbage}, {11003, kGarbage}, {kTimedOut, 3}}, Lines(3, "Request timed out"),
         {"0 ms", "0 ms", "0 ms"}},
        {"even average", std::vector<Answer>(3, {0, 12}),
         Lines(3, replyLine(12)), {"12 ms", "12 ms", "12 ms"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        FormHarness h;
        h.run("127.0.0.1", "3", row.answers);
        EXPECT_EQ(h.lines(), row.lines);
        EXPECT_EQ((Lines{h.text(Text5), h.text(Text6), h.text(Text7)}), row.fields);
        EXPECT_TRUE(h.enabled(Command2));
    }
}

// The minimum and maximum are kept against the run's times, not the fields,
// so after "DataClear" they come back only with a new extreme: an equal time
// is none.
TEST(RunPings, ClearsInTheMiddle)
{
    const struct {
        const char *name;
        std::vector<Answer> answers;
        Lines fields;
    } rows[] = {
        {"new extremes after the clearing", {{0, 5}, {0, 10}, {0, 7}, {0, 12}, {0, 3}}, {"3 ms", "12 ms", "7.4 ms"}},
        {"no new extreme", {{0, 5}, {0, 10}, {0, 7}, {0, 7}, {0, 6}}, {"", "", "7 ms"}},
        {"the extremes again", {{0, 5}, {0, 10}, {0, 7}, {0, 5}, {0, 10}}, {"", "", "7.4 ms"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        FormHarness h;
        h.runtime.duringPause = [&](int n) {
            if (n == 2)
                h.click(Command3);
        };
        h.run("127.0.0.1", "5", row.answers);
        EXPECT_EQ(h.lines(), (Lines{replyLine(row.answers[2].roundTripTime), replyLine(row.answers[3].roundTripTime),
                                    replyLine(row.answers[4].roundTripTime)}));
        EXPECT_EQ((Lines{h.text(Text5), h.text(Text6), h.text(Text7)}), row.fields);
        EXPECT_TRUE(h.enabled(Command2));
    }
}

// Edits made while the run pauses: the address and size count from the next
// probe on.
TEST(RunPings, TakesEditsBetweenProbes)
{
    FormHarness h;
    h.runtime.duringPause = [&](int n) {
        if (n == 1) {
            h.setText(Text1, "127.0.0.2");
            h.setText(Text2, "4");
        }
    };
    h.run("127.0.0.1", "2", {{0, 2}, {0, 3}});
    EXPECT_EQ(h.echo.addresses, (Lines{"127.0.0.1", "127.0.0.2"}));
    EXPECT_EQ(h.echo.payloads, (Lines{std::string(32, '*'), "****"}));
    EXPECT_EQ(h.lines(), (Lines{replyLine(2), replyLine(3, "127.0.0.2", "4")}));
}

// The count edited during the run changes only the sum and the average.
TEST(RunPings, FollowsTheCountFieldAtTheEnd)
{
    const struct {
        const char *count;
        const char *average; // empty: the run breaks off
    } rows[] = {{"2", "5 ms"}, {"-2", "0 ms"}, {"7", ""}, {"0", ""}, {"x", ""}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.count);
        FormHarness h;
        h.runtime.duringPause = [&](int n) {
            if (n == 1)
                h.setText(Text3, row.count);
        };
        h.run("127.0.0.1", "5", {{0, 4}, {0, 6}, {0, 8}, {0, 8}, {0, 8}});
        EXPECT_EQ(h.echo.addresses.size(), 5u);
        if (*row.average == '\0') {
            expectBrokenOff(h, kRunError);
        } else {
            EXPECT_EQ(h.text(Text7), row.average);
            EXPECT_TRUE(h.enabled(Command2));
        }
    }
}

TEST(RunPings, ShowsTheBusyPointerWhileItRuns)
{
    FormHarness h;
    std::vector<platform::Pointer> shapes;
    h.runtime.duringPause = [&](int) { shapes.push_back(h.runtime.pointer); };
    h.run("127.0.0.1", "2");
    EXPECT_EQ(shapes, std::vector<platform::Pointer>(2, platform::Pointer::Busy));
    EXPECT_EQ(h.runtime.pointer, platform::Pointer::Default);
}
