#include "window/Form1.h"

#include "report/SaveReport.h"
#include "layout/Layout.h"

namespace window {

Form1::Form1(runtime::FormsRuntime &runtime, Module1::EchoService &echo) : runtime_(runtime), echo_(echo) {}

void Form1::Click(runtime::ControlIndex control)
{
    switch (control) {
    case Command1:
        RunPings();
        break;
    case Command2:
        report::SaveReport(runtime_);
        break;
    case Command3:
        ClearResults();
        break;
    default:
        break;
    }
}

// Enter hands the focus to "Ping Start" without pressing it; the key itself
// still goes on to the field.
void Form1::KeyPress(runtime::ControlIndex control, int keyAscii)
{
    if (control == Text1 && keyAscii == 13)
        runtime_.setFocus(Command1);
}

void Form1::Unload()
{
    closing_ = true;
}

void Form1::ClearResults()
{
    runtime_.clearList(List1);
    runtime_.setText(Text5, {});
    runtime_.setText(Text6, {});
    runtime_.setText(Text7, {});
    runtime_.setEnabled(Command2, false);
}

} // namespace window
