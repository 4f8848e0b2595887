#include "FormHarness.h"
#include "TestFiles.h"

#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>


namespace {

QByteArray crlf(const QStringList &lines)
{
    QByteArray bytes;
    for (const QString &line : lines)
        bytes += line.toUtf8() + "\r\n";
    return bytes;
}

} // namespace

class TestSaveReport : public QObject
{
    Q_OBJECT

    QTemporaryDir dir_;

private slots:
    void appendsTheReport()
    {
        FormHarness h;
        h.setText("Text8", "試験場所　東");
        h.setText("Text9", "Point 3");
        h.run("127.0.0.1", "5", {{0, 3}, {0, 2}, {11010, 9}, {0, 1}, {0, 6}});
        h.chosenFile = dir_.filePath("report.txt");
        h.click("Command2");

        QCOMPARE(h.dialogs.size(), 1);
        QCOMPARE(h.dialogs[0].title, QStringLiteral("保存ファイル選択"));
        QCOMPARE(h.dialogs[0].filter, QStringLiteral("テキスト (*.txt)"));
        QCOMPARE(h.dialogs[0].fileName, QStringLiteral("Pingdata"));
        const auto reply = [](int ms) {
            return QStringLiteral("Reply from 127.0.0.1 : Bytes = 32 Time = %1 ms  TTL = 128").arg(ms);
        };
        QCOMPARE(fileBytes(*h.chosenFile), crlf({
            " ",
            "試験場所　東",
            "Point 3",
            "Date / Time : 12/7/2026 9:05:03 AM",
            " ",
            "Pinging 127.0.0.1 with 32 bytes of data:",
            "Test No:1  " + reply(3),
            "Test No:2  " + reply(2),
            "Test No:3  Request timed out",
            "Test No:4  " + reply(1),
            "Test No:5  " + reply(6),
            " ",
            "Ping statistics for 127.0.0.1:",
            "    Packets: Sent = 5, Received = 4, Lost = 1 (20% loss),",
            "Approximate round trip times in milli-seconds:",
            "    Minimum = 0 ms, Maximum = 6 ms, Average = 2.4 ms",
        }));
        QVERIFY(!h.enabled("Command2"));
        QCOMPARE(h.messages.size(), 1);
        QCOMPARE(h.messages[0].text, kSavedText);
        QCOMPARE(h.messages[0].title, QStringLiteral("保存メッセージ"));
        QCOMPARE(h.messages[0].icon, platform::MessageIcon::None);
        // The results stay on screen.
        QCOMPARE(h.lines().size(), 5);
    }

    void keepsEveryReportInTheFile()
    {
        FormHarness h;
        h.chosenFile = dir_.filePath("twice.txt");
        h.run("127.0.0.1", "1");
        h.click("Command2");
        const QByteArray first = fileBytes(*h.chosenFile);
        h.run("127.0.0.2", "2");
        h.click("Command2");
        const QByteArray both = fileBytes(*h.chosenFile);
        QVERIFY(both.startsWith(first));
        QVERIFY(both.mid(first.size()).startsWith(" \r\n\r\n\r\nDate / Time : "));
        QVERIFY(both.contains("Ping statistics for 127.0.0.2:"));
        QCOMPARE(h.messages.size(), 2);
    }

    // Nothing is written, and "SaveData" stays ready for another try.
    void writesNothingOnFailureBeforeWriting_data()
    {
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<QString>("count");
        QTest::newRow("cancelled") << true << "5";
        QTest::newRow("count set to 0") << false << "0";
        QTest::newRow("count not a number") << false << "five";
        QTest::newRow("count emptied") << false << "";
    }
    void writesNothingOnFailureBeforeWriting()
    {
        QFETCH(bool, cancel);
        QFETCH(QString, count);
        FormHarness h;
        const QString path = dir_.filePath(QStringLiteral("untouched-%1.txt").arg(QTest::currentDataTag()));
        h.run("127.0.0.1", "5");
        h.setText("Text3", count);
        if (!cancel)
            h.chosenFile = path;
        h.click("Command2");
        QCOMPARE(h.dialogs.size(), 1);
        QVERIFY(!QFile::exists(path));
        QVERIFY(h.messages.isEmpty());
        QVERIFY(h.enabled("Command2"));
    }

    // A write that fails leaves the file as it was, says why, and keeps
    // "SaveData" enabled.
    void reportsAFailedWrite_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("full device") << "full";
        QTest::newRow("runs out of room") << "small";
        QTest::newRow("read-only folder") << "read-only";
        QTest::newRow("folder gone") << "gone";
    }
    void reportsAFailedWrite()
    {
        QFETCH(QString, fault);
        ScratchTmpfs scratch(fault == "small" ? "size=8k" : "size=1m");
        QString path;
        QByteArray before;
        if (fault == "full") {
            if (!QFile::exists("/dev/full"))
                QSKIP("no /dev/full here");
            path = "/dev/full";
        } else if (fault == "gone") {
            path = dir_.filePath("gone/report.txt");
        } else {
            if (!scratch.mounted())
                QSKIP("needs root to mount a small tmpfs");
            path = scratch.filePath("report.txt");
            before = QByteArray(fault == "small" ? 7 * 1024 : 10, 'e');
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(before) == before.size());
            file.close();
            if (fault == "read-only" && !scratch.remountReadOnly())
                QSKIP("cannot remount the tmpfs read-only");
        }

        FormHarness h;
        h.run("127.0.0.1", "20");
        h.chosenFile = path;
        h.click("Command2");
        QCOMPARE(h.messages.size(), 1);
        QCOMPARE(h.messages[0].title, QStringLiteral("Sondar"));
        QVERIFY2(h.messages[0].text.contains(path), qPrintable(h.messages[0].text));
        QVERIFY(h.enabled("Command2"));
        if (fault != "full")
            QCOMPARE(fileBytes(path), fault == "gone" ? QByteArray("<missing>") : before);
    }
};

QTEST_MAIN(TestSaveReport)
#include "tst_savereport.moc"
