// The window's other handlers: "DataClear", the Enter key, a second "Ping
// Start" during a run, a second run in the same window, and closing mid-run.
#include "FormHarness.h"

#include <gtest/gtest.h>

using namespace testsupport;
using namespace window;

// "DataClear" empties the results and disables "SaveData"; what the user
// typed stays.
TEST(Form1, DataClear)
{
    for (const bool afterRun : {false, true}) {
        FormHarness h;
        if (afterRun) {
            h.setText(Text2, "64");
            h.setText(Text8, "本社");
            h.run("127.0.0.1", "3", {{0, 5}, {kTimedOut, 0}, {0, 6}});
            ASSERT_TRUE(h.enabled(Command2));
        }
        const auto typed = [&] { return Lines{h.text(Text1), h.text(Text3), h.text(Text2), h.text(Text8), h.text(Text9)}; };
        const Lines before = typed();
        h.click(Command3);
        EXPECT_TRUE(h.lines().empty());
        EXPECT_EQ(h.results(), Lines(3, ""));
        EXPECT_FALSE(h.enabled(Command2));
        EXPECT_EQ(typed(), before);
    }
}

// Enter in the address field hands the focus to "Ping Start" without
// pressing it; no other key or field moves the focus.
TEST(Form1, EnterMovesTheFocusOnly)
{
    for (const auto &[field, key, focusesStart] :
         {std::tuple{Text1, 13, true}, {Text1, 10, false}, {Text1, 'a', false}, {Text3, 13, false}, {Text8, 13, false}}) {
        SCOPED_TRACE(testing::Message() << "control " << int(field) << ", key " << key);
        FormHarness h;
        h.setText(Text1, "127.0.0.1");
        h.form.KeyPress(field, key);
        EXPECT_EQ(h.runtime.focus, focusesStart ? std::optional<ControlIndex>(Command1) : std::nullopt);
        EXPECT_EQ(h.echo.starts, 0);
        EXPECT_EQ(h.text(Text1), "127.0.0.1");
    }
}

TEST(Form1, IgnoresASecondStart)
{
    FormHarness h;
    h.runtime.duringPause = [&](int n) {
        if (n == 2)
            h.click(Command1);
    };
    h.run("127.0.0.1", "3");
    EXPECT_EQ(h.echo.addresses.size(), 3u);
    EXPECT_EQ(h.lines().size(), 3u);
    EXPECT_TRUE(h.enabled(Command2));
}

// A second run starts from an empty list and empty results, whether it ends
// well or breaks off.
TEST(Form1, SecondRunStartsEmpty)
{
    for (const auto &[count, lines, results] :
         {std::tuple{"2", Lines(2, replyLine(6)), Lines(3, "6 ms")}, {"x", Lines{}, Lines(3, "")}}) {
        SCOPED_TRACE(count);
        FormHarness h;
        h.run("127.0.0.1", "3", {{0, 5}, {0, 9}, {0, 7}});
        h.run("127.0.0.1", count, {{0, 6}, {0, 6}});
        EXPECT_EQ(h.lines(), lines);
        EXPECT_EQ(h.results(), results);
        EXPECT_EQ(h.enabled(Command2), !lines.empty());
    }
}

// Closing the window ends the run at the pause it closes in: no more probes,
// no box, every socket library closed, the pointer back; the window opened
// again runs in full.
TEST(Form1, ClosingEndsTheRun)
{
    FormHarness h;
    h.runtime.duringPause = [&](int n) {
        if (n == 2)
            h.form.Unload();
    };
    h.run("127.0.0.1", "5");
    EXPECT_EQ(h.echo.addresses.size(), 2u);
    EXPECT_EQ(h.echo.stops, 2);
    EXPECT_TRUE(h.boxes().empty());
    EXPECT_FALSE(h.enabled(Command2));
    EXPECT_EQ(h.runtime.pointer, runtime::Pointer::Default);

    h.runtime.duringPause = {};
    h.run("127.0.0.1", "3");
    EXPECT_EQ(h.lines().size(), 3u);
    EXPECT_TRUE(h.enabled(Command2));
}
