// What the Win32 form tells beyond its controls' own texts: the names
// assistive technology reads for the fields and the list (through oleacc's
// annotation service, over COM), and the time fields' whole texts as tool
// tips.
#include "platform/win32/Win32Form.h"

#include "platform/win32/FormParts.h"
#include "os/win32/SystemLibrary.h"
#include "os/win32/SystemText.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace platform::win32 {
namespace {

using window::ControlRow;
using window::Kind;

// oleacc's annotation service, CAccPropServices; mingw-w64's libraries do not
// define its class id.
constexpr CLSID kAccPropServicesClass{0xb5f8350b, 0x0548, 0x48b1, {0xa6, 0xee, 0x88, 0xbd, 0x00, 0xb4, 0xa5, 0xe7}};

// A time field's tool: a rectangle on the window, not the field itself, since
// a disabled field gets no mouse messages; the window gets them in its place.
TTTOOLINFOW timeTool(HWND window, HWND field)
{
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.hwnd = window;
    tool.uId = UINT_PTR(::GetDlgCtrlID(field));
    return tool;
}

bool isTimeField(ControlIndex control)
{
    return std::ranges::find(window::kTimeFields, control) != window::kTimeFields.end();
}

} // namespace

// Entered unless the thread is in a multithreaded apartment already
// (RPC_E_CHANGED_MODE): the annotations work there as well, and that apartment
// is not the window's to leave.
Win32Form::ComApartment::ComApartment()
    : entered(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)))
{
}

Win32Form::ComApartment::~ComApartment()
{
    if (entered)
        ::CoUninitialize();
}
void Win32Form::addTimeTips(HINSTANCE instance)
{
    initCommonControls(ICC_BAR_CLASSES);
    // Owned by the window, and gone with it; shown while the window is
    // inactive too, as a greyed field's text is read at any time.
    toolTips_ = ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window_, nullptr,
                                  instance, nullptr);
    if (!toolTips_) {
        std::fprintf(stderr, "sondar: the tool tips were not created (%lu)\n", ::GetLastError());
        std::abort();
    }
    for (const window::Control field : window::kTimeFields) {
        TTTOOLINFOW tool = timeTool(window_, controls_[field]);
        // The tips watch the window's mouse messages themselves.
        tool.uFlags = TTF_SUBCLASS;
        tool.lpszText = const_cast<wchar_t *>(L"");
        ::SendMessageW(toolTips_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }
}
void Win32Form::placeTimeTips(UINT dpi)
{
    for (const window::Control field : window::kTimeFields) {
        TTTOOLINFOW tool = timeTool(window_, controls_[field]);
        tool.rect = designedRect(window::kLayout[field], dpi);
        ::SendMessageW(toolTips_, TTM_NEWTOOLRECTW, 0, reinterpret_cast<LPARAM>(&tool));
    }
}

void Win32Form::updateTimeTip(ControlIndex control, const std::wstring &text)
{
    if (!isTimeField(control))
        return;
    TTTOOLINFOW tool = timeTool(window_, controls_[control]);
    tool.lpszText = const_cast<wchar_t *>(text.c_str());
    ::SendMessageW(toolTips_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
}

// The fields and the list are named explicitly, as annotations: Windows would
// otherwise name a field after whichever caption precedes it in the z-order,
// which follows the focus order here, not the captions. Buttons, captions and
// the frame are named by their own text.
void Win32Form::nameControls()
{
    IAccPropServices *services = nullptr;
    if (FAILED(::CoCreateInstance(kAccPropServicesClass, nullptr, CLSCTX_INPROC_SERVER, IID_IAccPropServices,
                                  reinterpret_cast<void **>(&services))))
        return;
    annotations_.reset(services);
    accessibleNamesSet_ = true;
    for (const ControlRow &r : window::kLayout) {
        if (r.kind != Kind::TextBox && r.kind != Kind::ListBox)
            continue;
        const std::wstring name = wide(accessibleName(r.id));
        if (FAILED(annotations_->SetHwndPropStr(controls_[r.id], DWORD(OBJID_CLIENT), CHILDID_SELF, PROPID_ACC_NAME,
                                                name.c_str())))
            accessibleNamesSet_ = false;
    }
}

// The annotations are the process's own until cleared: they go with the
// controls they name.
void Win32Form::clearNames()
{
    if (!annotations_)
        return;
    for (const ControlRow &r : window::kLayout) {
        if (r.kind == Kind::TextBox || r.kind == Kind::ListBox)
            annotations_->ClearHwndProps(controls_[r.id], DWORD(OBJID_CLIENT), CHILDID_SELF, &PROPID_ACC_NAME, 1);
    }
}

Text Win32Form::accessibleName(ControlIndex control) const
{
    const ControlRow &r = row(control);
    if (r.kind == Kind::ListBox)
        return window::kResultsName;
    if (r.kind == Kind::TextBox) {
        const auto label = std::ranges::find(window::kLayout, std::optional<window::Control>(r.id), &ControlRow::buddy);
        if (label != window::kLayout.end())
            return label->caption;
    }
    return r.caption;
}

} // namespace platform::win32
