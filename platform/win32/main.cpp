// Sondar on Windows: the window's logic over the Win32 layer.
#include "os/win32/SystemLibrary.h"
#include "platform/win32/Win32Form.h"
#include "probe/Module1.h"
#include "window/Form1.h"

#include <windows.h>
#include <commctrl.h>

namespace {

// DLLs come from the system folder only, from before the C runtime's own
// start-up code (the stack guard's random source) runs: the earliest
// priority of the constructors.
__attribute__((constructor(101))) void restrictDllSearch()
{
    os::win32::searchSystemFolderOnly();
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    // The common controls of the manifest's version 6, with the visual styles.
    os::win32::initCommonControls(ICC_STANDARD_CLASSES);

    platform::win32::Win32Form form(instance);
    // The socket library is opened and closed around every probe by the run;
    // a failed close warns through the window's own message box.
    Module1::SystemEcho echo([&form](const std::string &text) {
        form.messageBox({runtime::fromUtf8(text), runtime::kApplicationTitle, runtime::MessageIcon::Exclamation});
    });
    window::Form1 form1(form, echo);
    form.setEvents(form1);
    form.show(showCommand);
    return form.run();
}
