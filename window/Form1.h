// The program's only window: its four handlers, written against the forms
// runtime they are given, so that any layer can carry them.
#pragma once

#include "runtime/FormsRuntime.h"
#include "probe/Module1.h"

namespace window {

class Form1 final : public runtime::FormEvents {
public:
    Form1(runtime::FormsRuntime &runtime, Module1::EchoService &echo);

    void Click(runtime::ControlIndex control) override;
    void KeyPress(runtime::ControlIndex control, int keyAscii) override;
    void Unload() override;

private:
    void ClearResults();
    void RunPings();

    runtime::FormsRuntime &runtime_;
    Module1::EchoService &echo_;
    bool running_ = false; // a run is in progress
    bool closing_ = false; // the window was closed; a run in progress ends
};

} // namespace window
