#include "Form1.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

// Nothing in the window's own set-up may reach the network.
class NoNetwork final : public Module1::EchoService
{
public:
    bool StartSockets() override { return fail("StartSockets"), false; }
    Module1::ProbeStatus SendEcho(const std::string &, const std::string &, Module1::EchoReply &) override
    {
        return fail("SendEcho"), -1;
    }
    void StopSockets() override { fail("StopSockets"); }

private:
    static void fail(const char *what)
    {
        QTest::qFail(qPrintable(QStringLiteral("unexpected call of %1").arg(QLatin1String(what))), __FILE__,
                     __LINE__);
    }
};

const QColor kLightBlue(192, 192, 255);

} // namespace

class TestForm1 : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void focusStartsInAddressField();
    void initialState_data();
    void initialState();
    void geometry_data();
    void geometry();
    void tabOrder();
    void fontsAndColours();
    void inputMethod();
    void dataClear_data();
    void dataClear();
    void enterMovesFocusThenPresses_data();
    void enterMovesFocusThenPresses();
    void listKeepsItsView();

private:
    template <typename T>
    T *find(const QString &name) const
    {
        T *widget = form->findChild<T *>(name);
        if (!widget)
            qFatal("no control %s", qPrintable(name));
        return widget;
    }
    QString text(const QString &name) const;
    void showAndActivate();

    NoNetwork echo;
    QList<platform::Message> messages;
    int dialogs = 0;
    int pauses = 0;
    std::unique_ptr<Form1> form;
};

void TestForm1::init()
{
    messages.clear();
    dialogs = pauses = 0;
    platform::Services services{
        [this](const platform::Message &message) { messages.append(message); },
        [this](const platform::SaveFileRequest &) -> std::optional<QString> { ++dialogs; return std::nullopt; },
        [this](std::chrono::milliseconds) { ++pauses; },
        [] { return QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5)); }};
    form = std::make_unique<Form1>(echo, services);
}

void TestForm1::cleanup()
{
    form.reset();
    QCOMPARE(messages.size(), 0);
    QCOMPARE(dialogs, 0);
    QCOMPARE(pauses, 0);
}

QString TestForm1::text(const QString &name) const
{
    QObject *control = form->findChild<QObject *>(name);
    if (auto *line = qobject_cast<QLineEdit *>(control))
        return line->text();
    if (auto *label = qobject_cast<QLabel *>(control))
        return label->text();
    if (auto *button = qobject_cast<QPushButton *>(control))
        return button->text();
    if (auto *frame = qobject_cast<QGroupBox *>(control))
        return frame->title();
    qFatal("no control with a text: %s", qPrintable(name));
}

void TestForm1::showAndActivate()
{
    form->show();
    QApplication::setActiveWindow(form.get());
    QVERIFY(QTest::qWaitForWindowActive(form.get()));
}

void TestForm1::focusStartsInAddressField()
{
    showAndActivate();
    QCOMPARE(QApplication::focusWidget(), find<QLineEdit>("Text1"));
    QCOMPARE(form->windowTitle(), QStringLiteral("Sondar"));
    const QList<QSize> iconSizes = form->windowIcon().availableSizes();
    QVERIFY(iconSizes.contains(QSize(16, 16)) && iconSizes.contains(QSize(32, 32)));
}

void TestForm1::initialState_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("utf8");
    QTest::addColumn<bool>("enabled");
    // The Japanese captions are spelled as bytes so that a mangled source
    // encoding cannot make both sides agree.
    const struct { const char *name; QByteArray utf8; bool enabled; } rows[] = {
        {"Frame1", "Ping", true},
        {"Label6", "\xE8\xA9\xA6\xE9\xA8\x93\xE5\xA0\xB4\xE6\x89\x80", true},
        {"Label8", "\xE8\xA9\xA6\xE9\xA8\x93\xE7\xAE\x87\xE6\x89\x80", true},
        {"Label1", "IP \xE3\x82\xA2\xE3\x83\x89\xE3\x83\xAC\xE3\x82\xB9", true},
        {"Label4", "Packets", true},
        {"Label5", "Chars/Pkt", true},
        {"Label2", "Minimum =", true},
        {"Label3", "Maximum =", true},
        {"Label7", "Average =", true},
        {"Command1", "Ping Start", true},
        {"Command2", "SaveData", false},
        {"Command3", "DataClear", true},
        {"Text1", "", true},
        {"Text2", "32", true},
        {"Text3", "5", true},
        {"Text5", "", false},
        {"Text6", "", false},
        {"Text7", "", false},
        {"Text8", "", true},
        {"Text9", "", true},
    };
    for (const auto &row : rows)
        QTest::newRow(row.name) << QString::fromLatin1(row.name) << row.utf8 << row.enabled;
}

void TestForm1::initialState()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, utf8);
    QFETCH(bool, enabled);
    QCOMPARE(text(name).toUtf8(), utf8);
    QCOMPARE(find<QWidget>(name)->isEnabled(), enabled);
}

void TestForm1::geometry_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("pixels");
    QTest::newRow("Frame1") << "Frame1" << QRect(3, 0, 521, 377);
    QTest::newRow("Text1") << "Text1" << QRect(152, 108, 105, 25);
    QTest::newRow("Text3") << "Text3" << QRect(216, 149, 49, 19);
    QTest::newRow("Command1") << "Command1" << QRect(304, 104, 81, 33);
    QTest::newRow("List1") << "List1" << QRect(64, 176, 409, 148);
    QTest::newRow("Text7") << "Text7" << QRect(416, 343, 57, 19);
}

void TestForm1::geometry()
{
    QFETCH(QString, name);
    QFETCH(QRect, pixels);
    QCOMPARE(find<QWidget>(name)->geometry(), pixels);
    QCOMPARE(form->minimumSize(), QSize(528, 381));
    QCOMPARE(form->maximumSize(), QSize(528, 381));
}

// Tab visits the enabled controls in their order and wraps round; a disabled
// "SaveData" keeps its place for when a run enables it.
void TestForm1::tabOrder()
{
    showAndActivate();
    auto visit = [](int steps) {
        QStringList names;
        for (int i = 0; i < steps; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            names << QApplication::focusWidget()->objectName();
        }
        return names;
    };
    QCOMPARE(visit(8), QStringList({"Command1", "Text3", "Text2", "List1", "Command3", "Text8", "Text9", "Text1"}));

    find<QPushButton>("Command2")->setEnabled(true);
    QCOMPARE(visit(6), QStringList({"Command1", "Text3", "Text2", "List1", "Command2", "Command3"}));
}

void TestForm1::fontsAndColours()
{
    const QFont platformFont = QApplication::font();
    for (const char *name : {"Command1", "Command2", "Command3", "List1"})
        QCOMPARE(find<QWidget>(name)->font().pointSizeF(), platformFont.pointSizeF());

    const QString face = QStringLiteral("ＭＳ Ｐゴシック");
    const QList<QPair<const char *, qreal>> captioned = {
        {"Frame1", 12}, {"Label1", 12}, {"Label6", 12}, {"Label8", 12}, {"Label2", 9.75}, {"Label4", 9.75},
        {"Text1", 9.75}, {"Text5", 9.75}, {"Text8", 9.75}};
    for (const auto &[name, points] : captioned) {
        const QFont font = find<QWidget>(name)->font();
        QCOMPARE(font.families().value(0), face);
        QCOMPARE(font.pointSizeF(), points);
    }

    // Whatever face stands in, no caption is cut off.
    for (QLabel *label : form->findChildren<QLabel *>()) {
        QVERIFY2(label->width() >= label->sizeHint().width(), qPrintable(label->objectName()));
        QVERIFY2(label->height() >= label->sizeHint().height(), qPrintable(label->objectName()));
        QVERIFY2(label->x() + label->sizeHint().width() <= label->buddy()->x(), qPrintable(label->objectName()));
        QCOMPARE(label->palette().color(label->backgroundRole()), kLightBlue);
    }
    QCOMPARE(form->palette().color(QPalette::Window), kLightBlue);
    QCOMPARE(find<QWidget>("Frame1")->palette().color(QPalette::Window), kLightBlue);

    // Without the Windows face, a proportional Japanese gothic stands in
    // rather than fontconfig's default Latin face.
    const QStringList installed = QFontDatabase::families();
    if (!installed.contains(face) && installed.contains(QStringLiteral("IPAPGothic")))
        QCOMPARE(QFontInfo(find<QWidget>("Label1")->font()).family(), QStringLiteral("IPAPGothic"));
}

void TestForm1::inputMethod()
{
    auto *address = find<QLineEdit>("Text1");
    QVERIFY(!address->testAttribute(Qt::WA_InputMethodEnabled));
    QVERIFY(address->inputMethodHints().testFlag(Qt::ImhLatinOnly));
    auto *site = find<QLineEdit>("Text8");
    QVERIFY(site->testAttribute(Qt::WA_InputMethodEnabled));
    QVERIFY(!site->inputMethodHints().testFlag(Qt::ImhLatinOnly));
}

void TestForm1::dataClear_data()
{
    QTest::addColumn<bool>("withResults");
    QTest::newRow("empty window") << false;
    QTest::newRow("after a run") << true;
}

void TestForm1::dataClear()
{
    QFETCH(bool, withResults);
    const QList<std::pair<QString, QString>> kept = {
        {"Text1", withResults ? "127.0.0.1" : ""}, {"Text3", withResults ? "3" : "5"},
        {"Text2", withResults ? "64" : "32"},      {"Text8", withResults ? "本社" : ""},
        {"Text9", withResults ? "2F" : ""}};
    auto *list = find<QListWidget>("List1");
    auto *save = find<QPushButton>("Command2");
    if (withResults) {
        for (const auto &[name, value] : kept)
            find<QLineEdit>(name)->setText(value);
        list->addItems({"Reply from 127.0.0.1 : Bytes = 64 Time = 0 ms  TTL = 64", "Request timed out"});
        for (const char *name : {"Text5", "Text6", "Text7"})
            find<QLineEdit>(name)->setText("1");
        save->setEnabled(true);
    }

    QTest::mouseClick(find<QPushButton>("Command3"), Qt::LeftButton);

    QCOMPARE(list->count(), 0);
    for (const char *name : {"Text5", "Text6", "Text7"}) {
        QCOMPARE(text(name), QString());
        QVERIFY(!find<QWidget>(name)->isEnabled());
    }
    QVERIFY(!save->isEnabled());
    for (const auto &[name, value] : kept)
        QCOMPARE(text(name), value);
}

void TestForm1::enterMovesFocusThenPresses_data()
{
    QTest::addColumn<Qt::Key>("key");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::newRow("Return") << Qt::Key_Return << Qt::KeyboardModifiers();
    QTest::newRow("keypad Enter") << Qt::Key_Enter << Qt::KeyboardModifiers(Qt::KeypadModifier);
}

void TestForm1::enterMovesFocusThenPresses()
{
    QFETCH(Qt::Key, key);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    showAndActivate();
    auto *address = find<QLineEdit>("Text1");
    auto *start = find<QPushButton>("Command1");
    QSignalSpy clicks(start, &QPushButton::clicked);
    QTest::keyClicks(address, "127.0.0.1");

    QTest::keyClick(address, key, modifiers);
    QCOMPARE(QApplication::focusWidget(), start);
    QCOMPARE(clicks.size(), 0);
    QCOMPARE(address->text(), QStringLiteral("127.0.0.1"));

    QTest::keyClick(start, key, modifiers);
    QCOMPARE(clicks.size(), 1);

    // Other keys stay with the field.
    address->setFocus();
    QTest::keyClick(address, Qt::Key_Space);
    QCOMPARE(QApplication::focusWidget(), address);
}

void TestForm1::listKeepsItsView()
{
    showAndActivate();
    auto *list = find<QListWidget>("List1");
    QCOMPARE(list->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QVERIFY(!list->isSortingEnabled());
    for (int i = 20; i > 0; --i)
        list->addItem(QStringLiteral("Reply %1").arg(i));
    QApplication::processEvents();
    QVERIFY(list->verticalScrollBar()->isVisible());
    QCOMPARE(list->verticalScrollBar()->value(), 0);
    QCOMPARE(list->item(0)->text(), QStringLiteral("Reply 20"));
}

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
