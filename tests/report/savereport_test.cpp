// "SaveData" through the forms runtime: the dialog's settings, the bytes
// appended, and what the user sees when nothing or not all could be written.
#include "FormHarness.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

using namespace testsupport;
using namespace window;

TEST(SaveReport, AppendsTheReport)
{
    const TempDir dir;
    FormHarness h;
    h.setText(Text8, "試験場所　東");
    h.setText(Text9, "Point 3");
    h.run("127.0.0.1", "5", {{0, 3}, {0, 2}, {kTimedOut, 9}, {0, 1}, {0, 6}});
    h.runtime.chosenFile = dir.file("report.txt").u16string();
    h.click(Command2);

    ASSERT_EQ(h.runtime.saveRequests.size(), 1u);
    const runtime::SaveFileRequest &dialog = h.runtime.saveRequests[0];
    EXPECT_EQ(runtime::toUtf8(dialog.filter + u"; " + dialog.title + u"; " + dialog.fileName),
              "テキスト (*.txt)|*.txt; 保存ファイル選択; Pingdata");
    EXPECT_EQ(dialog.filterIndex, 1);
    EXPECT_EQ(dialog.flags, 0x28000Eu);
    std::string expected;
    for (const std::string &line :
         Lines{" ", "試験場所　東", "Point 3", "Date / Time : 12/7/2026 9:05:03 AM", " ",
               "Pinging 127.0.0.1 with 32 bytes of data:", "Test No:1  " + replyLine(3), "Test No:2  " + replyLine(2),
               "Test No:3  Request timed out", "Test No:4  " + replyLine(1), "Test No:5  " + replyLine(6), " ",
               "Ping statistics for 127.0.0.1:", "    Packets: Sent = 5, Received = 4, Lost = 1 (20% loss),",
               "Approximate round trip times in milli-seconds:", "    Minimum = 0 ms, Maximum = 6 ms, Average = 2.4 ms"})
        expected += line + "\r\n";
    EXPECT_EQ(fileBytes(dir.file("report.txt")), expected);
    EXPECT_FALSE(h.enabled(Command2));
    EXPECT_EQ(h.boxes(), Lines{kSaved});
    EXPECT_EQ(h.lines().size(), 5u); // the results stay on screen

    // A second report goes after the first.
    h.runtime.dateText = u"12/7/2026 9:06:00 AM";
    h.setText(Text8, "second");
    h.runAndSave(dir.file("report.txt"), "1");
    const std::string both = fileBytes(dir.file("report.txt"));
    EXPECT_EQ(both.substr(0, expected.size()), expected);
    EXPECT_TRUE(both.substr(expected.size()).starts_with(" \r\nsecond\r\nPoint 3\r\nDate / Time : 12/7/2026 9:06:00 AM\r\n"));
}

// A cancelled dialog or a count that is no usable number writes nothing and
// leaves "SaveData" ready for another try.
TEST(SaveReport, WritesNothingBeforeAFailure)
{
    for (const auto &[cancel, count] : {std::pair{true, "5"}, {false, "0"}, {false, "five"}, {false, ""}}) {
        SCOPED_TRACE(count);
        const TempDir dir;
        FormHarness h;
        h.run("127.0.0.1", "5");
        h.setText(Text3, count);
        if (!cancel)
            h.runtime.chosenFile = dir.file("untouched.txt").u16string();
        h.click(Command2);
        EXPECT_EQ(h.runtime.saveRequests.size(), 1u);
        EXPECT_FALSE(std::filesystem::exists(dir.file("untouched.txt")));
        EXPECT_TRUE(h.boxes().empty());
        EXPECT_TRUE(h.enabled(Command2));
    }
}

// A failed append names the file and says whether it is as before;
// "SaveData" stays enabled, and once the fault is gone the next save works.
TEST(SaveReport, ReportsAFailedAppend)
{
    using runtime::Aftermath;
    for (const auto &[aftermath, after] :
         {std::pair{Aftermath::NothingWritten, "Nothing was written."},
          {Aftermath::AsBefore, "The file is as it was before."},
          {Aftermath::RemovedAgain, "The file did not exist before this save and was removed again."},
          {Aftermath::MayHoldPart, "The file could not be restored: the end of it may hold part of this report."},
          {Aftermath::CreatedEmpty, "The file did not exist before this save and could not be removed again; it "
                                    "holds nothing of this report."}}) {
        const TempDir dir;
        const auto path = dir.file("報告.txt");
        FormHarness h;
        h.runtime.append = [aftermath = aftermath](const Text &, const std::string &) {
            return std::optional<AppendFailure>({u"No space left on device", aftermath});
        };
        h.runAndSave(path);
        EXPECT_EQ(h.boxes(), Lines{"Sondar: The report could not be saved to " + runtime::toUtf8(path.u16string())
                                   + ": No space left on device.\n" + after});
        EXPECT_TRUE(h.enabled(Command2));

        h.runtime.append = appendPortably;
        h.click(Command2);
        EXPECT_EQ(h.boxes().back(), kSaved);
        EXPECT_TRUE(fileBytes(path).starts_with(" \r\n"));
        EXPECT_FALSE(h.enabled(Command2));
    }
}

// The window closes while the save dialog is open. Either the dialog still
// names a file, and the whole report goes after what the file held, or it
// gives up with the window, and the file is left alone.
TEST(SaveReport, ClosesDuringASave)
{
    for (const bool fileChosen : {true, false}) {
        const TempDir dir;
        FormHarness h;
        h.runAndSave(dir.file("reference.txt"));
        const std::string before = "an earlier report\r\n";
        ASSERT_TRUE(writeFile(dir.file("closing.txt"), before));
        h.run("127.0.0.1", "3");
        h.runtime.whileDialogOpen = [&] {
            h.form.Unload();
            if (!fileChosen)
                h.runtime.chosenFile.reset();
        };
        h.runtime.chosenFile = dir.file("closing.txt").u16string();
        h.click(Command2);
        EXPECT_EQ(fileBytes(dir.file("closing.txt")), before + (fileChosen ? fileBytes(dir.file("reference.txt")) : ""));
        EXPECT_EQ(h.enabled(Command2), !fileChosen);
    }
}
