// A Form1 on the in-memory runtime and a scripted network: tests press its
// buttons and read its fields as the user would, and nothing waits. Texts go
// in and come out as UTF-8, so that a failing comparison prints readably.
#pragma once

#include "MemoryRuntime.h"
#include "probe/Module1.h"
#include "window/Form1.h"

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

using Lines = std::vector<std::string>;

// The boxes the window shows, as "title: text".
inline const std::string kRunError = "エラーメッセージ: 　実行エラーが発生しました。　処理が中断しました。";
inline const std::string kSaved = "保存メッセージ: 　保存しました。　　　　　";
inline const std::string kSocketsBox = "Sondar: Windows Sockets for 32 bit Windows environments is not successfully responding.";

inline std::string replyLine(int ms, const std::string &address = "127.0.0.1", const std::string &size = "32")
{
    return "Reply from " + address + " : Bytes = " + size + " Time " + (ms ? "= " + std::to_string(ms) : "< 10")
            + " ms  TTL = 128";
}

struct Answer {
    Module1::ProbeStatus status = 0;
    std::int32_t roundTripTime = 1;
};
inline constexpr Module1::ProbeStatus kTimedOut = 11010;

// Answers each probe from a script and records what the window asked.
class ScriptedEcho final : public Module1::EchoService {
public:
    std::vector<Answer> answers;   // from nextAnswer on; past the end a 1 ms reply
    std::size_t nextAnswer = 0;
    std::vector<bool> socketsOpen; // StartSockets results in order; past the end: true
    int starts = 0;
    int stops = 0;
    Lines addresses, payloads;
    std::function<void(std::size_t probe)> onProbe = [](std::size_t) {}; // told each probe's number, from 1

    bool StartSockets() override
    {
        const std::size_t n = std::size_t(starts++);
        return n >= socketsOpen.size() || socketsOpen[n];
    }
    Module1::ProbeStatus SendEcho(const std::string &address, const std::string &payload, Module1::EchoReply &reply) override
    {
        const Answer answer = nextAnswer < answers.size() ? answers[nextAnswer] : Answer{};
        ++nextAnswer;
        addresses.push_back(address);
        payloads.push_back(payload);
        onProbe(addresses.size());
        if (answer.status >= 0) { // below 0 nothing was sent: the record stays untouched
            reply.Status = answer.status;
            reply.RoundTripTime = answer.roundTripTime;
        }
        return answer.status;
    }
    void StopSockets() override { ++stops; }
};

class FormHarness {
public:
    MemoryRuntime runtime;
    ScriptedEcho echo;
    window::Form1 form;

    // The window probes through `network`, or through `echo` when none is given.
    explicit FormHarness(Module1::EchoService *network = nullptr) : form(runtime, network ? *network : echo) {}

    std::string text(window::Control control) const { return runtime::toUtf8(runtime.texts.at(control)); }
    void setText(window::Control control, const std::string &utf8) { runtime.texts.at(control) = runtime::fromUtf8(utf8); }
    bool enabled(window::Control control) const { return runtime.enabled.at(control); }
    Lines results() const { return {text(window::Text5), text(window::Text6), text(window::Text7)}; }
    Lines lines() const
    {
        Lines out;
        for (const Text &line : runtime.list)
            out.push_back(runtime::toUtf8(line));
        return out;
    }
    Lines boxes() const
    {
        Lines out;
        for (const runtime::Message &box : runtime.messages)
            out.push_back(runtime::toUtf8(box.title) + (box.icon == runtime::MessageIcon::None ? "" : " (!)") + ": "
                          + runtime::toUtf8(box.text));
        return out;
    }

    // A click reaches only an enabled control, as on the screen.
    void click(window::Control control)
    {
        if (enabled(control))
            form.Click(control);
    }
    // A run of `count` probes to `address`, answered from the first of `answers` on.
    void run(const std::string &address, const std::string &count, std::vector<Answer> answers = {})
    {
        echo.answers = std::move(answers);
        echo.nextAnswer = 0;
        setText(window::Text1, address);
        setText(window::Text3, count);
        click(window::Command1);
    }
    // A finished run saved to `path`, which the dialog answers with.
    void runAndSave(const std::filesystem::path &path, const std::string &count = "3")
    {
        run("127.0.0.1", count);
        runtime.chosenFile = path.u16string();
        click(window::Command2);
    }
};

} // namespace testsupport
