// tst_appendfile full FOLDER | race FILE COUNT
//
// The Windows append where it fails or races, driven under wine by
// appendfile.sh, which prepares what the system holds:
//   full FOLDER  a folder on a full file system: a save into a new file
//                leaves no file, one into an existing file leaves it as it
//                was, and each says so.
//   race FILE COUNT  appends COUNT reports of 20 lines, "win R k", to FILE
//                while a Linux program appends to it too; the script then
//                checks that nothing of either was written over.
#include "TestFiles.h"
#include "runtime/Text.h"
#include "os/win32/AppendFile.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using runtime::Aftermath;
using runtime::Text;
using os::win32::appendWhole;

int failures = 0;

void check(bool passed, const std::string &what)
{
    std::printf("%-4s %s\n", passed ? "ok" : "FAIL", what.c_str());
    if (!passed)
        ++failures;
}

Text argument(const char *text)
{
    return runtime::fromUtf8(text);
}

// The folder's file system has room for no more than a few bytes: a report
// larger than that fails part of the way through, and the file is as it was
// (a new one removed again).
void full(const Text &folder)
{
    const std::string report(256 * 1024, 'r');
    struct Case {
        const char *what;
        Text name;
        std::string before; // "<missing>" for a file that does not exist
        Aftermath aftermath;
    };
    const Case cases[] = {
        {"a new file", u"\\new.txt", "<missing>", Aftermath::RemovedAgain},
        {"an existing file", u"\\old.txt", "kept\r\n", Aftermath::AsBefore},
    };
    for (const Case &c : cases) {
        const Text path = folder + c.name;
        const auto failure = appendWhole(path, report);
        const std::string after = testsupport::fileBytes(path);
        check(failure && failure->aftermath == c.aftermath && after == c.before,
              std::string(c.what) + " on a full disk: " + (failure ? runtime::toUtf8(failure->reason) : "(saved)")
                  + ", left " + (after.size() > 40 ? std::to_string(after.size()) + " bytes" : after));
    }
}

void race(const Text &path, int count)
{
    for (int r = 0; r < count; ++r) {
        std::string report;
        for (int k = 1; k <= 20; ++k)
            report += "win " + std::to_string(r) + " " + std::to_string(k) + "\r\n";
        if (const auto failure = appendWhole(path, report))
            check(false, "report " + std::to_string(r) + ": " + runtime::toUtf8(failure->reason));
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "full") == 0)
        full(argument(argv[2]));
    else if (argc == 4 && std::strcmp(argv[1], "race") == 0)
        race(argument(argv[2]), std::atoi(argv[3]));
    else {
        std::fprintf(stderr, "usage: tst_appendfile full FOLDER | race FILE COUNT\n");
        return 2;
    }
    return failures == 0 ? 0 : 1;
}
