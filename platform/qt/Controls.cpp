#include "platform/qt/Controls.h"

#include <QApplication>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStyledItemDelegate>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace platform::qt {
namespace {

using window::ControlRow;
using window::Kind;

QRect pixelRect(const ControlRow &row)
{
    using window::pixels;
    return QRect(pixels(row.left), pixels(row.top), pixels(row.width), pixels(row.height));
}

// The Japanese proportional gothic of the captions and fields. Where the
// Windows face is missing, fontconfig would hand back a Latin face with
// fixed-width kana; name the proportional gothics ourselves.
QFont captionFont(double pointSize)
{
    QFont font;
    QStringList families;
    for (const char16_t *face : window::kJapaneseFaces)
        families << QString::fromUtf16(face);
    font.setFamilies(families);
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(pointSize);
    return font;
}

// The rows the Windows list box of the same designed height shows at 96 dpi:
// inside its sunken edge of 2 px above and below, rows of 13 px, a line of
// Windows' 8-point interface font (Tahoma, which wine gives the Windows
// window, as MS Sans Serif), 11 of them whole.
constexpr int kWindowsListEdge = 2;
constexpr int kWindowsListRow = 13;
constexpr int kWindowsListRows =
        (window::pixels(window::kLayout[window::List1].height) - 2 * kWindowsListEdge) / kWindowsListRow;

// Rows of one height, whatever their text.
class RowHeight final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void setHeight(int height) { height_ = height; }
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        return {QStyledItemDelegate::sizeHint(option, index).width(), height_};
    }

private:
    int height_ = 0;
};

// A list that shows whole rows only, as a list box of Windows' usual integral
// height does, and as many as the Windows window's list: where the font's
// glyphs (its pixel size) fit a row of 1/11 of the list's inside, that is
// the rows' height, a line's leading above the glyphs cut off; a larger font
// gets rows of its whole line, as many as fit. What the rows leave of the
// inside lies below the last of them, empty, in the list's own colour.
class ResultsList final : public QListWidget {
public:
    explicit ResultsList(QWidget *parent) : QListWidget(parent), rows_(new RowHeight(this))
    {
        setItemDelegate(rows_);
        setUniformItemSizes(true);
        setAutoFillBackground(true);
        setBackgroundRole(QPalette::Base);
    }

protected:
    void resizeEvent(QResizeEvent *event) override
    {
        fitRows();
        QListWidget::resizeEvent(event);
    }

    void changeEvent(QEvent *event) override
    {
        if (event->type() == QEvent::FontChange)
            fitRows();
        QListWidget::changeEvent(event);
    }

private:
    void fitRows()
    {
        const int inside = height() - 2 * frameWidth();
        const int rows = QFontInfo(font()).pixelSize() <= inside / kWindowsListRows
                ? kWindowsListRows
                : std::max(1, inside / fontMetrics().height());
        const int rowHeight = inside / rows;
        rows_->setHeight(rowHeight);
        setViewportMargins(0, 0, 0, inside - rows * rowHeight);
        scheduleDelayedItemsLayout();
    }

    RowHeight *rows_;
};

// The widget of the row's kind, with its caption or start text.
QWidget *newWidget(const ControlRow &row, QWidget *parent)
{
    const QString caption = QString::fromUtf16(row.caption);
    switch (row.kind) {
    case Kind::Frame:
        return new QGroupBox(caption, parent);
    case Kind::Label: {
        auto *label = new QLabel(caption, parent);
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        return label;
    }
    case Kind::TextBox: {
        auto *text = new QLineEdit(caption, parent);
        text->setMaxLength(window::kTextBoxMaxLength);
        return text;
    }
    case Kind::ListBox: {
        auto *list = new ResultsList(parent);
        list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        list->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        list->setTextElideMode(Qt::ElideNone);
        return list;
    }
    case Kind::Button: {
        auto *button = new QPushButton(caption, parent);
        // A focused button answers Enter only when it is an auto-default one.
        button->setAutoDefault(true);
        return button;
    }
    }
    std::abort();
}

// Every control names its font in full, so that none inherits the frame's
// 12-point caption font; the buttons and the list keep the application's.
// Where that is a fixed-width face (fontconfig's first Japanese sans-serif is
// one), they get a proportional gothic of the same size: the window means
// the platform's interface font, not a typewriter.
QFont controlFont(const ControlRow &row, const QWidget *widget)
{
    if (row.points > 0)
        return captionFont(row.points);
    QFont font = QApplication::font(widget);
    if (QFontInfo(font).fixedPitch()) {
        font.setFamilies({QStringLiteral("IPAPGothic"), QStringLiteral("VL PGothic"),
                          QStringLiteral("Noto Sans CJK JP"), QStringLiteral("DejaVu Sans")});
        font.setStyleHint(QFont::SansSerif);
    }
    font.setResolveMask(QFont::AllPropertiesResolved);
    return font;
}

// A single-line field never holds a line break: of a pasted or dropped text it
// keeps the first line, as Windows' own single-line box does. The insertion
// ends at the cursor; what follows the cursor is the text that stood after it
// before, and the insertion starts where the text before it ends.
void keepFirstLineOfInsertions(QLineEdit *field)
{
    auto before = std::make_shared<QString>(field->text());
    QObject::connect(field, &QLineEdit::textChanged, field, [field, before](const QString &text) {
        const auto isBreak = [](QChar c) { return c == u'\r' || c == u'\n'; };
        if (std::ranges::none_of(text, isBreak)) {
            *before = text;
            return;
        }
        const qsizetype end = std::clamp<qsizetype>(field->cursorPosition(), 0, text.size());
        const qsizetype after = std::min(text.size() - end, before->size());
        qsizetype start = 0;
        while (start < end && start < before->size() - after && text[start] == (*before)[start])
            ++start;
        QString inserted = text.mid(start, end - start);
        inserted.truncate(std::ranges::find_if(inserted, isBreak) - inserted.begin());
        QString kept = text.left(start) + inserted + text.right(text.size() - end);
        kept.removeIf(isBreak);
        *before = kept;
        field->setText(kept);
        field->setCursorPosition(int(start + inserted.size()));
    });
}

void applyInputMethod(QLineEdit *field, window::InputMethod inputMethod)
{
    switch (inputMethod) {
    case window::InputMethod::Leave:
        break;
    case window::InputMethod::Disabled:
        // An address is plain digits and dots: no input method in that field.
        field->setAttribute(Qt::WA_InputMethodEnabled, false);
        field->setInputMethodHints(Qt::ImhLatinOnly | Qt::ImhPreferNumbers | Qt::ImhNoPredictiveText);
        break;
    case window::InputMethod::Hiragana:
        // Qt cannot pick the input method's conversion mode; the field takes it
        // with no Latin-only restriction, and the input method opens in its own
        // default (kana) mode.
        field->setAttribute(Qt::WA_InputMethodEnabled, true);
        break;
    }
}

QRect fittedCaption(const QRect &designed, const QSize &text, int fieldLeft)
{
    const window::PixelRect fitted = window::fittedCaption(
            {designed.left(), designed.top(), designed.left() + designed.width(), designed.top() + designed.height()},
            text.width(), text.height(), fieldLeft);
    return QRect(fitted.left, fitted.top, fitted.right - fitted.left, fitted.bottom - fitted.top);
}

} // namespace

QWidget *createControl(const ControlRow &row, QWidget *parent)
{
    QWidget *control = newWidget(row, parent);
    control->setObjectName(QString::fromLatin1(row.name));
    control->setFont(controlFont(row, control));
    control->setGeometry(pixelRect(row));
    control->setEnabled(row.enabledAtStart);
    if (auto *field = qobject_cast<QLineEdit *>(control)) {
        applyInputMethod(field, row.inputMethod);
        keepFirstLineOfInsertions(field);
    }
    return control;
}

void linkCaption(QLabel *label, QWidget *field)
{
    label->setBuddy(field);
    field->setAccessibleName(label->text());
    label->setGeometry(fittedCaption(label->geometry(), label->sizeHint(), field->x()));
}

void showWholeTextAsToolTip(QLineEdit *field)
{
    QObject::connect(field, &QLineEdit::textChanged, field, [field](const QString &text) {
        field->setCursorPosition(0);
        field->setToolTip(text);
    });
}

} // namespace platform::qt
