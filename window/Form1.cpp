#include "Form1.h"

#include "Layout.h"

#include <QApplication>
#include <QGroupBox>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include <algorithm>
#include <limits>
#include <vector>

// The icons live in a resource file of this library; the resource system
// wants its initialiser called from outside any namespace.
static void initResources()
{
    Q_INIT_RESOURCE(sondar);
}

namespace {

using layout::Kind;

QWidget *createControl(const layout::Control &row, QWidget *parent)
{
    const QString caption = QString::fromUtf8(row.caption);
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
        text->setMaxLength(std::numeric_limits<int>::max());
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
    Q_UNREACHABLE();
}

// Every control names its font in full, so that none inherits the frame's
// 12-point caption font; the buttons and the list keep the application's.
QFont controlFont(const layout::Control &row, const QWidget *widget)
{
    if (row.pointSize > 0)
        return layout::captionFont(row.pointSize);
    QFont font = QApplication::font(widget);
    font.setResolveMask(QFont::AllPropertiesResolved);
    return font;
}

// A caption keeps its designed place where its text fits. Where the installed
// face runs wider or taller than the designed one, it grows down and to the
// right, or to the left where its field would cover the end of the text.
QRect fittedCaption(const QRect &designed, const QSize &text, int fieldLeft)
{
    QRect fitted(designed.topLeft(), designed.size().expandedTo(text));
    if (fitted.width() > designed.width() && fitted.right() >= fieldLeft)
        fitted.moveRight(fieldLeft - 1);
    return fitted;
}

bool takesFocus(Kind kind)
{
    return kind == Kind::TextBox || kind == Kind::ListBox || kind == Kind::Button;
}

} // namespace

Form1::Form1(Module1::EchoService &echo, platform::Services services, QWidget *parent)
    : QWidget(parent), echo_(echo), services_(std::move(services))
{
    initResources();
    setWindowTitle(platform::kApplicationTitle);
    setFixedSize(layout::pixels(layout::kClientWidth), layout::pixels(layout::kClientHeight));

    // The frame and the labels are transparent and show the window's colour.
    QPalette lightBlue = palette();
    lightBlue.setColor(QPalette::Window, QColor(192, 192, 255));
    setPalette(lightBlue);

    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/sondar-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/icons/sondar-32.png"), QSize(32, 32));
    setWindowIcon(icon);

    createControls();

    Frame1 = control<QGroupBox>("Frame1");
    Text1 = control<QLineEdit>("Text1");
    Text2 = control<QLineEdit>("Text2");
    Text3 = control<QLineEdit>("Text3");
    Text5 = control<QLineEdit>("Text5");
    Text6 = control<QLineEdit>("Text6");
    Text7 = control<QLineEdit>("Text7");
    Text8 = control<QLineEdit>("Text8");
    Text9 = control<QLineEdit>("Text9");
    List1 = control<QListWidget>("List1");
    Command1 = control<QPushButton>("Command1");
    Command2 = control<QPushButton>("Command2");
    Command3 = control<QPushButton>("Command3");
    Label1 = control<QLabel>("Label1");
    Label2 = control<QLabel>("Label2");
    Label3 = control<QLabel>("Label3");
    Label4 = control<QLabel>("Label4");
    Label5 = control<QLabel>("Label5");
    Label6 = control<QLabel>("Label6");
    Label7 = control<QLabel>("Label7");
    Label8 = control<QLabel>("Label8");

    // Saving needs a finished run. The time fields are only ever written by
    // one, and show the start of what it writes, not the end of a long average.
    Command2->setEnabled(false);
    for (QLineEdit *field : {Text5, Text6, Text7}) {
        field->setEnabled(false);
        connect(field, &QLineEdit::textChanged, field, [field] { field->setCursorPosition(0); });
    }

    // An address is plain digits and dots: no input method in that field.
    Text1->setAttribute(Qt::WA_InputMethodEnabled, false);
    Text1->setInputMethodHints(Qt::ImhLatinOnly | Qt::ImhPreferNumbers | Qt::ImhNoPredictiveText);
    // A site name is typed in Japanese. Qt cannot pick the input method's
    // conversion mode; the field accepts it with no Latin-only restriction and
    // the input method opens in its own default (kana) mode.
    Text8->setAttribute(Qt::WA_InputMethodEnabled, true);

    Text1->installEventFilter(this);
    connect(Command1, &QPushButton::clicked, this, &Form1::RunPings);
    connect(Command2, &QPushButton::clicked, this, &Form1::SaveReport);
    connect(Command3, &QPushButton::clicked, this, &Form1::ClearResults);

    // First in the focus order; takes the focus once the window is active.
    Text1->setFocus(Qt::OtherFocusReason);
}

void Form1::createControls()
{
    QWidget *frame = nullptr;
    for (const layout::Control &row : layout::controls()) {
        QWidget *widget = createControl(row, row.kind == Kind::Frame ? this : frame);
        if (row.kind == Kind::Frame)
            frame = widget;
        widget->setObjectName(QString::fromLatin1(row.name));
        widget->setFont(controlFont(row, widget));
        widget->setGeometry(layout::pixelRect(row));
    }

    std::vector<const layout::Control *> focusOrder;
    for (const layout::Control &row : layout::controls()) {
        if (row.buddy) {
            auto *label = control<QLabel>(row.name);
            QWidget *field = control<QWidget>(row.buddy);
            label->setBuddy(field);
            label->setGeometry(fittedCaption(label->geometry(), label->sizeHint(), field->x()));
        }
        if (takesFocus(row.kind))
            focusOrder.push_back(&row);
    }
    std::ranges::sort(focusOrder, {}, &layout::Control::tab);
    for (std::size_t i = 1; i < focusOrder.size(); ++i)
        setTabOrder(control<QWidget>(focusOrder[i - 1]->name), control<QWidget>(focusOrder[i]->name));
}

template <typename T>
T *Form1::control(const char *name) const
{
    T *widget = findChild<T *>(QString::fromLatin1(name));
    Q_ASSERT(widget);
    return widget;
}

void Form1::ClearResults()
{
    List1->clear();
    Text5->clear();
    Text6->clear();
    Text7->clear();
    Command2->setEnabled(false);
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Text1 && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        // Enter hands the focus to "Ping Start" without pressing it; the key
        // itself still goes on to the field.
        if (key == Qt::Key_Return || key == Qt::Key_Enter)
            Command1->setFocus(Qt::OtherFocusReason);
    }
    return QWidget::eventFilter(watched, event);
}

void Form1::closeEvent(QCloseEvent *event)
{
    closing_ = true;
    QWidget::closeEvent(event);
}
