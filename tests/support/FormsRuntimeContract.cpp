// The forms-runtime contract: the operations the window's logic relies on,
// each as the user sees its result, the same on every layer.
#include "FormsRuntimeContract.h"

#include "TestFiles.h"
#include "layout/Layout.h"

#include <string>
#include <tuple>

namespace testsupport {
namespace {

using namespace window;

// What the layer reported of the user's doing.
struct RecordedEvents final : runtime::FormEvents {
    std::vector<std::string> seen;
    void Click(ControlIndex control) override { seen.push_back("click " + std::string(kLayout[control].name)); }
    void KeyPress(ControlIndex control, int key) override
    {
        seen.push_back("key " + std::to_string(key) + " in " + kLayout[control].name);
    }
    void Unload() override { seen.push_back("closing"); }
};

std::string utf8(const Text &text)
{
    return runtime::toUtf8(text);
}

const Text kLong(std::size_t(kTextBoxMaxLength) + 10, u'1');

} // namespace
} // namespace testsupport

using namespace testsupport;
using namespace window;
using std::chrono::milliseconds;

// A text box holds what it is given exactly, of one line and at most the
// shared number of characters: a longer text is cut, a line break ends it.
TEST_P(FormsRuntimeContract, TextBoxesHoldOneLineUpToTheLimit)
{
    runtime::FormsRuntime &runtime = driver->runtime();
    for (const auto &[what, given, held] :
         {std::tuple{"Japanese, an ideographic space and a character beyond 16 bits", Text(u"本社　２F 🏢"),
                     Text(u"本社　２F 🏢")},
          {"empty", u"", u""},
          {"a line break ends it", u"line one\nline two", u"line one"},
          {"CR LF too", u"a\r\nb", u"a"},
          {"cut at the limit", kLong, kLong.substr(0, kTextBoxMaxLength)}}) {
        SCOPED_TRACE(what);
        runtime.setText(Text8, given);
        EXPECT_EQ(runtime.text(Text8), held);
    }
}

// A paste goes in at the cursor: its first line, as much as the limit leaves
// room for; the text around the cursor stays. A disabled box takes none.
TEST_P(FormsRuntimeContract, PastesKeepTheFirstLineUpToTheLimit)
{
    runtime::FormsRuntime &runtime = driver->runtime();
    const Text full = kLong.substr(0, kTextBoxMaxLength);
    for (const auto &[what, field, before, cursor, pasted, after] :
         {std::tuple{"a copied line with its end", Text1, Text(), std::size_t(0), Text(u"127.0.0.1\n"), Text(u"127.0.0.1")},
          {"the first of two lines, at the cursor", Text8, u"ab", 1, u"X\r\nY", u"aXb"},
          {"the first line even where it repeats what follows", Text8, u"ab", 1, u"b\nx", u"abb"},
          {"10 characters over the limit", Text9, u"", 0, kLong, full},
          {"into a box that is nearly full", Text9, u"ab", 2, kLong, u"ab" + full.substr(2)},
          {"into a disabled box", Text5, u"5 ms", 4, u"0", u"5 ms"}}) {
        SCOPED_TRACE(what);
        runtime.setText(field, before);
        driver->paste(field, cursor, pasted);
        EXPECT_EQ(utf8(runtime.text(field)), utf8(after));
    }
}

// A disabled control takes no clicks and no focus; the focused control, once
// disabled, hands the focus on to the next in the focus order.
TEST_P(FormsRuntimeContract, DisabledControlsTakeNothing)
{
    runtime::FormsRuntime &runtime = driver->runtime();
    RecordedEvents events;
    driver->setEvents(events);
    EXPECT_FALSE(driver->enabled(Command2)); // as the window starts
    runtime.setEnabled(Command2, true);
    driver->click(Command2);
    runtime.setEnabled(Command2, false);
    driver->click(Command2);
    EXPECT_FALSE(driver->enabled(Command2));
    EXPECT_EQ(events.seen, std::vector<std::string>{"click Command2"});

    runtime.setFocus(Command1);
    EXPECT_EQ(driver->focus(), ControlIndex(Command1));
    runtime.setFocus(Text5);
    EXPECT_EQ(driver->focus(), ControlIndex(Command1));
    runtime.setEnabled(Command2, true);
    runtime.setFocus(Command2);
    runtime.setEnabled(Command2, false);
    EXPECT_EQ(driver->focus(), ControlIndex(Command3));
}

// Enter in the address field is reported as its key; on a button it presses
// it. Closing the window is reported.
TEST_P(FormsRuntimeContract, ReportsKeysClicksAndClosing)
{
    RecordedEvents events;
    driver->setEvents(events);
    driver->pressEnter(Text1);
    driver->pressEnter(Command1);
    driver->click(Command3);
    driver->close();
    EXPECT_EQ(events.seen, (std::vector<std::string>{"key 13 in Text1", "click Command1", "click Command3", "closing"}));
}

// Lines go at the end and are read by index from 0; past the end, or before
// the start, a line reads as the empty text.
TEST_P(FormsRuntimeContract, ListLines)
{
    runtime::FormsRuntime &runtime = driver->runtime();
    runtime.addLine(List1, u"first");
    runtime.addLine(List1, u"本社　２F 🏢");
    EXPECT_EQ(runtime.lineCount(List1), 2);
    EXPECT_EQ(runtime.line(List1, 0), u"first");
    EXPECT_EQ(runtime.line(List1, 1), u"本社　２F 🏢");
    EXPECT_EQ(runtime.line(List1, 2), u"");
    EXPECT_EQ(runtime.line(List1, -1), u"");
    runtime.clearList(List1);
    EXPECT_EQ(runtime.lineCount(List1), 0);
    EXPECT_EQ(runtime.line(List1, 0), u"");
}

TEST_P(FormsRuntimeContract, Pointer)
{
    runtime::FormsRuntime &runtime = driver->runtime();
    runtime.setPointer(runtime::Pointer::Busy);
    EXPECT_EQ(driver->pointer(), runtime::Pointer::Busy);
    runtime.setPointer(runtime::Pointer::Default);
    EXPECT_EQ(driver->pointer(), runtime::Pointer::Default);
}

// A box shows its text and title, the exclamation icon only where asked, and
// returns once dismissed.
TEST_P(FormsRuntimeContract, MessageBoxes)
{
    runtime::FormsRuntime &runtime = driver->runtime();
    runtime.messageBox({u"　保存しました。　　　　　", u"保存メッセージ"});
    runtime.messageBox({u"Windows Sockets error occurred in Cleanup.", runtime::kApplicationTitle,
                        runtime::MessageIcon::Exclamation});
    std::vector<std::string> shown;
    for (const runtime::Message &box : driver->boxes())
        shown.push_back(utf8(box.title) + (box.icon == runtime::MessageIcon::Exclamation ? " (!)" : "") + ": "
                        + utf8(box.text));
    EXPECT_EQ(shown, (std::vector<std::string>{"保存メッセージ: 　保存しました。　　　　　",
                                               "Sondar (!): Windows Sockets error occurred in Cleanup."}));
}

// The save dialog shows the title, the filter and the proposed name it is
// given and confirms an overwrite; it returns the chosen file exactly, a
// name outside the narrow code page too, or nothing when cancelled.
TEST_P(FormsRuntimeContract, SaveDialog)
{
    const TempDir dir;
    const Text chosen = (dir.path() / u"rep-Ωő日本.txt").u16string();
    const runtime::SaveFileRequest request{.filter = u"テキスト (*.txt)|*.txt",
                                            .filterIndex = 1,
                                            .title = u"保存ファイル選択",
                                            .flags = runtime::kOverwritePrompt | runtime::kHideReadOnly
                                                     | runtime::kNoChangeDir | runtime::kExplorer
                                                     | runtime::kLongNames,
                                            .fileName = u"Pingdata"};
    driver->answerDialogWith(chosen);
    EXPECT_EQ(driver->runtime().saveFileName(request), chosen);
    driver->answerDialogWith(std::nullopt);
    EXPECT_EQ(driver->runtime().saveFileName(request), std::nullopt);
    const std::vector<DialogSeen> dialogs = driver->dialogs();
    ASSERT_EQ(dialogs.size(), 2u);
    for (const DialogSeen &dialog : dialogs) {
        EXPECT_EQ(utf8(dialog.title + u"; " + dialog.filter + u"; " + dialog.proposedName),
                  "保存ファイル選択; テキスト (*.txt); Pingdata");
        EXPECT_TRUE(dialog.confirmsOverwrite);
    }
}

// The pause waits at least its time on the runtime's clock, and the events
// that came meanwhile are handled before it returns.
TEST_P(FormsRuntimeContract, PauseWaitsThenHandlesTheEvents)
{
    RecordedEvents events;
    driver->setEvents(events);
    driver->runtime().setEnabled(Command2, true);
    driver->clickLater(Command2);
    const milliseconds start = driver->now();
    driver->runtime().pause(milliseconds(50));
    EXPECT_GE(driver->now() - start, milliseconds(50));
    EXPECT_EQ(events.seen, std::vector<std::string>{"click Command2"});
}

// Lines are appended after what the file holds, each ended by CR LF; a
// missing file is created, under exactly its name, one outside the narrow
// code page too. A folder is no file to append to: the failure says why and
// that nothing was written.
TEST_P(FormsRuntimeContract, AppendsLines)
{
    runtime::FormsRuntime &runtime = driver->runtime();
    const TempDir dir;
    const auto path = dir.path() / u"rep-Ωő日本.txt";
    const std::vector<Text> first{u" ", u"Pinging 127.0.0.1 with 32 bytes of data:"}, second{u"Test No:1  "};
    EXPECT_EQ(runtime.appendLines(path.u16string(), first), std::nullopt);
    EXPECT_EQ(runtime.appendLines(path.u16string(), second), std::nullopt);
    EXPECT_EQ(fileBytes(path), " \r\nPinging 127.0.0.1 with 32 bytes of data:\r\nTest No:1  \r\n");

    const auto failure = runtime.appendLines(dir.path().u16string(), first);
    ASSERT_TRUE(failure.has_value());
    EXPECT_FALSE(failure->reason.empty());
    EXPECT_EQ(failure->aftermath, runtime::Aftermath::NothingWritten);
}

// Plain ASCII passes to the echo service unchanged; the decimal mark is the
// locale's point or comma.
TEST_P(FormsRuntimeContract, Conversions)
{
    runtime::FormsRuntime &runtime = driver->runtime();
    EXPECT_EQ(runtime.narrow(u"127.0.0.1"), "127.0.0.1");
    const Text mark = runtime.decimalMark();
    EXPECT_TRUE(mark == u"." || mark == u",") << utf8(mark);
}
