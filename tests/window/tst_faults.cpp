// Hostile input, a window closed at awkward moments, and a report file that
// changes under the window between two saves. Whatever happens, the window
// stays usable, no descriptor is left open, and a report file holds either
// what it held before or that plus whole reports.
#include "FormHarness.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

int openDescriptors()
{
    return int(QDir("/proc/self/fd").entryList(QDir::Files | QDir::System).size());
}

// A FormHarness that also saves.
class FaultHarness : public FormHarness
{
public:
    using FormHarness::FormHarness;

    // A finished run with the usual fields, saved to `path`; the file's bytes.
    QByteArray runAndSave(const QString &path)
    {
        run("127.0.0.1", "3");
        chosenFile = path;
        click("Command2");
        return fileBytes(path);
    }
};

// The file's inode flags, as chattr sets them; false where the file system
// keeps none.
bool setInodeFlags(const QString &path, int flags)
{
    const int fd = open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool done = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    close(fd);
    return done;
}

// Writes to `path` until the device is full.
bool fillDevice(const QString &path)
{
    QFile filler(path);
    if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    const QByteArray block(4096, 'f');
    while (filler.write(block) == block.size()) {
    }
    return true;
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

    QTemporaryDir dir_;

private slots:
    // A count or size that is no usable number ends the run with the run-error
    // box, at the first probe at the latest; the next run with good fields
    // works as if nothing had happened.
    void refusesBadNumbers_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("text");
        const QString huge(100'000, u'9');
        const QString words(100'000, u'x');
        for (const char *field : {"Text3", "Text2"}) {
            QTest::addRow("%s, 100,000 digits", field) << field << huge;
            QTest::addRow("%s, 100,000 letters", field) << field << words;
            QTest::addRow("%s, 100,000 blanks", field) << field << QString(100'000, u' ');
            QTest::addRow("%s, bell character", field) << field << "5\a";
            QTest::addRow("%s, escape character", field) << field << "\x1b" "5";
            QTest::addRow("%s, NUL inside", field) << field << QStringLiteral("5") + QChar(0) + QStringLiteral("5");
            QTest::addRow("%s, line break", field) << field << "5\n";
            QTest::addRow("%s, fullwidth digits", field) << field << "３２";
            QTest::addRow("%s, Arabic-Indic digits", field) << field << "٣٢";
            QTest::addRow("%s, ideographic numeral", field) << field << "五";
            QTest::addRow("%s, two decimal marks", field) << field << "3.2.1";
            QTest::addRow("%s, sign alone", field) << field << "-";
            QTest::addRow("%s, decimal mark alone", field) << field << ".";
        }
        QTest::newRow("Text3, rounds past 16 bits") << "Text3" << "32767.5";
        QTest::newRow("Text2, beyond a double") << "Text2" << "1" + QString(400, u'0');
        QTest::newRow("Text2, rounds below zero") << "Text2" << "-0.6";
    }
    void refusesBadNumbers()
    {
        QFETCH(QString, field);
        QFETCH(QString, text);
        FaultHarness h;
        h.setText("Text2", field == "Text2" ? text : "32");
        h.run("127.0.0.1", field == "Text3" ? text : "3");

        QCOMPARE(h.messages.size(), 1);
        QCOMPARE(h.messages[0].text, kRunErrorText);
        QVERIFY(h.echo.addresses.empty());
        QCOMPARE(h.echo.stops, h.echo.starts);
        QVERIFY(h.lines().isEmpty());
        QVERIFY(!h.enabled("Command2"));
        QCOMPARE(h.text(qPrintable(field)), text);

        h.setText("Text2", "32");
        h.run("127.0.0.1", "2");
        QCOMPARE(h.lines().size(), 2);
        QCOMPARE(h.echo.payloads, std::vector<std::string>(2, std::string(32, '*')));
        QCOMPARE(h.messages.size(), 1);
        QVERIFY(h.enabled("Command2"));
    }

    // The real echo service: an address it cannot use ends the run before
    // anything is sent, and the next run to loopback gets its reply.
    void refusesBadAddresses_data()
    {
        QTest::addColumn<QString>("address");
        QTest::newRow("100,000 digits") << QString(100'000, u'1');
        QTest::newRow("address repeated to 100,000 characters") << QString("127.0.0.1").repeated(11'112);
        QTest::newRow("100,000 dots") << QString(100'000, u'.');
        QTest::newRow("control character before") << "\x01" "127.0.0.1";
        QTest::newRow("delete character inside") << "127.0.\x7f" "0.1";
        QTest::newRow("fullwidth digits") << "１２７.０.０.１";
        QTest::newRow("ideographic full stops") << "127。0。0。1";
        QTest::newRow("Japanese words") << "ローカルホスト";
        QTest::newRow("emoji after the address") << "127.0.0.1🙂";
        QTest::newRow("lone surrogate") << QStringLiteral("127.0.0.1") + QChar(0xd800);
    }
    void refusesBadAddresses()
    {
        QFETCH(QString, address);
        if (geteuid() != 0)
            QSKIP("the loopback run after the refused one needs root for its raw socket");
        Module1::SystemEcho network([](const std::string &text) { QFAIL(text.c_str()); });
        FaultHarness h(&network);
        const int descriptors = openDescriptors();
        h.run(address, "3");
        QCOMPARE(h.messages.size(), 1);
        QCOMPARE(h.messages[0].text, kRunErrorText);
        QVERIFY(h.lines().isEmpty());
        QCOMPARE(h.text("Text1"), address);

        h.run("127.0.0.1", "1");
        QCOMPARE(h.messages.size(), 1);
        QCOMPARE(h.lines().size(), 1);
        QVERIFY2(h.lines()[0].startsWith("Reply from 127.0.0.1 : Bytes = 32 Time "), qPrintable(h.lines()[0]));
        QVERIFY(h.enabled("Command2"));
        QCOMPARE(openDescriptors(), descriptors);
    }

    // Closed in the middle of a run on the real echo service: the run ends
    // there, nothing stays open, and the window shown again runs in full.
    void closesDuringARealRun()
    {
        if (geteuid() != 0)
            QSKIP("probing loopback needs root here for the raw socket");
        Module1::SystemEcho network([](const std::string &text) { QFAIL(text.c_str()); });
        FaultHarness h(&network);
        const int descriptors = openDescriptors();
        h.duringPause = [&](int n) {
            if (n == 2)
                h.form->close();
        };
        h.run("127.0.0.1", "5");
        QCOMPARE(h.pauses.size(), 2);
        QCOMPARE(h.lines().size(), 2);
        QVERIFY(h.messages.isEmpty());
        QCOMPARE(openDescriptors(), descriptors);

        h.duringPause = {};
        h.form->show();
        h.run("127.0.0.1", "3");
        QCOMPARE(h.lines().size(), 3);
        QVERIFY(h.enabled("Command2"));
        QCOMPARE(openDescriptors(), descriptors);
    }

    // The window closes while the save dialog is open. Either the dialog still
    // names a file, and the whole report goes after what the file held, or it
    // gives up with the window, and the file is left alone.
    void closesDuringASave_data()
    {
        QTest::addColumn<bool>("fileChosen");
        QTest::newRow("file chosen after the close") << true;
        QTest::newRow("dialog gone with the window") << false;
    }
    void closesDuringASave()
    {
        QFETCH(bool, fileChosen);
        FaultHarness h;
        const QString path = dir_.filePath(QStringLiteral("closing-%1.txt").arg(fileChosen));
        const QByteArray report = h.runAndSave(dir_.filePath(QStringLiteral("reference-%1.txt").arg(fileChosen)));
        const QByteArray before("an earlier report\r\n");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(before) == before.size());
        file.close();

        h.run("127.0.0.1", "3");
        h.whileDialogOpen = [&] {
            h.form->close();
            if (!fileChosen)
                h.chosenFile.reset();
        };
        h.chosenFile = path;
        const int descriptors = openDescriptors();
        h.click("Command2");
        QCOMPARE(fileBytes(path), fileChosen ? before + report : before);
        QCOMPARE(h.enabled("Command2"), !fileChosen);
        QCOMPARE(openDescriptors(), descriptors);
    }

    // The report file changes between two saves. A save that cannot append
    // says so and leaves the file as it was; once the fault is gone the next
    // save appends the whole report.
    void survivesChangesBetweenSaves_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("appends"); // the second save works despite the change
        QTest::newRow("removed") << "removed" << true;
        QTest::newRow("append-only") << "append-only" << true;
        QTest::newRow("immutable") << "immutable" << false;
        QTest::newRow("replaced by a folder") << "folder" << false;
        QTest::newRow("device filled") << "filled" << false;
    }
    void survivesChangesBetweenSaves()
    {
        QFETCH(QString, fault);
        QFETCH(bool, appends);
        ScratchTmpfs scratch;
        if (!scratch.mounted())
            QSKIP("needs root to mount a small tmpfs");
        const QString path = scratch.filePath("report.txt");
        const QString filler = scratch.filePath("filler");
        const auto liftFault = [&] {
            setInodeFlags(path, 0);
            QFile::remove(filler);
            QDir().rmdir(path);
        };
        const auto atEnd = qScopeGuard(liftFault);

        FaultHarness h;
        const int descriptors = openDescriptors();
        const QByteArray first = h.runAndSave(path);
        QCOMPARE(h.messages.size(), 1);
        // The second report runs past the free end of the file's last page,
        // so that it needs room the filled device no longer has.
        h.setText("Text8", QString(10'000, u's'));
        const QByteArray second = h.runAndSave(dir_.filePath("second-" + fault + ".txt"));
        QCOMPARE(h.messages.size(), 2);
        h.run("127.0.0.1", "3");

        if (fault == "removed") {
            QVERIFY(QFile::remove(path));
        } else if (fault == "append-only" || fault == "immutable") {
            if (!setInodeFlags(path, fault == "immutable" ? FS_IMMUTABLE_FL : FS_APPEND_FL))
                QSKIP("this tmpfs keeps no inode flags");
        } else if (fault == "folder") {
            QVERIFY(QFile::remove(path) && QDir().mkdir(path));
        } else {
            QVERIFY(fillDevice(filler));
        }
        h.chosenFile = path;
        h.click("Command2");

        if (appends) {
            QCOMPARE(h.messages.size(), 3);
            QCOMPARE(h.messages[2].text, kSavedText);
            QCOMPARE(fileBytes(path), fault == "removed" ? second : first + second);
            QVERIFY(!h.enabled("Command2"));
        } else {
            QCOMPARE(h.messages.size(), 3);
            QCOMPARE(h.messages[2].title, QStringLiteral("Sondar"));
            QVERIFY2(h.messages[2].text.contains(path), qPrintable(h.messages[2].text));
            QVERIFY(h.enabled("Command2"));
            if (fault == "folder")
                QVERIFY(QFileInfo(path).isDir());
            else
                QCOMPARE(fileBytes(path), first);
            liftFault();
            h.click("Command2");
            QCOMPARE(h.messages.size(), 4);
            QCOMPARE(h.messages[3].text, kSavedText);
            QCOMPARE(fileBytes(path), fault == "folder" ? second : first + second);
        }
        QCOMPARE(openDescriptors(), descriptors);
    }
};

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
