// "Ping Start": the count and size rules, the lines, the minimum, maximum and
// average, edits while the run pauses, and every way a run breaks off.
#include "FormHarness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

using namespace testsupport;
using namespace window;
using std::chrono::milliseconds;

namespace {

constexpr std::int32_t kGarbage = 77; // what a service might leave in a lost probe's time

// How every run that does not reach its end leaves the window.
void expectBrokenOff(const FormHarness &h, const std::string &box)
{
    EXPECT_EQ(h.boxes(), Lines{box});
    EXPECT_FALSE(h.enabled(Command2));
    EXPECT_EQ(h.text(Text7), "");
    EXPECT_EQ(h.runtime.pointer, runtime::Pointer::Default);
    const bool refused = std::ranges::count(h.echo.socketsOpen, false) > 0;
    EXPECT_EQ(h.echo.stops, h.echo.starts - (refused ? 1 : 0)) << "every opened socket library is closed once";
}

// A run of five whose `n`-th pause does `edit`.
void runWithEdit(FormHarness &h, int n, const std::function<void()> &edit, std::vector<Answer> answers)
{
    h.runtime.duringPause = [&, n](int pause) {
        if (pause == n)
            edit();
    };
    h.run("127.0.0.1", "5", std::move(answers));
}

} // namespace

TEST(RunPings, LimitsTheCountAndTheSize)
{
    for (const auto &[count, size, probes, sent, countShown, sizeShown] :
         {std::tuple{"5", "32", 5, 32, "5", "32"}, {"25", "200", 20, 128, "20", "128"}, {"20.6", "128", 20, 128, "20", "128"},
          {"2.5", "32.5", 2, 32, "2.5", "32.5"}, {" 3 ", "40000", 3, 128, " 3 ", "128"}, {"1", "0", 1, 0, "1", "0"},
          // full-width digits read as numbers; the fields keep them as typed
          {"３", "１６", 3, 16, "３", "１６"},
          // exactly the limit is not above it: the field stays as typed
          {"1", "128.0", 1, 128, "1", "128.0"}, {"1", " 128", 1, 128, "1", " 128"}, {"1", "１２８", 1, 128, "1", "１２８"}}) {
        SCOPED_TRACE(std::string(count) + " probes of " + size);
        FormHarness h;
        h.setText(Text2, size);
        h.run("127.0.0.1", count);
        EXPECT_EQ((Lines{h.text(Text3), h.text(Text2)}), (Lines{countShown, sizeShown}));
        EXPECT_EQ(h.echo.payloads, Lines(std::size_t(probes), std::string(std::size_t(sent), '*')));
        EXPECT_EQ(h.lines(), Lines(std::size_t(probes), replyLine(1, "127.0.0.1", sizeShown)));
        EXPECT_EQ(h.runtime.pauses, std::vector(std::size_t(probes), milliseconds(990)));
        EXPECT_EQ(h.echo.stops, probes);
        EXPECT_EQ(h.text(Text7), "1 ms");
        EXPECT_TRUE(h.enabled(Command2));
        EXPECT_TRUE(h.boxes().empty());
        EXPECT_EQ(h.runtime.pointer, runtime::Pointer::Default);
    }
}

// A count or size that is no usable number ends the run with the run-error
// box, at the first probe at the latest, and leaves the field as typed; the
// next run with good fields works as if nothing had happened.
TEST(RunPings, RefusesBadNumbers)
{
    std::vector<std::pair<Control, std::string>> rows;
    for (Control field : {Text3, Text2}) {
        for (const std::string &text : {std::string(100'000, '9'), std::string(100'000, 'x'), std::string(100'000, ' '),
                                        std::string("5\a"), std::string("\x1b" "5"), std::string("5\0" "5", 3),
                                        std::string("5\n"), std::string("３２ｘ"), std::string("٣٢"), std::string("五"),
                                        std::string("3.2.1"), std::string("-"), std::string(".")})
            rows.emplace_back(field, text);
    }
    for (const char *count : {"", "0", "-3", "five", "40000", "0.5", "32767.5"})
        rows.emplace_back(Text3, count);
    for (const std::string &size : {std::string(), std::string("-1"), std::string("-0.6"), "1" + std::string(400, '0')})
        rows.emplace_back(Text2, size);

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
        EXPECT_EQ(h.echo.payloads, Lines(2, std::string(32, '*')));
        EXPECT_EQ(h.boxes().size(), 1u);
        EXPECT_TRUE(h.enabled(Command2));
    }
}

// A failure inside a probe closes that probe's socket library and keeps the
// lines already listed; a refused socket library shows its own box.
TEST(RunPings, BreaksOffInsideAProbe)
{
    for (const auto &[size, second, socketsOpen, box] :
         {std::tuple{"-1", Answer{}, true, kRunError}, {"abc", Answer{}, true, kRunError}, {"", Answer{}, true, kRunError},
          {"32", Answer{-1, 0}, true, kRunError}, {"32", Answer{0, 32768}, true, kRunError},
          {"32", Answer{}, false, kSocketsBox}}) {
        SCOPED_TRACE(testing::Message() << size << ", status " << second.status << ", time " << second.roundTripTime);
        FormHarness h;
        h.echo.socketsOpen = {true, socketsOpen};
        runWithEdit(h, 1, [&, size = size] { h.setText(Text2, size); }, {{0, 4}, second});
        expectBrokenOff(h, box);
        EXPECT_EQ(h.echo.starts, 2);
        EXPECT_EQ(h.lines(), Lines{replyLine(4)});
        EXPECT_EQ(h.text(Text5), "4 ms");
    }
}

TEST(RunPings, BreaksOffAtTheFirstProbe)
{
    for (const auto &[socketsOpen, box] : {std::pair{true, kRunError}, {false, kSocketsBox}}) {
        FormHarness h;
        h.echo.socketsOpen = {socketsOpen};
        h.run("", "5", {{-1, 0}});
        expectBrokenOff(h, box);
        EXPECT_EQ(h.echo.starts, 1);
        EXPECT_EQ(h.echo.addresses.size(), socketsOpen ? 1u : 0u);
        EXPECT_TRUE(h.lines().empty());
    }
}

TEST(RunPings, KeepsTheTimes)
{
    const Lines lost(3, "Request timed out");
    for (const auto &[answers, lines, results] : {
             std::tuple{std::vector<Answer>{{0, 5}, {0, 10}, {0, 7}}, Lines{replyLine(5), replyLine(10), replyLine(7)},
                        Lines{"5 ms", "10 ms", "7.33333333333333 ms"}},
             {{{0, 5}, {kTimedOut, kGarbage}, {0, 9}}, {replyLine(5), lost[0], replyLine(9)},
              {"0 ms", "9 ms", "4.66666666666667 ms"}},
             {{{0, 0}, {0, 0}, {0, 0}}, Lines(3, replyLine(0)), {"0 ms", "0 ms", "0 ms"}},
             {{{kTimedOut, kGarbage}, {11003, kGarbage}, {kTimedOut, 3}}, lost, {"0 ms", "0 ms", "0 ms"}},
             {std::vector<Answer>(3, {0, 12}), Lines(3, replyLine(12)), {"12 ms", "12 ms", "12 ms"}}}) {
        SCOPED_TRACE(testing::PrintToString(lines));
        FormHarness h;
        h.run("127.0.0.1", "3", answers);
        EXPECT_EQ(h.lines(), lines);
        EXPECT_EQ(h.results(), results);
        EXPECT_TRUE(h.enabled(Command2));
    }
}

// The minimum and maximum are kept against the run's times, not the fields,
// so after "DataClear" they come back only with a new extreme: an equal time
// is none.
TEST(RunPings, ClearsInTheMiddle)
{
    for (const auto &[times, results] : {std::pair{std::vector{5, 10, 7, 12, 3}, Lines{"3 ms", "12 ms", "7.4 ms"}},
                                         {{5, 10, 7, 7, 6}, {"", "", "7 ms"}},
                                         {{5, 10, 7, 5, 10}, {"", "", "7.4 ms"}}}) {
        SCOPED_TRACE(testing::PrintToString(times));
        FormHarness h;
        std::vector<Answer> answers;
        for (int t : times)
            answers.push_back({0, t});
        runWithEdit(h, 2, [&] { h.click(Command3); }, answers);
        EXPECT_EQ(h.lines(), (Lines{replyLine(times[2]), replyLine(times[3]), replyLine(times[4])}));
        EXPECT_EQ(h.results(), results);
        EXPECT_TRUE(h.enabled(Command2));
    }
}

// Edits made while the run pauses: the address and size count from the next
// probe on, the count only for the sum and the average.
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

    for (const auto &[count, average] : {std::pair{"2", "5 ms"}, {"-2", "0 ms"}, {"7", ""}, {"0", ""}, {"x", ""}}) {
        SCOPED_TRACE(count);
        FormHarness edited;
        runWithEdit(edited, 1, [&, count = count] { edited.setText(Text3, count); }, {{0, 4}, {0, 6}, {0, 8}, {0, 8}, {0, 8}});
        EXPECT_EQ(edited.echo.addresses.size(), 5u);
        if (*average == '\0') {
            expectBrokenOff(edited, kRunError);
        } else {
            EXPECT_EQ(edited.text(Text7), average);
            EXPECT_TRUE(edited.enabled(Command2));
        }
    }
}

TEST(RunPings, ShowsTheBusyPointerWhileItRuns)
{
    FormHarness h;
    std::vector<runtime::Pointer> shapes;
    h.runtime.duringPause = [&](int) { shapes.push_back(h.runtime.pointer); };
    h.run("127.0.0.1", "2");
    EXPECT_EQ(shapes, std::vector(2, runtime::Pointer::Busy));
    EXPECT_EQ(h.runtime.pointer, runtime::Pointer::Default);
}
