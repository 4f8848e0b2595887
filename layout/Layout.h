// The main window's layout: one row per control, in twips as the form was
// designed, with its caption, type, colour, focus order and input method.
// Every layer builds the window from this table alone.
#pragma once

#include "runtime/FormsRuntime.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

namespace window {

// The controls, in the order of the table's rows. No text box is numbered 4.
enum Control : runtime::ControlIndex {
    Frame1, Label6, Text8, Command2, Label8, Text9, Label1, Text1, Command1, Command3,
    Label4, Text3, Label5, Text2, List1, Label2, Text5, Label3, Text6, Label7, Text7,
};

enum class Kind : std::uint8_t { Frame, Label, TextBox, ListBox, Button };

// What a control shows behind its text: the platform's default, the window's
// light blue, or whatever lies behind the control.
enum class Background : std::uint8_t { Default, LightBlue, Transparent };

// How a text box treats the input method: leaves it alone, keeps it off (an
// address is plain digits), or opens it in hiragana mode (a Japanese name).
enum class InputMethod : std::uint8_t { Leave, Disabled, Hiragana };

struct Rgb {
    std::uint8_t red, green, blue;
};

struct ControlRow {
    Control id;
    const char *name;          // the control's name, also its object name in a layer
    Kind kind;
    const char16_t *caption;   // caption or initial text
    int left, top, width, height; // twips; controls inside the frame count from its corner
    int tab;                   // place in the focus order, lower first
    double points;             // the Japanese face at this size; 0: the platform's interface font
    std::optional<Control> buddy; // labels: the field they name
    bool enabledAtStart;
    Background background;
    InputMethod inputMethod;
};

inline constexpr int kTwipsPerInch = 1440;
inline constexpr int kClientWidth = 7920; // twips
inline constexpr int kClientHeight = 5715;
inline constexpr Rgb kLightBlue{192, 192, 255};
// The proportional Japanese interface face of the captions and fields. A layer
// whose system lacks it takes the first of the stand-ins it has: the same face
// under its English name, the UI gothics of Windows without the Japanese
// supplemental fonts, then the proportional gothics of Linux systems.
inline constexpr char16_t kJapaneseFace[] = u"ＭＳ Ｐゴシック";
inline constexpr const char16_t *kJapaneseFaces[] = {
    kJapaneseFace, u"MS PGothic", u"Yu Gothic UI", u"Meiryo UI", u"MS UI Gothic",
    u"IPAPGothic", u"VL PGothic", u"Noto Sans CJK JP",
};

// The most characters a text box holds, in both layers: no address, count,
// size, site or point comes near it, and a field that holds no more stays
// responsive whatever is pasted into it. Under wine the edit control lays out
// its whole line again at every change, a time that grows with the square of
// its length: 20 ms a key at this limit, 1.5 s at the edit control's default
// of 32767. A longer paste is cut at it, as an edit control with a limit
// cuts it.
inline constexpr int kTextBoxMaxLength = 4096;

// The results have no caption of their own to name them for assistive technology.
inline constexpr char16_t kResultsName[] = u"Ping results";

// The fields a run writes its times into: disabled, and often narrower than
// an average with all its decimals, so each shows its whole text as a tip.
inline constexpr std::array<Control, 3> kTimeFields{Text5, Text6, Text7};

namespace detail {
inline constexpr double kSmall = 9.75;
inline constexpr double kLarge = 12.0;
inline constexpr auto kNone = std::nullopt;
using enum Kind;
using enum Background;
using enum InputMethod;
} // namespace detail

// The frame comes first; every other control is its child.
inline constexpr std::array<ControlRow, 21> kLayout = [] {
    using namespace detail;
    return std::array<ControlRow, 21>{{
        // id     name        kind     caption         left   top width height tab points  buddy  on     background   ime
        {Frame1,   "Frame1",   Frame,   u"Ping",          50,    0, 7815, 5655,  4, kLarge, kNone, true,  LightBlue,   Leave},
        {Label6,   "Label6",   Label,   u"試験場所",     600,  600, 1335,  255, 15, kLarge, Text8, true,  Transparent, Leave},
        {Text8,    "Text8",    TextBox, u"",            2280,  540, 3735,  375, 16, kSmall, kNone, true,  Default,     Hiragana},
        {Command2, "Command2", Button,  u"SaveData",    6480,  600, 1095,  495, 13, 0,      kNone, false, Default,     Leave},
        {Label8,   "Label8",   Label,   u"試験箇所",     600, 1140, 1335,  255, 18, kLarge, Text9, true,  Transparent, Leave},
        {Text9,    "Text9",    TextBox, u"",            2280, 1080, 3735,  375, 17, kSmall, kNone, true,  Default,     Leave},
        {Label1,   "Label1",   Label,   u"IP アドレス",  600, 1680, 1215,  255,  8, kLarge, Text1, true,  Transparent, Leave},
        {Text1,    "Text1",    TextBox, u"",            2280, 1620, 1575,  375,  0, kSmall, kNone, true,  Default,     Disabled},
        {Command1, "Command1", Button,  u"Ping Start",  4560, 1560, 1215,  495,  1, 0,      kNone, true,  Default,     Leave},
        {Command3, "Command3", Button,  u"DataClear",   6480, 1560, 1095,  495, 14, 0,      kNone, true,  Default,     Leave},
        {Label4,   "Label4",   Label,   u"Packets",     2280, 2280,  675,  195,  7, kSmall, Text3, true,  Transparent, Leave},
        {Text3,    "Text3",    TextBox, u"5",           3240, 2235,  735,  285,  2, kSmall, kNone, true,  Default,     Leave},
        {Label5,   "Label5",   Label,   u"Chars/Pkt",   4200, 2280,  885,  195,  6, kSmall, Text2, true,  Transparent, Leave},
        {Text2,    "Text2",    TextBox, u"32",          5280, 2235,  855,  285,  3, kSmall, kNone, true,  Default,     Leave},
        {List1,    "List1",    ListBox, u"",             960, 2640, 6135, 2220,  5, 0,      kNone, true,  Default,     Leave},
        {Label2,   "Label2",   Label,   u"Minimum =",   1080, 5160,  975,  255,  9, kSmall, Text5, true,  LightBlue,   Leave},
        {Text5,    "Text5",    TextBox, u"",            2040, 5160,  855,  285, 10, kSmall, kNone, false, Default,     Leave},
        {Label3,   "Label3",   Label,   u"Maximum =",   3120, 5160,  975,  255, 11, kSmall, Text6, true,  LightBlue,   Leave},
        {Text6,    "Text6",    TextBox, u"",            4200, 5145,  855,  285, 19, kSmall, kNone, false, Default,     Leave},
        {Label7,   "Label7",   Label,   u"Average =",   5280, 5160,  975,  255, 12, kSmall, Text7, true,  LightBlue,   Leave},
        {Text7,    "Text7",    TextBox, u"",            6240, 5145,  855,  285, 20, kSmall, kNone, false, Default,     Leave},
    }};
}();

// Text boxes, the list and the buttons take the focus; labels and the frame
// never do, and disabled controls keep their place in the order unused.
inline constexpr bool takesFocus(Kind kind)
{
    return kind == Kind::TextBox || kind == Kind::ListBox || kind == Kind::Button;
}

// The controls that take the focus, in the order Tab visits them: by their
// tab index, ties in the table's order. The first has the focus at start.
inline constexpr auto kFocusOrder = [] {
    constexpr std::size_t count =
            std::ranges::count_if(kLayout, [](const ControlRow &row) { return takesFocus(row.kind); });
    std::array<Control, count> order{};
    std::size_t filled = 0;
    for (const ControlRow &row : kLayout) {
        if (!takesFocus(row.kind))
            continue;
        std::size_t at = filled++;
        for (; at > 0 && kLayout[order[at - 1]].tab > row.tab; --at)
            order[at] = order[at - 1];
        order[at] = row.id;
    }
    return order;
}();

// Each row sits at the index of its control, so a layer finds a control's row
// and its own widget by the control alone.
inline constexpr bool rowsInControlOrder()
{
    for (std::size_t i = 0; i < kLayout.size(); ++i) {
        if (kLayout[i].id != i)
            return false;
    }
    return kLayout.front().kind == Kind::Frame;
}
static_assert(rowsInControlOrder(), "the table's rows follow the Control enum, the frame first");

// A rectangle in device pixels, its right and bottom edges exclusive.
struct PixelRect {
    int left, top, right, bottom;
};

// A caption keeps its designed place where its text fits. Where the face in
// use runs wider or taller than the designed one, it grows down and to the
// right, or, where its field would cover the end of the text, it ends where
// the field begins and grows to the left.
inline constexpr PixelRect fittedCaption(PixelRect designed, int textWidth, int textHeight, int fieldLeft)
{
    PixelRect fitted = designed;
    fitted.right = std::max(designed.right, designed.left + textWidth);
    fitted.bottom = std::max(designed.bottom, designed.top + textHeight);
    if (fitted.right > designed.right && fitted.right > fieldLeft) {
        fitted.left -= fitted.right - fieldLeft;
        fitted.right = fieldLeft;
    }
    return fitted;
}

// Twips to device pixels at the given dots per inch, to the nearest pixel:
// 15 twips make one pixel at 96 dpi.
inline constexpr int pixels(int twips, int dpi = 96)
{
    return (twips * dpi + kTwipsPerInch / 2) / kTwipsPerInch;
}

} // namespace window
