// The window on the real echo service, in a network namespace of the test's
// own with only a loopback: a run to 127.0.0.1, closing in the middle of one,
// addresses the service must refuse, and a user whom the system allows no
// ICMP socket. Needs root; skips with the reason without it.
#include "FormHarness.h"
#include "RealNetwork.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

using namespace testsupport;
using namespace window;

namespace {

using Lines = std::vector<std::string>;
const std::string kReplyStart = "Reply from 127.0.0.1 : Bytes = 32 Time ";

// The echo service's warnings, as boxes would show them.
class RealEcho {
public:
    Lines warnings;
    Module1::SystemEcho echo{[this](const std::string &text) { warnings.push_back(text); }};
};

// What a run left in the window, in one line a test compares whole.
std::string outcome(const FormHarness &h)
{
    std::size_t replies = 0;
    for (const std::string &line : h.lines())
        replies += line.starts_with(kReplyStart) ? 1 : 0;
    std::string boxes;
    for (const std::string &box : h.boxes())
        boxes += "[" + box + "]";
    return std::to_string(replies) + " replies of " + std::to_string(h.lines().size()) + " lines, "
            + std::to_string(h.runtime.pauses.size()) + " pauses, boxes " + boxes + ", SaveData "
            + (h.enabled(Command2) ? "on" : "off");
}

} // namespace

// Closed in the middle of a run: the run ends there and nothing stays open;
// the window opened again runs in full.
TEST(RealNetworkNeedsRoot, ClosesDuringARun)
{
    const OwnNetwork network;
    if (!network.entered())
        GTEST_SKIP() << kNoNamespace;
    RealEcho real;
    FormHarness h(&real.echo);
    const int descriptors = openDescriptors();
    h.runtime.duringPause = [&](int n) {
        if (n == 2)
            h.form.Unload();
    };
    h.run("127.0.0.1", "5");
    EXPECT_EQ(outcome(h), "2 replies of 2 lines, 2 pauses, boxes , SaveData off");
    EXPECT_EQ(openDescriptors(), descriptors);

    h.runtime.duringPause = {};
    h.runtime.pauses.clear();
    h.run("127.0.0.1", "3");
    EXPECT_EQ(outcome(h), "3 replies of 3 lines, 3 pauses, boxes , SaveData on");
    EXPECT_EQ(openDescriptors(), descriptors);
    EXPECT_TRUE(real.warnings.empty());
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
    const std::u16string rows[] = {
        std::u16string(100'000, u'1'), platform::fromUtf8(repeatedAddress), std::u16string(100'000, u'.'),
        u"\x01" u"127.0.0.1", u"127.0.\x7f" u"0.1", u"１２７.０.０.１", u"127。0。0。1", u"ローカルホスト",
        u"127.0.0.1🙂", std::u16string(u"127.0.0.1") + char16_t(0xD800),
    };
    for (const std::u16string &address : rows) {
        SCOPED_TRACE(platform::toUtf8(address).substr(0, 20));
        RealEcho real;
        FormHarness h(&real.echo);
        const int descriptors = openDescriptors();
        h.runtime.texts[Text1] = address;
        h.setText(Text3, "3");
        h.click(Command1);
        EXPECT_EQ(outcome(h), "0 replies of 0 lines, 0 pauses, boxes [" + kRunErrorTitle + ": " + kRunErrorText
                                      + "], SaveData off");
        EXPECT_EQ(h.runtime.texts[Text1], address);

        h.runtime.messages.clear();
        h.run("127.0.0.1", "1");
        EXPECT_EQ(outcome(h), "1 replies of 1 lines, 1 pauses, boxes , SaveData on");
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
    const std::string refused = "0 replies of 0 lines, 0 pauses, boxes [" + kRunErrorTitle + ": " + kRunErrorText
            + "], SaveData off; SendEcho -1, record untouched";
    const struct {
        const char *name;
        const char *range;
        bool nobody;
        std::string outcome;
    } rows[] = {
        {"ordinary user, datagram socket", "65534 65534", true, "3 replies of 3 lines, 3 pauses, boxes , SaveData on"},
        {"ordinary user, no echo socket", "1 0", true, refused},
        {"root, raw socket", "1 0", false, "3 replies of 3 lines, 3 pauses, boxes , SaveData on"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(inChild([&]() -> std::string {
                      const OwnNetwork network(row.range);
                      if (!network.entered())
                          return kNoNamespace;
                      if (row.nobody && !becomeNobody())
                          return "could not become nobody";
                      RealEcho real;
                      FormHarness h(&real.echo);
                      h.run("127.0.0.1", "3");
                      std::string out = outcome(h);
                      if (h.lines().empty()) {
                          Module1::EchoReply record{.Address = 0x01020304, .Status = 424242, .RoundTripTime = -7};
                          const auto status = Module1::SendEcho("127.0.0.1", std::string(32, '*'), record);
                          const bool untouched = record.Address == 0x01020304 && record.Status == 424242
                                  && record.RoundTripTime == -7;
                          out += "; SendEcho " + std::to_string(status) + ", record "
                                  + (untouched ? "untouched" : "changed");
                      }
                      return out;
                  }),
                  row.outcome);
    }
}
