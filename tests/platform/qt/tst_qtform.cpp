// What the Qt layer adds to the window's logic: the window built from the
// layout table, the keys and clicks it reports, and the runtime operations
// on real widgets, boxes and dialogs.
#include "ChooseFile.h"
#include "FormHarness.h"
#include "platform/qt/GeneralDate.h"
#include "platform/qt/QtForm.h"
#include "platform/qt/Translations.h"
#include "window/Form1.h"
#include "layout/Layout.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <cmath>
#include <memory>

using namespace window;
using platform::qt::QtForm;

namespace {

// The logic over the layer, as main() joins them.
struct Window {
    QtForm form;
    testsupport::ScriptedEcho echo; // every probe a 1 ms reply at once; nothing reaches the network
    Form1 logic{form, echo};
    Window()
    {
        form.setLocale(QLocale(QLocale::English, QLocale::UnitedStates));
        form.setEvents(logic);
        form.show();
    }
    template <typename T = QWidget>
    T *find(Control control) const { return form.widget<T>(control); }
    void activate()
    {
        QApplication::setActiveWindow(&form);
        QVERIFY(QTest::qWaitForWindowActive(&form));
    }
};

// Runs `action` on the next modal widget that opens, once it is shown.
void whenModalOpens(std::function<void(QWidget *)> action)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, action] {
        if (QWidget *modal = QApplication::activeModalWidget(); modal && modal->isVisible()) {
            poll->stop();
            poll->deleteLater();
            action(modal);
        }
    });
    poll->start(10);
}

// WCAG's contrast ratio of two colours, 1 to 21.
double contrast(const QColor &a, const QColor &b)
{
    const auto luminance = [](const QColor &c) {
        const auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QString caption(QWidget *control)
{
    return control->property(qobject_cast<QGroupBox *>(control) ? "title" : "text").toString();
}

} // namespace

class TestQtForm : public QObject {
    Q_OBJECT

private slots:
    void buildsTheTable()
    {
        Window w;
        w.activate();
        QCOMPARE(QApplication::focusWidget(), w.find(Text1));
        QCOMPARE(w.form.windowTitle(), QStringLiteral("Sondar"));
        const QList<QSize> iconSizes = w.form.windowIcon().availableSizes();
        QVERIFY(iconSizes.contains(QSize(16, 16)) && iconSizes.contains(QSize(32, 32)));
        QCOMPARE(w.form.minimumSize(), QSize(528, 381));
        QCOMPARE(w.form.maximumSize(), QSize(528, 381));

        // Captions spelled as bytes, so that a mangled source encoding
        // cannot make both sides agree; and the start state of each control.
        const std::tuple<Control, const char *, bool> rows[] = {
            {Frame1, "Ping", true}, {Label6, "\xE8\xA9\xA6\xE9\xA8\x93\xE5\xA0\xB4\xE6\x89\x80", true},
            {Label8, "\xE8\xA9\xA6\xE9\xA8\x93\xE7\xAE\x87\xE6\x89\x80", true},
            {Label1, "IP \xE3\x82\xA2\xE3\x83\x89\xE3\x83\xAC\xE3\x82\xB9", true}, {Label4, "Packets", true},
            {Label5, "Chars/Pkt", true}, {Label2, "Minimum =", true}, {Label3, "Maximum =", true},
            {Label7, "Average =", true}, {Command1, "Ping Start", true}, {Command2, "SaveData", false},
            {Command3, "DataClear", true}, {Text1, "", true}, {Text2, "32", true}, {Text3, "5", true},
            {Text5, "", false}, {Text6, "", false}, {Text7, "", false}, {Text8, "", true}, {Text9, "", true}};
        for (const auto &[control, utf8, enabled] : rows) {
            QCOMPARE(caption(w.find(control)).toUtf8(), QByteArray(utf8));
            QCOMPARE(w.find(control)->isEnabled(), enabled);
            QCOMPARE(w.find(control)->objectName(), QString::fromLatin1(kLayout[control].name));
        }

        const std::pair<Control, QRect> pixels[] = {{Frame1, {3, 0, 521, 377}},   {Text1, {152, 108, 105, 25}},
                                                    {Text3, {216, 149, 49, 19}},   {Command1, {304, 104, 81, 33}},
                                                    {List1, {64, 176, 409, 148}}, {Text7, {416, 343, 57, 19}}};
        for (const auto &[control, rect] : pixels)
            QCOMPARE(w.find(control)->geometry(), rect);
    }

    // The window keeps its designed size: maximized or put to full screen all
    // the same, as a window manager or a title bar may ask, it returns to its
    // normal state and to its fixed size.
    void keepsItsSize()
    {
        Window w;
        QVERIFY(QTest::qWaitForWindowExposed(&w.form));
        QWindow *window = w.form.windowHandle();
        for (const Qt::WindowState state : {Qt::WindowMaximized, Qt::WindowFullScreen}) {
            window->setWindowStates(state);
            QTRY_COMPARE(window->windowStates(), Qt::WindowNoState);
            QTRY_COMPARE(w.form.minimumSize(), QSize(528, 381));
            QCOMPARE(w.form.maximumSize(), QSize(528, 381));
            QTRY_COMPARE(w.form.size(), QSize(528, 381));
            QCOMPARE(w.form.windowState(), Qt::WindowNoState);
        }
    }

    // Tab visits the enabled controls in their order and wraps round; a
    // disabled "SaveData" keeps its place for when a run enables it.
    void tabOrder()
    {
        Window w;
        w.activate();
        auto visit = [](int steps) {
            QStringList names;
            for (int i = 0; i < steps; ++i) {
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
                names << QApplication::focusWidget()->objectName();
            }
            return names;
        };
        QCOMPARE(visit(8), QStringList({"Command1", "Text3", "Text2", "List1", "Command3", "Text8", "Text9", "Text1"}));
        w.form.setEnabled(Command2, true);
        QCOMPARE(visit(6), QStringList({"Command1", "Text3", "Text2", "List1", "Command2", "Command3"}));
    }

    void fontsColoursAndInputMethods()
    {
        Window w;
        // The frame's 12-point caption font must not reach the buttons and list.
        for (Control control : {Command1, Command2, Command3, List1})
            QCOMPARE(w.find(control)->font().pointSizeF(), QApplication::font().pointSizeF());
        const QString face = QStringLiteral("ＭＳ Ｐゴシック");
        for (const auto &[control, points] : {std::pair{Frame1, 12.0}, {Label1, 12.0}, {Label8, 12.0},
                                              {Label4, 9.75}, {Text1, 9.75}, {Text7, 9.75}}) {
            QCOMPARE(w.find(control)->font().families().value(0), face);
            QCOMPARE(w.find(control)->font().pointSizeF(), points);
        }
        const QStringList installed = QFontDatabase::families();
        if (!installed.contains(face) && installed.contains(QStringLiteral("IPAPGothic")))
            QCOMPARE(QFontInfo(w.find(Label1)->font()).family(), QStringLiteral("IPAPGothic"));

        // Whatever face stands in, every caption shows whole, on light blue,
        // and ends before its field begins.
        const QColor lightBlue(192, 192, 255);
        QCOMPARE(w.form.palette().color(QPalette::Window), lightBlue);
        for (QLabel *label : w.form.findChildren<QLabel *>()) {
            const QSize needed = label->sizeHint();
            QVERIFY2(label->width() >= needed.width() && label->height() >= needed.height(),
                     qPrintable(label->objectName()));
            QVERIFY2(label->x() + needed.width() <= label->buddy()->x(), qPrintable(label->objectName()));
            QCOMPARE(label->palette().color(label->backgroundRole()), lightBlue);
        }

        QVERIFY(!w.find(Text1)->testAttribute(Qt::WA_InputMethodEnabled));
        QVERIFY(w.find(Text1)->inputMethodHints().testFlag(Qt::ImhLatinOnly));
        QVERIFY(w.find(Text8)->testAttribute(Qt::WA_InputMethodEnabled));
        QCOMPARE(w.find<QListWidget>(List1)->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    }

    // The keypad's Enter is Enter too: in the address field it hands the focus
    // to "Ping Start" without pressing it; a second one presses the button.
    void keypadEnterIsEnter()
    {
        Window w;
        w.activate();
        w.form.setText(Text3, u"1");
        auto *address = w.find<QLineEdit>(Text1);
        QTest::keyClicks(address, "127.0.0.1");
        QTest::keyClick(address, Qt::Key_Enter, Qt::KeypadModifier);
        QCOMPARE(QApplication::focusWidget(), w.find(Command1));
        QCOMPARE(w.echo.addresses.size(), 0u);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Enter, Qt::KeypadModifier);
        QCOMPARE(w.echo.addresses.size(), 1u);
    }

    void followsTheLocale()
    {
        const QDate day(2026, 12, 7);
        const std::tuple<const char *, QTime, const char *> rows[] = {
            {"en_US", QTime(9, 5, 3), "12/7/2026 9:05:03 AM"}, {"en_US", QTime(21, 0, 0), "12/7/2026 9:00:00 PM"},
            {"en_US", QTime(0, 0, 0), "12/7/2026"}, // midnight: the date alone
            {"en_US", QTime(0, 0, 1), "12/7/2026 12:00:01 AM"},
            {"ja_JP", QTime(9, 5, 3), "2026/12/07 9:05:03"}, {"de_DE", QTime(9, 5, 3), "07.12.2026 09:05:03"}};
        for (const auto &[locale, time, text] : rows)
            QCOMPARE(platform::qt::generalDateText(QDateTime(day, time), QLocale(locale)), QString::fromUtf8(text));

        // The decimal mark is the window's locale's.
        Window w;
        QCOMPARE(w.form.decimalMark(), runtime::Text(u"."));
        w.form.setLocale(QLocale(QLocale::German, QLocale::Germany));
        QCOMPARE(w.form.decimalMark(), runtime::Text(u","));
    }

    // Under a dark desktop palette the captions stay dark on the light blue,
    // and fields, buttons and the list keep readable pairs of colours.
    void readableUnderADarkPalette()
    {
        const QPalette former = QApplication::palette();
        // Adwaita:dark's pairs: near-white text on dark grounds.
        QPalette dark;
        for (const auto &[role, rgb] : {std::pair{QPalette::Window, 0x353535}, {QPalette::WindowText, 0xEEEEEC},
                                        {QPalette::Base, 0x2D2D2D}, {QPalette::Text, 0xEEEEEC},
                                        {QPalette::Button, 0x454545}, {QPalette::ButtonText, 0xEEEEEC}})
            dark.setColor(role, QColor::fromRgb(QRgb(rgb)));
        QApplication::setPalette(dark);
        {
            Window w;
            for (QWidget *control : w.form.findChildren<QWidget *>()) {
                QPalette p = control->palette();
                p.setCurrentColorGroup(QPalette::Active);
                if (qobject_cast<QLabel *>(control) || qobject_cast<QGroupBox *>(control))
                    QVERIFY2(contrast(p.color(QPalette::WindowText), QColor(192, 192, 255)) >= 4.5,
                             qPrintable(control->objectName()));
                else if (qobject_cast<QLineEdit *>(control) || qobject_cast<QListWidget *>(control))
                    QVERIFY2(contrast(p.color(QPalette::Text), p.color(QPalette::Base)) >= 4.5,
                             qPrintable(control->objectName()));
                else if (qobject_cast<QPushButton *>(control))
                    QVERIFY2(contrast(p.color(QPalette::ButtonText), p.color(QPalette::Button)) >= 4.5,
                             qPrintable(control->objectName()));
            }
        }
        QApplication::setPalette(former);
    }

    // A fixed-width interface font (fontconfig's first Japanese sans-serif)
    // gives way to a proportional one of the same size on the buttons and list.
    void proportionalInterfaceFont()
    {
        if (!QFontDatabase::families().contains(QStringLiteral("IPAGothic")))
            QSKIP("needs the fixed-width IPAGothic (fonts-ipafont-gothic)");
        const QFont former = QApplication::font();
        QApplication::setFont(QFont(QStringLiteral("IPAGothic"), 9));
        {
            Window w;
            for (Control control : {Command1, Command2, Command3, List1}) {
                QVERIFY2(!QFontInfo(w.find(control)->font()).fixedPitch(), kLayout[control].name);
                QCOMPARE(w.find(control)->font().pointSizeF(), 9.0);
            }
        }
        QApplication::setFont(former);
    }

    // With more lines than fit, the list shows whole rows only: as many as the
    // Windows list box of its height at 96 dpi (11) where the font is small
    // enough for such rows, else as many rows of the font's own height as fit.
    void listShowsWholeRows()
    {
        const QFont former = QApplication::font();
        for (const auto &[points, rows] : {std::pair{7.0, 11}, {9.0, 11}, {12.0, 7}}) {
            QApplication::setFont(QFont(QStringLiteral("DejaVu Sans"), int(points)));
            Window w;
            for (int i = 0; i < 20; ++i)
                w.form.addLine(List1, u"Reply from 127.0.0.1 : Bytes = 32 Time < 10 ms  TTL = 128");
            auto *list = w.find<QListWidget>(List1);
            const QRect shown = list->viewport()->rect();
            int whole = 0;
            for (int i = 0; i < list->count(); ++i) {
                const QRect row = list->visualItemRect(list->item(i));
                if (row.bottom() < shown.top() || row.top() > shown.bottom())
                    continue;
                QVERIFY2(row.top() >= shown.top() && row.bottom() <= shown.bottom(),
                         qPrintable(QStringLiteral("%1 pt: row %2 is cut").arg(points).arg(i)));
                ++whole;
            }
            QCOMPARE(whole, rows);
        }
        QApplication::setFont(former);
    }

    void comfort()
    {
        Window w;
        // The greyed time fields show their whole text as a tool tip.
        w.form.setText(Text7, u"7.66666666666667 ms");
        QCOMPARE(w.find(Text7)->toolTip(), QStringLiteral("7.66666666666667 ms"));
        QVERIFY(!w.find(Text7)->isEnabled());

        // Assistive technology sees a window and a name on every control.
        QCOMPARE(QAccessible::queryAccessibleInterface(&w.form)->role(), QAccessible::Window);
        for (const ControlRow &row : kLayout) {
            const QAccessibleInterface *control = QAccessible::queryAccessibleInterface(w.find(row.id));
            QVERIFY2(control && !control->text(QAccessible::Name).isEmpty(), row.name);
        }
        QCOMPARE(QAccessible::queryAccessibleInterface(w.find(Text1))->text(QAccessible::Name),
                 QStringLiteral("IP アドレス"));
    }

    // A paste of 10 MB is cut at the fields' limit, and the window answers at
    // once: the field's text is laid out and painted within a second.
    void longPasteKeepsTheWindowAnswering()
    {
        Window w;
        w.activate();
        auto *address = w.find<QLineEdit>(Text1);
        QApplication::clipboard()->setText(QString(10 * 1024 * 1024, u'1'));
        QElapsedTimer clock;
        clock.start();
        address->paste();
        QTest::keyClick(address, Qt::Key_Home);
        w.form.repaint();
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(address->text().size(), kTextBoxMaxLength);
    }

    // Within one session the dialog opens where the last save went.
    void saveDialogRemembersTheFolder()
    {
        Window w;
        const runtime::SaveFileRequest request{
                .filter = u"テキスト (*.txt)|*.txt", .filterIndex = 1, .title = u"", .flags = 0, .fileName = u"Pingdata"};
        QTemporaryDir folder;
        QString opened;
        whenModalOpens([&](QWidget *modal) {
            QVERIFY(chooseFile(*qobject_cast<QFileDialog *>(modal), folder.filePath(QStringLiteral("report.txt"))));
        });
        QVERIFY(w.form.saveFileName(request));
        whenModalOpens([&](QWidget *modal) {
            auto *dialog = qobject_cast<QFileDialog *>(modal);
            opened = dialog->directory().absolutePath();
            QMetaObject::invokeMethod(dialog, "reject");
        });
        QVERIFY(!w.form.saveFileName(request));
        QCOMPARE(opened, QDir(folder.path()).absolutePath());
    }

    // Qt's own dialogs and boxes speak the user's language. Last: the
    // translation stays installed for the rest of the process.
    void speaksTheUsersLanguage()
    {
        QVERIFY(platform::qt::installQtTranslations(QLocale(QLocale::German, QLocale::Germany)));
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Abbrechen"));
    }

    // Closing the only window quits the application: the wait in progress ends
    // at once, the run with it, and the event loop returns. The window closes
    // while the second probe's pause has just begun.
    void closingQuitsInTheMiddleOfARun()
    {
        Window w;
        std::chrono::steady_clock::time_point closed;
        w.echo.onProbe = [&](std::size_t probe) {
            if (probe == 2)
                QTimer::singleShot(0, &w.form, [&] {
                    closed = std::chrono::steady_clock::now();
                    w.form.close();
                });
        };
        QTimer::singleShot(0, &w.form, [&] { QTest::mouseClick(w.find(Command1), Qt::LeftButton); });
        QCoreApplication::exec();
        // The pause after a probe is 990 ms: the loop returned well before it ran out.
        QVERIFY(std::chrono::steady_clock::now() - closed < std::chrono::milliseconds(990));
        QCOMPARE(w.echo.addresses.size(), 2u);
        QVERIFY(!w.find(Command2)->isEnabled());
        QCOMPARE(w.form.cursor().shape(), Qt::ArrowCursor);
    }
};

QTEST_MAIN(TestQtForm)
#include "tst_qtform.moc"
