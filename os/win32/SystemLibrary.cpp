#include "os/win32/SystemLibrary.h"

#include <commctrl.h>

namespace os::win32 {

bool initCommonControls(DWORD classes)
{
    static const Library controls = systemLibrary(L"comctl32.dll");
    const auto init = libraryFunction<decltype(::InitCommonControlsEx)>(controls, "InitCommonControlsEx");
    const INITCOMMONCONTROLSEX wanted{.dwSize = sizeof(INITCOMMONCONTROLSEX), .dwICC = classes};
    return init && init(&wanted);
}

} // namespace os::win32
