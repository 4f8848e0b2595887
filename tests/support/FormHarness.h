// A Form1 on the in-memory runtime and a scripted network: tests press its
// buttons and read its fields as the user would, and nothing waits. Texts go
// in and come out as UTF-8, so that a failing comparison prints readably.
#pragma once

#include "MemoryRuntime.h"
#include "ScriptedEcho.h"
#include "window/Form1.h"

#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

// The boxes the window shows, as the user reads them.
inline const std::string kRunErrorText = "　実行エラーが発生しました。　処理が中断しました。";
inline const std::string kRunErrorTitle = "エラーメッセージ";
inline const std::string kSavedText = "　保存しました。　　　　　";
inline const std::string kSavedTitle = "保存メッセージ";
inline const std::string kSocketsText =
        "Windows Sockets for 32 bit Windows environments is not successfully responding.";

// A reply line as the run lists it.
std::string replyLine(int ms, std::string_view address = "127.0.0.1", std::string_view size = "32");

// A box as "title: text", the way a test expects it.
std::string boxText(const platform::Message &message);

class FormHarness {
public:
    MemoryRuntime runtime;
    ScriptedEcho echo;
    window::Form1 form;

    // The window probes through `network`, or through `echo` when none is given.
    explicit FormHarness(Module1::EchoService *network = nullptr) : form(runtime, network ? *network : echo) {}

    std::string text(window::Control control) const { return platform::toUtf8(runtime.texts.at(control)); }
    void setText(window::Control control, std::string_view utf8) { runtime.texts.at(control) = platform::fromUtf8(utf8); }
    bool enabled(window::Control control) const { return runtime.enabled.at(control); }
    std::vector<std::string> lines() const;
    std::vector<std::string> boxes() const;

    // A click reaches only an enabled control, as on the screen.
    void click(window::Control control)
    {
        if (enabled(control))
            form.Click(control);
    }
    // A run of `count` probes to `address`, answered from the first of `answers` on.
    void run(std::string_view address, std::string_view count, std::vector<Answer> answers = {})
    {
        echo.answers = std::move(answers);
        echo.nextAnswer = 0;
        setText(window::Text1, address);
        setText(window::Text3, count);
        click(window::Command1);
    }
    // A finished run saved to `path`, which the dialog answers with.
    void runAndSave(const platform::Text &path, std::string_view count = "3")
    {
        run("127.0.0.1", count);
        runtime.chosenFile = path;
        click(window::Command2);
    }
};

} // namespace testsupport
