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
    const std::string proposed = runtime::toUtf8(h.runtime.saveRequests[0].fileName);
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

// The page names the echo helper where this build's program looks for it
// (under the build's own prefix), and no other copy.
TEST(ManualPage, NamesTheHelperThisBuildRuns)
{
    const auto count = [](const std::string &text, const std::string &what) {
        std::size_t found = 0;
        for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++found;
        return found;
    };
    std::string helper = SONDAR_ECHO_HELPER; // in roff, every hyphen escaped
    for (std::size_t at = helper.find('-'); at != std::string::npos; at = helper.find('-', at + 2))
        helper.insert(at, 1, '\\');
    const std::string page = fileBytes(SONDAR_MANUAL_PAGE);
    EXPECT_GT(count(page, helper), 0u) << "the page does not name " << SONDAR_ECHO_HELPER;
    EXPECT_EQ(count(page, helper), count(page, "sondar\\-echo")) << "the page names another helper than "
                                                                   << SONDAR_ECHO_HELPER;
}
