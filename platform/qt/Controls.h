// The window's controls, each built from its row of the layout table: the
// widget of its kind in its place, with its font and input method, a text box
// holding one line of at most the shared limit; and the captions, each fitted
// to its text and naming its field.
#pragma once

#include "layout/Layout.h"

class QLabel;
class QLineEdit;
class QWidget;

namespace platform::qt {

// The layer supplies the contract, and names its types as its own.
using namespace runtime;

// The control of `row` as the window starts, a child of `parent`, named after
// the row's control.
QWidget *createControl(const window::ControlRow &row, QWidget *parent);

// The label becomes its field's caption: the field takes its name for
// assistive technology and its shortcut's focus, and the label grows to show
// its whole text where the face in use runs wider than the designed one.
void linkCaption(QLabel *label, QWidget *field);

// A field that only a run writes shows the start of its text, not the end of a
// long average; the whole text shows as its tool tip.
void showWholeTextAsToolTip(QLineEdit *field);

} // namespace platform::qt
