// The Win32 form's layout: each control where the layout table puts it, at
// the window's DPI, in the Japanese face at the table's sizes or the
// system's message font, captions grown where their text needs it.
#include "platform/win32/Win32Form.h"

#include "platform/win32/FormParts.h"

#include <algorithm>
#include <cmath>
#include <cwchar>
#include <vector>

namespace platform::win32 {
namespace {

using window::ControlRow;
using window::Kind;

const wchar_t *wideFace(const char16_t *face)
{
    return reinterpret_cast<const wchar_t *>(face);
}

bool faceInstalled(HDC dc, const wchar_t *face)
{
    LOGFONTW wanted{};
    wanted.lfCharSet = DEFAULT_CHARSET;
    if (std::wcslen(face) >= LF_FACESIZE)
        return false;
    std::wcscpy(wanted.lfFaceName, face);
    bool found = false;
    ::EnumFontFamiliesExW(
        dc, &wanted,
        [](const LOGFONTW *, const TEXTMETRICW *, DWORD, LPARAM found) -> int {
            *reinterpret_cast<bool *>(found) = true;
            return 0;
        },
        reinterpret_cast<LPARAM>(&found), 0);
    return found;
}

const wchar_t *japaneseFace()
{
    static const wchar_t *const face = [] {
        HDC screen = ::GetDC(nullptr);
        const auto *chosen = std::ranges::find_if(window::kJapaneseFaces, [screen](const char16_t *f) {
            return faceInstalled(screen, wideFace(f));
        });
        ::ReleaseDC(nullptr, screen);
        return wideFace(chosen != std::end(window::kJapaneseFaces) ? *chosen : window::kJapaneseFaces[0]);
    }();
    return face;
}

HFONT japaneseFont(double points, UINT dpi)
{
    LOGFONTW font{};
    font.lfHeight = -LONG(std::lround(points * dpi / 72.0));
    font.lfWeight = FW_NORMAL;
    // Where no listed face is installed, the font mapper is asked for one
    // that holds the Japanese characters, not merely for the name.
    font.lfCharSet = SHIFTJIS_CHARSET;
    font.lfQuality = DEFAULT_QUALITY;
    std::wcscpy(font.lfFaceName, japaneseFace());
    return ::CreateFontIndirectW(&font);
}

// The system's message font, the one dialogs use, at the window's DPI.
HFONT interfaceFont(UINT dpi)
{
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (!::SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi))
        ::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    return ::CreateFontIndirectW(&metrics.lfMessageFont);
}

SIZE textExtent(const ControlRow &row, HFONT font)
{
    HDC dc = ::CreateCompatibleDC(nullptr);
    const HGDIOBJ former = ::SelectObject(dc, font);
    const std::wstring caption(reinterpret_cast<const wchar_t *>(row.caption));
    SIZE size{};
    ::GetTextExtentPoint32W(dc, caption.c_str(), int(caption.size()), &size);
    ::SelectObject(dc, former);
    ::DeleteDC(dc);
    return size;
}

// The layout's caption rule on GDI's rectangles.
RECT fittedCaption(RECT designed, SIZE text, LONG fieldLeft)
{
    const window::PixelRect fitted = window::fittedCaption(
            {int(designed.left), int(designed.top), int(designed.right), int(designed.bottom)}, int(text.cx),
            int(text.cy), int(fieldLeft));
    return RECT{fitted.left, fitted.top, fitted.right, fitted.bottom};
}

} // namespace

// Where a row's control sits in the window's client area. Rows inside the
// frame count from its corner; each part is rounded on its own, as the frame
// and its children are placed on every platform.
RECT designedRect(const window::ControlRow &row, UINT dpi)
{
    using window::pixels;
    const int d = int(dpi);
    int left = pixels(row.left, d), top = pixels(row.top, d);
    if (row.kind != Kind::Frame) {
        const ControlRow &frame = window::kLayout[window::Frame1];
        left += pixels(frame.left, d);
        top += pixels(frame.top, d);
    }
    return RECT{left, top, left + pixels(row.width, d), top + pixels(row.height, d)};
}

void Win32Form::layOut(UINT dpi)
{
    dpi_ = dpi;
    // One font per size the table names; the old ones go once no control
    // uses them any more.
    std::vector<SizedFont> fonts;
    fonts.push_back({0, GdiObject<HFONT>(interfaceFont(dpi))});
    const auto fontFor = [&](double points) {
        auto found = std::ranges::find(fonts, points, &SizedFont::points);
        if (found == fonts.end())
            found = fonts.insert(fonts.end(), SizedFont{points, GdiObject<HFONT>(japaneseFont(points, dpi))});
        return found->font.get();
    };

    for (const ControlRow &r : window::kLayout) {
        const HFONT font = fontFor(r.points);
        RECT place = designedRect(r, dpi);
        if (r.buddy)
            place = fittedCaption(place, textExtent(r, font), designedRect(window::kLayout[*r.buddy], dpi).left);
        ::SendMessageW(controls_[r.id], WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        ::MoveWindow(controls_[r.id], place.left, place.top, place.right - place.left, place.bottom - place.top, TRUE);
    }
    fonts_ = std::move(fonts);
    placeTimeTips(dpi);

    const SIZE wanted{window::pixels(window::kClientWidth, int(dpi)), window::pixels(window::kClientHeight, int(dpi))};
    RECT frame{0, 0, wanted.cx, wanted.cy};
    ::AdjustWindowRectExForDpi(&frame, kFormStyle, FALSE, 0, dpi);
    ::SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    // Where the frame drawn differs from the one computed (a caption that
    // has not yet followed the DPI), the client area still gets its size.
    RECT client{};
    ::GetClientRect(window_, &client);
    if (client.right != wanted.cx || client.bottom != wanted.cy)
        ::SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left + wanted.cx - client.right,
                       frame.bottom - frame.top + wanted.cy - client.bottom, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ::InvalidateRect(window_, nullptr, TRUE);
}

} // namespace platform::win32
