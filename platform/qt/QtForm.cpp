#include "platform/qt/QtForm.h"

#include "platform/posix/AppendFile.h"
#include "platform/qt/GeneralDate.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QFileInfo>
#include <QFontInfo>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

// The icons live in a resource file of this library; the resource system
// wants its initialiser called from outside any namespace.
static void initResources()
{
    Q_INIT_RESOURCE(sondar);
}

namespace platform::qt {
namespace {

using window::ControlRow;
using window::Kind;

QString qtText(const Text &text)
{
    return QString::fromStdU16String(text);
}

Text ownText(const QString &text)
{
    return text.toStdU16String();
}

QColor colour(window::Rgb rgb)
{
    return QColor(rgb.red, rgb.green, rgb.blue);
}

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

QWidget *createControl(const ControlRow &row, QWidget *parent)
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
        auto *list = new QListWidget(parent);
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

QRect fittedCaption(const QRect &designed, const QSize &text, int fieldLeft)
{
    const window::PixelRect fitted = window::fittedCaption(
            {designed.left(), designed.top(), designed.left() + designed.width(), designed.top() + designed.height()},
            text.width(), text.height(), fieldLeft);
    return QRect(fitted.left, fitted.top, fitted.right - fitted.left, fitted.bottom - fitted.top);
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

// The window tells assistive technology that it is a window, not a filler.
QAccessibleInterface *formAccessible(const QString &className, QObject *object)
{
    if (className == QLatin1String(QtForm::staticMetaObject.className()) && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::Window);
    return nullptr;
}

bool takesFocus(Kind kind)
{
    return kind == Kind::TextBox || kind == Kind::ListBox || kind == Kind::Button;
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

// "テキスト (*.txt)|*.txt" -> "テキスト (*.txt)": Qt reads the patterns from the
// parentheses of each description.
QStringList nameFilters(const Text &filter)
{
    const QStringList parts = qtText(filter).split(u'|');
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString &description = parts[i];
        const QString &patterns = parts[i + 1];
        filters << (description.endsWith(u'(' + patterns + u')') ? description
                                                                    : description + QStringLiteral(" (") + patterns + u')');
    }
    return filters;
}

} // namespace

QtForm::QtForm(QWidget *parent) : QWidget(parent)
{
    initResources();
    static const bool accessibleAsWindow = (QAccessible::installFactory(formAccessible), true);
    Q_UNUSED(accessibleAsWindow);
    setWindowTitle(qtText(kApplicationTitle));
    setFixedSize(window::pixels(window::kClientWidth), window::pixels(window::kClientHeight));

    // The frame and the labels are transparent and show the window's colour.
    // The window sets its own text colour with its own background, so that a
    // dark desktop palette's near-white text never lands on the light blue;
    // fields, buttons and the list keep the palette's pairs of colours.
    QPalette lightBlue = palette();
    lightBlue.setColor(QPalette::Window, colour(window::kLightBlue));
    lightBlue.setColor(QPalette::WindowText, Qt::black);
    setPalette(lightBlue);

    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/sondar-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/icons/sondar-32.png"), QSize(32, 32));
    setWindowIcon(icon);

    for (const ControlRow &row : window::kLayout) {
        QWidget *w = createControl(row, row.kind == Kind::Frame ? static_cast<QWidget *>(this) : widgets_[window::Frame1]);
        widgets_[row.id] = w;
        w->setObjectName(QString::fromLatin1(row.name));
        w->setFont(controlFont(row, w));
        w->setGeometry(pixelRect(row));
        w->setEnabled(row.enabledAtStart);
        if (auto *field = qobject_cast<QLineEdit *>(w)) {
            applyInputMethod(field, row.inputMethod);
            keepFirstLineOfInsertions(field);
        }
    }
    widgets_[window::List1]->setAccessibleName(QString::fromUtf16(window::kResultsName));

    std::vector<const ControlRow *> focusOrder;
    for (const ControlRow &row : window::kLayout) {
        if (row.buddy) {
            auto *label = widget<QLabel>(row.id);
            QWidget *field = widgets_[*row.buddy];
            label->setBuddy(field);
            field->setAccessibleName(label->text());
            label->setGeometry(fittedCaption(label->geometry(), label->sizeHint(), field->x()));
        }
        if (takesFocus(row.kind))
            focusOrder.push_back(&row);
    }
    std::ranges::sort(focusOrder, {}, &ControlRow::tab);
    for (std::size_t i = 1; i < focusOrder.size(); ++i)
        setTabOrder(widgets_[focusOrder[i - 1]->id], widgets_[focusOrder[i]->id]);

    // The time fields are only ever written by a run, and show the start of
    // what it writes, not the end of a long average; the whole text shows as
    // the field's tool tip.
    for (const window::Control id : {window::Text5, window::Text6, window::Text7}) {
        QLineEdit *field = widget<QLineEdit>(id);
        connect(field, &QLineEdit::textChanged, field, [field](const QString &text) {
            field->setCursorPosition(0);
            field->setToolTip(text);
        });
    }

    widget(window::Text1)->installEventFilter(this);
    for (const window::Control id : {window::Command1, window::Command2, window::Command3}) {
        connect(widget<QPushButton>(id), &QPushButton::clicked, this, [this, id] {
            if (events_)
                events_->Click(id);
        });
    }

    // First in the focus order; takes the focus once the window is active.
    widget(focusOrder.front()->id)->setFocus(Qt::OtherFocusReason);
}

QWidget *QtForm::checkedWidget(ControlIndex control, const char *type, bool matches) const
{
    if (!matches) {
        std::fprintf(stderr, "sondar: control %d is no %s\n", int(control), type);
        std::abort();
    }
    return widgets_[control];
}

bool QtForm::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress && events_) {
        const auto *key = static_cast<QKeyEvent *>(event);
        const auto found = std::ranges::find(widgets_, watched);
        if (found != widgets_.end() && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter))
            events_->KeyPress(ControlIndex(found - widgets_.begin()), 13);
    }
    return QWidget::eventFilter(watched, event);
}

// The window keeps its designed size on every desktop: it tells the window
// system that it is of one fixed size, and where it is maximized or put to
// full screen all the same (a window manager that ignores the size limits),
// it returns to its normal state.
void QtForm::showEvent(QShowEvent *event)
{
    connect(windowHandle(), &QWindow::windowStateChanged, this, &QtForm::keepNormalState, Qt::UniqueConnection);
    QWidget::showEvent(event);
}

void QtForm::keepNormalState(Qt::WindowState state)
{
    if (state == Qt::WindowMaximized || state == Qt::WindowFullScreen)
        windowHandle()->setWindowStates(windowHandle()->windowStates() & ~(Qt::WindowMaximized | Qt::WindowFullScreen));
}

void QtForm::closeEvent(QCloseEvent *event)
{
    if (events_)
        events_->Unload();
    QWidget::closeEvent(event);
}

Text QtForm::text(ControlIndex control) const
{
    return ownText(widget<QLineEdit>(control)->text());
}

void QtForm::setText(ControlIndex control, const Text &text)
{
    widget<QLineEdit>(control)->setText(qtText(text));
}

void QtForm::setEnabled(ControlIndex control, bool enabled)
{
    widget(control)->setEnabled(enabled);
}

void QtForm::setFocus(ControlIndex control)
{
    widget(control)->setFocus(Qt::OtherFocusReason);
}

void QtForm::clearList(ControlIndex list)
{
    widget<QListWidget>(list)->clear();
}

void QtForm::addLine(ControlIndex list, const Text &line)
{
    widget<QListWidget>(list)->addItem(qtText(line));
}

Text QtForm::line(ControlIndex list, int index) const
{
    const QListWidgetItem *item = widget<QListWidget>(list)->item(index);
    return item ? ownText(item->text()) : Text();
}

int QtForm::lineCount(ControlIndex list) const
{
    return widget<QListWidget>(list)->count();
}

void QtForm::setPointer(Pointer pointer)
{
    if (pointer == Pointer::Busy)
        setCursor(Qt::BusyCursor);
    else
        unsetCursor();
}

void QtForm::messageBox(const Message &message)
{
    QMessageBox box(message.icon == MessageIcon::Exclamation ? QMessageBox::Warning : QMessageBox::NoIcon,
                    qtText(message.title), qtText(message.text), QMessageBox::Ok, this);
    box.exec();
}

// The window keeps painting and answering input while it waits. Quitting the
// application (the last window closed) ends the wait at once.
void QtForm::pause(std::chrono::milliseconds duration)
{
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
    QCoreApplication::processEvents();
}

std::optional<Text> QtForm::saveFileName(const SaveFileRequest &request)
{
    // The dialog never changes the working folder; the Explorer style, long
    // names and the hidden read-only box are how Qt's dialog looks anyway.
    QFileDialog dialog(this, qtText(request.title));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    const QStringList filters = nameFilters(request.filter);
    dialog.setNameFilters(filters);
    if (request.filterIndex >= 1 && request.filterIndex <= filters.size())
        dialog.selectNameFilter(filters[request.filterIndex - 1]);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, !(request.flags & kOverwritePrompt));
    // Within one session the dialog opens where the last save went, as the
    // common dialog does; nothing of it is stored.
    if (!lastFolder_.isEmpty())
        dialog.setDirectory(lastFolder_);
    dialog.selectFile(qtText(request.fileName));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    const QString chosen = dialog.selectedFiles().constFirst();
    lastFolder_ = QFileInfo(chosen).absolutePath();
    return ownText(chosen);
}

Text QtForm::generalDateNow() const
{
    return ownText(generalDateText(QDateTime::currentDateTime(), locale()));
}

Text QtForm::decimalMark() const
{
    return ownText(locale().decimalPoint());
}

std::string QtForm::narrow(const Text &text) const
{
    return qtText(text).toLocal8Bit().toStdString();
}

std::optional<AppendFailure> QtForm::appendLines(const Text &path, std::span<const Text> lines)
{
    return posix::appendWhole(QFile::encodeName(qtText(path)).toStdString(),
                              crlfLines(lines, [this](const Text &line) { return narrow(line); }));
}

} // namespace platform::qt
