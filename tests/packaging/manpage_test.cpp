// The manual page against the program: the name the save dialog proposes and
// the result lines a run writes, as the window's logic makes them, stand in
// the page word for word.
#include "FormHarness.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

using namespace testsupport;
using namespace window;

namespace {

// The lines of the page's examples, between .EX and .EE.
Lines exampleLines(const std::string &page)
{
    Lines lines;
    std::istringstream in(page);
    bool inExample = false;
    for (std::string line; std::getline(in, line);) {
        if (line == ".EX" || line == ".EE")
            inExample = line == ".EX";
        else if (inExample)
            lines.push_back(line);
    }
    return lines;
}

} // namespace

TEST(ManualPage, NamesTheFileTheDialogProposes)
{
    FormHarness h;
    h.run("127.0.0.1", "1");
    h.click(Command2); // the dialog is cancelled
    ASSERT_EQ(h.runtime.saveRequests.size(), 1u);
    const std::string proposed = platform::toUtf8(h.runtime.saveRequests[0].fileName);
    const std::string page = fileBytes(SONDAR_MANUAL_PAGE);
    ASSERT_NE(page, "<missing>") << "no manual page at " SONDAR_MANUAL_PAGE;
    EXPECT_NE(page.find("\\(lq" + proposed + "\\(rq"), std::string::npos) << "the page does not name " << proposed;
    EXPECT_EQ(page.find(proposed + "."), std::string::npos) << "the page gives " << proposed << " an extension";
}

// The page shows a reply after 3 ms, a reply measured as 0 ms and a probe
// without a reply, in this order, as one example.
TEST(ManualPage, ShowsTheResultLinesOfARun)
{
    FormHarness h;
    h.run("127.0.0.1", "3", {{0, 3}, {0, 0}, {kTimedOut, 0}});
    const Lines run = h.lines();
    ASSERT_EQ(run.size(), 3u);
    const Lines examples = exampleLines(fileBytes(SONDAR_MANUAL_PAGE));
    const auto shown = std::search(examples.begin(), examples.end(), run.begin(), run.end());
    EXPECT_NE(shown, examples.end()) << "no example of the page reads:\n" << run[0] << "\n" << run[1] << "\n" << run[2];
}
