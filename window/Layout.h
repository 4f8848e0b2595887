// The main window's layout: one row per control, in twips as the form was
// designed. Form1 creates its controls from this table and takes their
// geometry, captions, fonts and focus order from it.
#pragma once

#include <QFont>
#include <QRect>

#include <span>

namespace layout {

enum class Kind { Frame, Label, TextBox, ListBox, Button };

struct Control {
    const char *name;    // the control's name, also its objectName
    Kind kind;
    const char *caption; // caption or initial text (UTF-8)
    int left;            // twips; controls inside the frame count from its corner
    int top;
    int width;
    int height;
    int tab;             // place in the focus order, lower first
    double pointSize;    // 0: the platform's default interface font
    const char *buddy;   // labels: the field they name
};

// 15 twips make one device-independent pixel (96 per inch).
inline constexpr int kTwipsPerPixel = 15;
inline constexpr int kClientWidth = 7920;
inline constexpr int kClientHeight = 5715;

// The frame comes first; every other control is its child.
std::span<const Control> controls();

int pixels(int twips);
QRect pixelRect(const Control &control);

// The Japanese proportional gothic of the captions and fields, or the closest
// installed face where it is missing.
QFont captionFont(double pointSize);

} // namespace layout
