#include "platform/qt/QtForm.h"

#include "os/posix/AppendFile.h"
#include "platform/qt/Controls.h"
#include "platform/qt/GeneralDate.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
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
#include <utility>
#include <vector>

// The icons live in a resource file of this library; the resource system
// wants its initialiser called from outside any namespace.
static void initResources()
{
    Q_INIT_RESOURCE(sondar);
}

namespace platform::qt {
namespace {

QString qtText(const Text &text)
{
    return QString::fromStdU16String(text);
}

Text ownText(const QString &text)
{
    return text.toStdU16String();
}

QSize designedSize()
{
    return QSize(window::pixels(window::kClientWidth), window::pixels(window::kClientHeight));
}

// The states in which the window would be larger than its designed size.
constexpr Qt::WindowStates kLargerThanNormal = Qt::WindowMaximized | Qt::WindowFullScreen;

// A Wayland compositor is told no size limits (see QtForm::takeDesignedSize).
bool onWayland()
{
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

QColor colour(window::Rgb rgb)
{
    return QColor(rgb.red, rgb.green, rgb.blue);
}

// The window tells assistive technology that it is a window, not a filler.
QAccessibleInterface *formAccessible(const QString &className, QObject *object)
{
    if (className == QLatin1String(QtForm::staticMetaObject.className()) && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::Window);
    return nullptr;
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
    setUpWindow();
    createControls();
    linkCaptions();
    setFocusOrder();
    connectEvents();
}

// The window's title, size, colours and icon, and what assistive technology
// is told it is.
void QtForm::setUpWindow()
{
    initResources();
    static const bool accessibleAsWindow = (QAccessible::installFactory(formAccessible), true);
    Q_UNUSED(accessibleAsWindow);
    setWindowTitle(qtText(kApplicationTitle));
    takeDesignedSize();

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
}

// One widget per row of the layout table; the frame holds all the others.
void QtForm::createControls()
{
    for (const window::ControlRow &row : window::kLayout)
        widgets_[row.id] = createControl(row, row.kind == window::Kind::Frame ? this : widgets_[window::Frame1]);
    widgets_[window::List1]->setAccessibleName(QString::fromUtf16(window::kResultsName));
    for (const window::Control id : window::kTimeFields)
        showWholeTextAsToolTip(widget<QLineEdit>(id));
}

void QtForm::linkCaptions()
{
    for (const window::ControlRow &row : window::kLayout) {
        if (row.buddy)
            linkCaption(widget<QLabel>(row.id), widgets_[*row.buddy]);
    }
}

// Tab visits the controls that take the focus in the table's order; the
// first of them has the focus once the window is active.
void QtForm::setFocusOrder()
{
    const auto &order = window::kFocusOrder;
    for (std::size_t i = 1; i < order.size(); ++i)
        setTabOrder(widgets_[order[i - 1]], widgets_[order[i]]);
    widget(order.front())->setFocus(Qt::OtherFocusReason);
}

// The buttons' clicks and the address field's keys go to the window's logic.
void QtForm::connectEvents()
{
    widget(window::Text1)->installEventFilter(this);
    for (const window::Control id : {window::Command1, window::Command2, window::Command3}) {
        connect(widget<QPushButton>(id), &QPushButton::clicked, this, [this, id] {
            if (events_)
                events_->Click(id);
        });
    }
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
    if (event->type() == QEvent::WindowStateChange && watched == windowHandle())
        followReportedState(windowHandle()->windowStates());
    if (event->type() == QEvent::Expose && watched == windowHandle() && geometryUntold_ && windowHandle()->isExposed())
        tellGeometry();
    if (event->type() == QEvent::KeyPress && events_) {
        const auto *key = static_cast<QKeyEvent *>(event);
        const auto found = std::ranges::find(widgets_, watched);
        if (found != widgets_.end() && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter))
            events_->KeyPress(ControlIndex(found - widgets_.begin()), 13);
    }
    return QWidget::eventFilter(watched, event);
}

// The window keeps its designed size on every desktop. Where the window
// system takes size limits as the last word (X11's window managers), it is
// told that the window is of one fixed size; maximized or put to full screen
// all the same, the window returns to its normal state and its fixed size.
// A Wayland compositor may maximize a window whatever its limits say (weston's
// Super+Shift+M, a compositor's own maximize), and a maximized window must
// then fill exactly the size it is given: another size is a protocol error
// that ends the program. Qt 6.4 holds a window within its limits as it takes
// the compositor's size, before it tells the window of the new state, so on
// Wayland the window has no limits at all. Maximized or full screen, it takes
// the size it is given, its controls keep their designed places and the rest
// shows the window's light blue, and it asks to return to its normal state.
// In every other state (normal, tiled, resized by the user) a Wayland window
// may choose its own size, and it takes its designed size again.
void QtForm::takeDesignedSize()
{
    if (onWayland())
        resize(designedSize());
    else
        setFixedSize(designedSize());
}

void QtForm::showEvent(QShowEvent *event)
{
    // The window system's reports reach the window as state-change events;
    // the window's own requests only change its state.
    windowHandle()->installEventFilter(this);
    QWidget::showEvent(event);
}

void QtForm::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    if (!onWayland())
        return;
    if (!(reportedStates_ & kLargerThanNormal) && size() != designedSize())
        resize(designedSize());
    if (!windowHandle()->isExposed())
        geometryUntold_ = true;
}

// Qt 6.4 tells a Wayland compositor the window's geometry only while it counts
// the window as shown, and it counts it as hidden while the compositor is late
// to answer a frame (mutter, for a moment, as the window leaves full screen).
// A size taken in that moment stays untold, and the compositor goes on with
// the size before. Shown again, the window tells it: its geometry changes
// twice, the second time back to what it is.
void QtForm::tellGeometry()
{
    geometryUntold_ = false;
    QWindow *window = windowHandle();
    const QRect geometry = window->geometry();
    window->setGeometry(geometry.adjusted(0, 0, 0, 1));
    window->setGeometry(geometry);
}

// The window asks to return to its normal state once each time the window
// system makes it larger; a compositor that answers with the larger state
// again (weston's kiosk shell shows every window full screen) has its way,
// rather than the two asking each other without end.
void QtForm::followReportedState(Qt::WindowStates states)
{
    const Qt::WindowStates before = std::exchange(reportedStates_, states);
    if (!(states & kLargerThanNormal)) {
        takeDesignedSize();
    } else if (!(before & kLargerThanNormal)) {
        // The request is posted, so that it goes out after the window has
        // drawn itself at the size of the reported state: weston finds
        // nothing to undo in a return asked for before that drawing, and
        // keeps the window maximized.
        QMetaObject::invokeMethod(this, [this] {
            windowHandle()->setWindowStates(windowHandle()->windowStates() & ~kLargerThanNormal);
        }, Qt::QueuedConnection);
    }
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
    return os::posix::appendWhole(QFile::encodeName(qtText(path)).toStdString(),
                              crlfLines(lines, [this](const Text &line) { return narrow(line); }));
}

} // namespace platform::qt
