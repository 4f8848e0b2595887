// The window on the real echo service, in a network namespace of the test's
// own with only a loopback: a run to 127.0.0.1, closing in the middle of one,
// addresses the service must refuse, and a user whom the system allows no
// ICMP socket. Needs root; skips with the reason without it.
#include "FormHarness.h"
#include "RealNetwork.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace testsupport;
using namespace window;

namespace {

// A window on the real echo service, whose warnings would fail the outcome.
struct RealWindow {
    Lines warnings;
    Module1::SystemEcho echo{[this](const std::string &text) { warnings.push_back(text); }};
    FormHarness h{&echo};

    // What the run left in the window, in one line a test compares whole.
    std::string outcome() const
    {
        const Lines lines = h.lines();
        const auto replies = std::ranges::count_if(
                lines, [](const std::string &line) { return line.starts_with("Reply from 127.0.0.1 : Bytes = 32 Time "); });
        std::string boxes;
        for (const std::string &box : h.boxes())
            boxes += "[" + box + "]";
        for (const std::string &warning : warnings)
            boxes += "[warned: " + warning + "]";
        return std::to_string(replies) + " replies of " + std::to_string(lines.size()) + " lines, "
                + std::to_string(h.runtime.pauses.size()) + " pauses, boxes " + boxes + ", SaveData "
                + (h.enabled(Command2) ? "on" : "off");
    }
};

const std::string kRefused = "0 replies of 0 lines, 0 pauses, boxes [" + kRunError + "], SaveData off";
std::string replies(int n)
{
    return std::to_string(n) + " replies of " + std::to_string(n) + " lines, " + std::to_string(n)
            + " pauses, boxes , SaveData " + (n == 2 ? "off" : "on");
}

} // namespace

// Closed in the middle of a run: the run ends there and nothing stays open;
// the window opened again runs in full.
TEST(RealNetworkNeedsRoot, ClosesDuringARun)
{
    const OwnNetwork network;
    if (!network.entered())
        GTEST_SKIP() << kNoNamespace;
    RealWindow w;
    const int descriptors = openDescriptors();
    w.h.runtime.duringPause = [&](int n) {
        if (n == 2)
            w.h.form.Unload();
    };
    w.h.run("127.0.0.1", "5");
    EXPECT_EQ(w.outcome(), replies(2));
    EXPECT_EQ(openDescriptors(), descriptors);

    w.h.runtime.duringPause = {};
    w.h.runtime.pauses.clear();
    w.h.run("127.0.0.1", "3");
    EXPECT_EQ(w.outcome(), replies(3));
    EXPECT_EQ(openDescriptors(), descriptors);
}

// An address the service cannot use ends the run before anything is sent,
// and the next run to loopback gets its reply.
TEST(RealNetworkNeedsRoot, RefusesBadAddresses)
{
    const OwnNetwork network;
    if (!network.entered())
        GTEST_SKIP() << kNoNamespace;
    std::string repeatedAddress;
    while (repeatedAddress.size() < 100'000)
        repeatedAddress += "127.0.0.1";
    for (const std::u16string &address :
         {std::u16string(100'000, u'1'), runtime::fromUtf8(repeatedAddress), std::u16string(100'000, u'.'),
          std::u16string(u"\x01" u"127.0.0.1"), std::u16string(u"127.0.\x7f" u"0.1"), std::u16string(u"１２７.０.０.１"),
          std::u16string(u"127。0。0。1"), std::u16string(u"ローカルホスト"), std::u16string(u"127.0.0.1🙂"),
          std::u16string(u"127.0.0.1\xD800")}) { // the last with a lone surrogate
        SCOPED_TRACE(runtime::toUtf8(address).substr(0, 20));
        RealWindow w;
        const int descriptors = openDescriptors();
        w.h.runtime.texts[Text1] = address;
        w.h.setText(Text3, "3");
        w.h.click(Command1);
        EXPECT_EQ(w.outcome(), kRefused);
        EXPECT_EQ(w.h.runtime.texts[Text1], address);

        w.h.runtime.messages.clear();
        w.h.run("127.0.0.1", "1");
        EXPECT_EQ(w.outcome(), replies(1));
        EXPECT_EQ(openDescriptors(), descriptors);
    }
}

// Runs as root or as an ordinary user (uid and gid 65534, no groups, no
// capabilities) in a namespace whose ping_group_range says who may open a
// datagram echo socket. Where nobody may, the ordinary user's first probe
// gives -1 with the record untouched and the run ends in the run-error box.
TEST(RealNetworkNeedsRoot, RunsForEachUser)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << kNoNamespace;
    for (const auto &[range, nobody, outcome] :
         {std::tuple{"65534 65534", true, replies(3)}, {"1 0", true, kRefused + "; SendEcho -1, record untouched"},
          {"1 0", false, replies(3)}}) {
        SCOPED_TRACE(std::string(nobody ? "nobody" : "root") + ", ping_group_range " + range);
        EXPECT_EQ(inChild([&, range = range, nobody = nobody]() -> std::string {
                      const OwnNetwork network(range);
                      if (!network.entered() || (nobody && !becomeNobody()))
                          return "no namespace or no way to become nobody";
                      RealWindow w;
                      w.h.run("127.0.0.1", "3");
                      if (!w.h.lines().empty())
                          return w.outcome();
                      Module1::EchoReply record{.Address = 0x01020304, .Status = 424242, .RoundTripTime = -7};
                      const auto status = Module1::SendEcho("127.0.0.1", std::string(32, '*'), record);
                      const bool untouched =
                              record.Address == 0x01020304 && record.Status == 424242 && record.RoundTripTime == -7;
                      return w.outcome() + "; SendEcho " + std::to_string(status) + ", record "
                              + (untouched ? "untouched" : "changed");
                  }),
                  outcome);
    }
}
