// The ping run: "Ping Start" sends one echo probe after another, lists one
// line per probe and keeps the minimum, maximum and average round-trip times.
#include "window/Form1.h"

#include "runtime/Conversions.h"
#include "report/ReportText.h"
#include "layout/Layout.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace window {
namespace {

using runtime::RunTimeError;
using runtime::Text;

constexpr std::int16_t kMostProbes = 20;
constexpr double kMostChars = Module1::kMaxPayload;
constexpr std::chrono::milliseconds kPauseAfterProbe{990};

const Text kRunErrorTitle = u"エラーメッセージ";
const Text kRunErrorText = u"　実行エラーが発生しました。　処理が中断しました。";
const Text kSocketsText = u"Windows Sockets for 32 bit Windows environments is not successfully responding.";

Text msText(std::int64_t value)
{
    return runtime::intText(value) + u" ms";
}

// Runs its action when the scope is left, by whatever path.
template <typename Action>
class AtExit {
public:
    explicit AtExit(Action action) : action_(std::move(action)) {}
    AtExit(const AtExit &) = delete;
    AtExit &operator=(const AtExit &) = delete;
    ~AtExit() { action_(); }

private:
    Action action_;
};

} // namespace

void Form1::RunPings()
{
    if (running_)
        return; // a second "Ping Start" while a run works is ignored
    running_ = true;
    closing_ = false;
    const AtExit endOfRun([this] {
        running_ = false;
        runtime_.setPointer(runtime::Pointer::Default);
    });

    ClearResults();
    runtime_.setPointer(runtime::Pointer::Busy);
    const Text mark = runtime_.decimalMark();
    const auto readInt16 = [&](Control field) { return runtime::toInt16(runtime_.text(field), mark); };
    bool socketsOpen = false;
    try {
        if (!runtime_.text(Text3).empty() && readInt16(Text3) > kMostProbes)
            runtime_.setText(Text3, runtime::intText(kMostProbes));
        const std::int16_t count = readInt16(Text3);
        if (count < 1)
            throw RunTimeError("a run needs at least one probe");
        std::vector<std::int32_t> RunTimes(std::size_t(count) + 1); // entries 1 to count
        const std::int16_t lastProbe = readInt16(Text3);

        Module1::EchoReply reply{};
        for (std::int16_t i = 1; i <= lastProbe; ++i) {
            if (!echo_.StartSockets()) {
                runtime_.messageBox({kSocketsText});
                return;
            }
            socketsOpen = true;

            if (runtime::toDouble(runtime_.text(Text2), mark) > kMostChars)
                runtime_.setText(Text2, runtime::intText(std::int64_t(kMostChars)));
            const std::int16_t chars = readInt16(Text2);
            if (chars < 0)
                throw RunTimeError("a negative payload size");
            const std::string payload(std::size_t(chars), '*');

            const Module1::ProbeStatus status = echo_.SendEcho(runtime_.narrow(runtime_.text(Text1)), payload, reply);
            if (status == 0) {
                if (reply.RoundTripTime > 32767)
                    throw RunTimeError("a round-trip time beyond 16 bits");
                const Text time = reply.RoundTripTime == 0 ? Text(u"< 10") : u"= " + runtime::intText(reply.RoundTripTime);
                runtime_.addLine(List1, u"Reply from " + runtime_.text(Text1) + u" : Bytes = " + runtime_.text(Text2)
                                         + u" Time " + time + u" ms  TTL = 128");
            } else if (status > 0) {
                runtime_.addLine(List1, report::kTimedOutLine);
                reply.RoundTripTime = 0; // a lost probe counts as 0 ms from here on
            } else {
                throw RunTimeError("the address cannot be used");
            }
            socketsOpen = false;
            echo_.StopSockets();

            // Minimum and maximum against the times so far, not against the
            // fields, which "DataClear" may have emptied in the meantime.
            const std::int32_t t = reply.RoundTripTime;
            const auto earlier = std::span(RunTimes).subspan(1, std::size_t(i) - 1);
            if (i == 1) {
                runtime_.setText(Text5, msText(t));
                runtime_.setText(Text6, msText(t));
            } else {
                if (std::ranges::all_of(earlier, [t](std::int32_t e) { return t < e; }))
                    runtime_.setText(Text5, msText(t));
                if (std::ranges::all_of(earlier, [t](std::int32_t e) { return t > e; }))
                    runtime_.setText(Text6, msText(t));
            }
            RunTimes[std::size_t(i)] = t;

            runtime_.pause(kPauseAfterProbe);
            if (closing_)
                return; // the window was closed: the run ends with it
        }

        // The count field is read again here: an edit made during the run
        // takes effect for the sum and the average.
        const std::int16_t summed = readInt16(Text3);
        if (summed > count)
            throw RunTimeError("the count was raised during the run");
        std::int64_t sum = 0;
        for (std::int16_t j = 1; j <= summed; ++j)
            sum += RunTimes[std::size_t(j)];
        if (sum > INT32_MAX)
            throw RunTimeError("the sum of the times overflows");
        const std::int16_t divisor = readInt16(Text3);
        if (divisor == 0)
            throw RunTimeError("the count was set to 0 during the run");
        runtime_.setText(Text7, runtime::generalText(double(sum) / divisor, mark) + u" ms");
        runtime_.setEnabled(Command2, true);
    } catch (const RunTimeError &) {
        if (socketsOpen)
            echo_.StopSockets();
        runtime_.messageBox({kRunErrorText, kRunErrorTitle});
    }
}

} // namespace window
