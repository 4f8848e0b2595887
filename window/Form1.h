// The program's only window: its four handlers, written against the forms
// runtime they are given, so that any layer can carry them.
#pragma once

#include "platform/FormsRuntime.h"
#include "probe/Module1.h"

namespace window {

class Form1 final : public platform::FormEvents {
public:
    Form1(platform::FormsRuntime &runtime, Module1::EchoService &echo);

    void Click(platform::ControlIndex control) override;
    void KeyPress(platform::ControlIndex control, int keyAscii) override;
    void Unload() override;

private:
    void ClearResults();
    void RunPings();

    platform::FormsRuntime &runtime_;
    Module1::EchoService &echo_;
    bool running_ = false; // a run is in progress
    bool closing_ = false; // the window was closed; a run in progress ends
};

} // namespace window
