#include "FormHarness.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QSignalSpy>

#include <memory>

class TestForm1 : public QObject
{
    Q_OBJECT

    template <typename T = QWidget>
    T *find(const char *name) const
    {
        return h->find<T>(name);
    }
    QString text(const char *name) const
    {
        QWidget *control = find(name);
        return control->property(qobject_cast<QGroupBox *>(control) ? "title" : "text").toString();
    }
    void showAndActivate()
    {
        QApplication::setActiveWindow(h->form.get());
        QVERIFY(QTest::qWaitForWindowActive(h->form.get()));
    }

    std::unique_ptr<FormHarness> h;

private slots:
    void init() { h = std::make_unique<FormHarness>(); }
    // Nothing the window does on its own reaches the network or asks anything.
    void cleanup()
    {
        QCOMPARE(h->echo.starts, 0);
        QVERIFY(h->messages.isEmpty());
        QVERIFY(h->dialogs.isEmpty());
        QVERIFY(h->pauses.isEmpty());
        h.reset();
    }

    void startsInAddressField()
    {
        showAndActivate();
        QCOMPARE(QApplication::focusWidget(), find("Text1"));
        QCOMPARE(h->form->windowTitle(), QStringLiteral("Sondar"));
        const QList<QSize> iconSizes = h->form->windowIcon().availableSizes();
        QVERIFY(iconSizes.contains(QSize(16, 16)) && iconSizes.contains(QSize(32, 32)));
        QCOMPARE(h->form->minimumSize(), QSize(528, 381));
        QCOMPARE(h->form->maximumSize(), QSize(528, 381));
    }

    void initialState_data()
    {
        QTest::addColumn<QByteArray>("utf8");
        QTest::addColumn<bool>("enabled");
        // The Japanese captions are spelled as bytes, so that a mangled source
        // encoding cannot make both sides agree.
        const std::tuple<const char *, const char *, bool> rows[] = {
            {"Frame1", "Ping", true}, {"Label6", "\xE8\xA9\xA6\xE9\xA8\x93\xE5\xA0\xB4\xE6\x89\x80", true},
            {"Label8", "\xE8\xA9\xA6\xE9\xA8\x93\xE7\xAE\x87\xE6\x89\x80", true},
            {"Label1", "IP \xE3\x82\xA2\xE3\x83\x89\xE3\x83\xAC\xE3\x82\xB9", true},
            {"Label4", "Packets", true}, {"Label5", "Chars/Pkt", true}, {"Label2", "Minimum =", true},
            {"Label3", "Maximum =", true}, {"Label7", "Average =", true}, {"Command1", "Ping Start", true},
            {"Command2", "SaveData", false}, {"Command3", "DataClear", true}, {"Text1", "", true},
            {"Text2", "32", true}, {"Text3", "5", true}, {"Text5", "", false}, {"Text6", "", false},
            {"Text7", "", false}, {"Text8", "", true}, {"Text9", "", true}};
        for (const auto &[name, utf8, enabled] : rows)
            QTest::newRow(name) << QByteArray(utf8) << enabled;
    }
    void initialState()
    {
        QFETCH(QByteArray, utf8);
        QFETCH(bool, enabled);
        const char *name = QTest::currentDataTag();
        QCOMPARE(text(name).toUtf8(), utf8);
        QCOMPARE(find(name)->isEnabled(), enabled);
    }

    void geometry_data()
    {
        QTest::addColumn<QRect>("pixels");
        QTest::newRow("Frame1") << QRect(3, 0, 521, 377);
        QTest::newRow("Text1") << QRect(152, 108, 105, 25);
        QTest::newRow("Text3") << QRect(216, 149, 49, 19);
        QTest::newRow("Command1") << QRect(304, 104, 81, 33);
        QTest::newRow("List1") << QRect(64, 176, 409, 148);
        QTest::newRow("Text7") << QRect(416, 343, 57, 19);
    }
    void geometry()
    {
        QFETCH(QRect, pixels);
        QCOMPARE(find(QTest::currentDataTag())->geometry(), pixels);
    }

    // Tab visits the enabled controls in their order and wraps round; a
    // disabled "SaveData" keeps its place for when a run enables it.
    void tabOrder()
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
        find("Command2")->setEnabled(true);
        QCOMPARE(visit(6), QStringList({"Command1", "Text3", "Text2", "List1", "Command2", "Command3"}));
    }

    void fontsColoursAndFit()
    {
        // The frame's 12-point caption font must not reach the buttons and list.
        for (const char *name : {"Command1", "Command2", "Command3", "List1"})
            QCOMPARE(find(name)->font().pointSizeF(), QApplication::font().pointSizeF());
        const QString face = QStringLiteral("ＭＳ Ｐゴシック");
        for (const auto &[name, points] : {std::pair{"Frame1", 12.0}, {"Label1", 12.0}, {"Label8", 12.0},
                                           {"Label4", 9.75}, {"Text1", 9.75}, {"Text7", 9.75}}) {
            QCOMPARE(find(name)->font().families().value(0), face);
            QCOMPARE(find(name)->font().pointSizeF(), points);
        }
        const QStringList installed = QFontDatabase::families();
        if (!installed.contains(face) && installed.contains(QStringLiteral("IPAPGothic")))
            QCOMPARE(QFontInfo(find("Label1")->font()).family(), QStringLiteral("IPAPGothic"));

        // Whatever face stands in, every caption shows whole, on light blue,
        // and ends before its field begins.
        const QColor lightBlue(192, 192, 255);
        QCOMPARE(h->form->palette().color(QPalette::Window), lightBlue);
        for (QLabel *label : h->form->findChildren<QLabel *>()) {
            const QSize needed = label->sizeHint();
            QVERIFY2(label->width() >= needed.width() && label->height() >= needed.height(),
                     qPrintable(label->objectName()));
            QVERIFY2(label->x() + needed.width() <= label->buddy()->x(), qPrintable(label->objectName()));
            QCOMPARE(label->palette().color(label->backgroundRole()), lightBlue);
        }

        QVERIFY(!find("Text1")->testAttribute(Qt::WA_InputMethodEnabled));
        QVERIFY(find("Text1")->inputMethodHints().testFlag(Qt::ImhLatinOnly));
        QVERIFY(find("Text8")->testAttribute(Qt::WA_InputMethodEnabled));
        QCOMPARE(find<QListWidget>("List1")->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    }

    void dataClear_data()
    {
        QTest::addColumn<bool>("afterRun");
        QTest::newRow("empty window") << false;
        QTest::newRow("after a run") << true;
    }
    void dataClear()
    {
        QFETCH(bool, afterRun);
        const std::pair<const char *, QString> kept[] = {{"Text1", afterRun ? "127.0.0.1" : ""},
                                                         {"Text3", afterRun ? "3" : "5"},
                                                         {"Text2", afterRun ? "64" : "32"},
                                                         {"Text8", afterRun ? "本社" : ""},
                                                         {"Text9", afterRun ? "2F" : ""}};
        auto *list = find<QListWidget>("List1");
        if (afterRun) {
            for (const auto &[name, value] : kept)
                find<QLineEdit>(name)->setText(value);
            list->addItems({"Reply from 127.0.0.1 : Bytes = 64 Time = 0 ms  TTL = 64", "Request timed out"});
            for (const char *name : {"Text5", "Text6", "Text7"})
                find<QLineEdit>(name)->setText("6.66666666666667");
            QCOMPARE(find<QLineEdit>("Text7")->cursorPosition(), 0); // a long average shows its start
            find("Command2")->setEnabled(true);
        }

        QTest::mouseClick(find("Command3"), Qt::LeftButton);

        QCOMPARE(list->count(), 0);
        for (const char *name : {"Text5", "Text6", "Text7"})
            QCOMPARE(text(name), QString());
        QVERIFY(!find("Command2")->isEnabled());
        for (const auto &[name, value] : kept)
            QCOMPARE(text(name), value);
    }

    void enterMovesFocusThenPresses_data()
    {
        QTest::addColumn<Qt::Key>("key");
        QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
        QTest::newRow("Return") << Qt::Key_Return << Qt::KeyboardModifiers();
        QTest::newRow("keypad Enter") << Qt::Key_Enter << Qt::KeyboardModifiers(Qt::KeypadModifier);
    }
    void enterMovesFocusThenPresses()
    {
        QFETCH(Qt::Key, key);
        QFETCH(Qt::KeyboardModifiers, modifiers);
        showAndActivate();
        auto *address = find<QLineEdit>("Text1");
        // Only the key handling is looked at here; the run has tests of its own.
        find<QPushButton>("Command1")->disconnect(h->form.get());
        QSignalSpy clicks(find<QPushButton>("Command1"), &QPushButton::clicked);
        QTest::keyClicks(address, "127.0.0.1");

        QTest::keyClick(address, key, modifiers);
        QCOMPARE(QApplication::focusWidget(), find("Command1"));
        QCOMPARE(clicks.size(), 0);
        QCOMPARE(address->text(), QStringLiteral("127.0.0.1"));

        QTest::keyClick(QApplication::focusWidget(), key, modifiers);
        QCOMPARE(clicks.size(), 1);
    }
};

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
