// "SaveData" through the forms runtime: the dialog's settings, the bytes
// appended, and what the user sees when nothing or not all could be written.
#include "FormHarness.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

using namespace testsupport;
using namespace window;

namespace {

using Lines = std::vector<std::string>;

std::string crlf(const Lines &lines)
{
    std::string bytes;
    for (const std::string &line : lines)
        bytes += line + "\r\n";
    return bytes;
}

platform::Text textOf(const std::filesystem::path &path)
{
    return path.u16string();
}

} // namespace

TEST(SaveReport, AppendsTheReport)
{
    const TempDir dir;
    FormHarness h;
    h.setText(Text8, "試験場所　東");
    h.setText(Text9, "Point 3");
    h.run("127.0.0.1", "5", {{0, 3}, {0, 2}, {kTimedOut, 9}, {0, 1}, {0, 6}});
    h.runtime.chosenFile = textOf(dir.file("report.txt"));
    h.click(Command2);

    ASSERT_EQ(h.runtime.saveRequests.size(), 1u);
    const platform::SaveFileRequest &dialog = h.runtime.saveRequests[0];
    EXPECT_EQ(platform::toUtf8(dialog.filter), "テキスト (*.txt)|*.txt");
    EXPECT_EQ(dialog.filterIndex, 1);
    EXPECT_EQ(platform::toUtf8(dialog.title), "保存ファイル選択");
    EXPECT_EQ(dialog.flags, 0x28000Eu);
    EXPECT_EQ(platform::toUtf8(dialog.fileName), "Pingdata");
    EXPECT_EQ(fileBytes(dir.file("report.txt")), crlf({
        " ",
        "試験場所　東",
        "Point 3",
        "Date / Time : 12/7/2026 9:05:03 AM",
        " ",
        "Pinging 127.0.0.1 with 32 bytes of data:",
        "Test No:1  " + replyLine(3),
        "Test No:2  " + replyLine(2),
        "Test No:3  Request timed out",
        "Test No:4  " + replyLine(1),
        "Test No:5  " + replyLine(6),
        " ",
        "Ping statistics for 127.0.0.1:",
        "    Packets: Sent = 5, Received = 4, Lost = 1 (20% loss),",
        "Approximate round trip times in milli-seconds:",
        "    Minimum = 0 ms, Maximum = 6 ms, Average = 2.4 ms",
    }));
    EXPECT_FALSE(h.enabled(Command2));
    EXPECT_EQ(h.boxes(), Lines{kSavedTitle + ": " + kSavedText});
    EXPECT_EQ(h.lines().size(), 5u); // the results stay on screen
}

TEST(SaveReport, KeepsEveryReportInTheFile)
{
    const TempDir dir;
    const auto path = dir.file("twice.txt");
    FormHarness h;
    h.runAndSave(textOf(path), "1");
    const std::string first = fileBytes(path);
    h.runtime.dateText = u"12/7/2026 9:06:00 AM";
    h.setText(Text8, "second");
    h.runAndSave(textOf(path), "2");
    const std::string both = fileBytes(path);
    ASSERT_TRUE(both.starts_with(first));
    EXPECT_TRUE(both.substr(first.size()).starts_with(" \r\nsecond\r\n\r\nDate / Time : 12/7/2026 9:06:00 AM\r\n"));
    EXPECT_EQ(h.boxes().size(), 2u);
}

// A cancelled dialog or a count that is no usable number writes nothing and
// leaves "SaveData" ready for another try.
TEST(SaveReport, WritesNothingBeforeAFailure)
{
    const struct {
        const char *name;
        bool cancel;
        const char *count;
    } rows[] = {{"cancelled", true, "5"}, {"count 0", false, "0"}, {"count not a number", false, "five"},
                {"count emptied", false, ""}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const TempDir dir;
        FormHarness h;
        h.run("127.0.0.1", "5");
        h.setText(Text3, row.count);
        if (!row.cancel)
            h.runtime.chosenFile = textOf(dir.file("untouched.txt"));
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
    const struct {
        bool restored;
        const char *after;
    } rows[] = {{true, "The file is as it was before."},
                {false, "The file could not be restored: the end of it may hold part of this report."}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.restored);
        const TempDir dir;
        const auto path = dir.file("報告.txt");
        FormHarness h;
        h.runtime.append = [&](const platform::Text &, const std::string &) {
            return std::optional<platform::AppendFailure>({u"No space left on device", row.restored});
        };
        h.runAndSave(textOf(path));
        EXPECT_EQ(h.boxes(), Lines{"Sondar: The report could not be saved to " + platform::toUtf8(textOf(path))
                                   + ": No space left on device.\n" + row.after});
        EXPECT_TRUE(h.enabled(Command2));

        h.runtime.append = appendPortably;
        h.click(Command2);
        EXPECT_EQ(h.boxes().back(), kSavedTitle + ": " + kSavedText);
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
        SCOPED_TRACE(fileChosen ? "file chosen after the close" : "dialog gone with the window");
        const TempDir dir;
        FormHarness h;
        h.runAndSave(textOf(dir.file("reference.txt")));
        const std::string report = fileBytes(dir.file("reference.txt"));
        const std::string before = "an earlier report\r\n";
        ASSERT_TRUE(writeFile(dir.file("closing.txt"), before));

        h.run("127.0.0.1", "3");
        h.runtime.whileDialogOpen = [&] {
            h.form.Unload();
            if (!fileChosen)
                h.runtime.chosenFile.reset();
        };
        h.runtime.chosenFile = textOf(dir.file("closing.txt"));
        h.click(Command2);
        EXPECT_EQ(fileBytes(dir.file("closing.txt")), fileChosen ? before + report : before);
        EXPECT_EQ(h.enabled(Command2), !fileChosen);
    }
}
