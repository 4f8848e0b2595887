#include "Layout.h"

#include <QStringList>

#include <array>

namespace layout {
namespace {

constexpr double kSmall = 9.75;
constexpr double kLarge = 12.0;

constexpr std::array kControls{
    //      name        kind           caption             left   top width height tab  points  buddy
    Control{"Frame1",   Kind::Frame,   "Ping",               50,    0, 7815, 5655,  4, kLarge, nullptr},
    Control{"Label6",   Kind::Label,   "試験場所",          600,  600, 1335,  255, 15, kLarge, "Text8"},
    Control{"Text8",    Kind::TextBox, "",                 2280,  540, 3735,  375, 16, kSmall, nullptr},
    Control{"Command2", Kind::Button,  "SaveData",         6480,  600, 1095,  495, 13, 0,      nullptr},
    Control{"Label8",   Kind::Label,   "試験箇所",          600, 1140, 1335,  255, 18, kLarge, "Text9"},
    Control{"Text9",    Kind::TextBox, "",                 2280, 1080, 3735,  375, 17, kSmall, nullptr},
    Control{"Label1",   Kind::Label,   "IP アドレス",       600, 1680, 1215,  255,  8, kLarge, "Text1"},
    Control{"Text1",    Kind::TextBox, "",                 2280, 1620, 1575,  375,  0, kSmall, nullptr},
    Control{"Command1", Kind::Button,  "Ping Start",       4560, 1560, 1215,  495,  1, 0,      nullptr},
    Control{"Command3", Kind::Button,  "DataClear",        6480, 1560, 1095,  495, 14, 0,      nullptr},
    Control{"Label4",   Kind::Label,   "Packets",          2280, 2280,  675,  195,  7, kSmall, "Text3"},
    Control{"Text3",    Kind::TextBox, "5",                3240, 2235,  735,  285,  2, kSmall, nullptr},
    Control{"Label5",   Kind::Label,   "Chars/Pkt",        4200, 2280,  885,  195,  6, kSmall, "Text2"},
    Control{"Text2",    Kind::TextBox, "32",               5280, 2235,  855,  285,  3, kSmall, nullptr},
    Control{"List1",    Kind::ListBox, "",                  960, 2640, 6135, 2220,  5, 0,      nullptr},
    Control{"Label2",   Kind::Label,   "Minimum =",        1080, 5160,  975,  255,  9, kSmall, "Text5"},
    Control{"Text5",    Kind::TextBox, "",                 2040, 5160,  855,  285, 10, kSmall, nullptr},
    Control{"Label3",   Kind::Label,   "Maximum =",        3120, 5160,  975,  255, 11, kSmall, "Text6"},
    Control{"Text6",    Kind::TextBox, "",                 4200, 5145,  855,  285, 19, kSmall, nullptr},
    Control{"Label7",   Kind::Label,   "Average =",        5280, 5160,  975,  255, 12, kSmall, "Text7"},
    Control{"Text7",    Kind::TextBox, "",                 6240, 5145,  855,  285, 20, kSmall, nullptr},
};

static_assert(kControls.front().kind == Kind::Frame, "the frame is created before its children");

} // namespace

std::span<const Control> controls()
{
    return kControls;
}

int pixels(int twips)
{
    return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}

QRect pixelRect(const Control &control)
{
    return QRect(pixels(control.left), pixels(control.top), pixels(control.width), pixels(control.height));
}

QFont captionFont(double pointSize)
{
    QFont font;
    // Where the Windows face is missing, fontconfig would hand back a Latin
    // face with fixed-width kana; name the proportional gothics ourselves.
    font.setFamilies({QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic"),
                      QStringLiteral("VL PGothic"), QStringLiteral("Noto Sans CJK JP")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(pointSize);
    return font;
}

} // namespace layout
