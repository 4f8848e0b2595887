#include "ReportFile.h"
#include "TestFiles.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>


namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

} // namespace

class TestReportFile : public QObject {
    Q_OBJECT

private slots:
    void appendsWithCrLf_data();
    void appendsWithCrLf();
    void reportsAFailedOpen();
    void reportsAFullDevice();
    void leavesThePartialWriteOut();

private:
    QTemporaryDir dir_;
};

void TestReportFile::appendsWithCrLf_data()
{
    QTest::addColumn<QByteArray>("before"); // "<none>" for a missing file
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QByteArray>("after");
    QTest::newRow("creates a missing file") << QByteArray("<none>") << QStringList{" ", "Pinging"}
                                            << QByteArray(" \r\nPinging\r\n");
    QTest::newRow("keeps what was there") << QByteArray("old report\r\n") << QStringList{"new"}
                                          << QByteArray("old report\r\nnew\r\n");
    QTest::newRow("after a last line without an end") << QByteArray("no end") << QStringList{"x"}
                                                      << QByteArray("no endx\r\n");
    QTest::newRow("empty lines stay lines") << QByteArray() << QStringList{"", "", ""}
                                            << QByteArray("\r\n\r\n\r\n");
    QTest::newRow("Japanese in the narrow code page")
            << QByteArray() << QStringList{QStringLiteral("試験場所　一")}
            << QByteArray("\xe8\xa9\xa6\xe9\xa8\x93\xe5\xa0\xb4\xe6\x89\x80\xe3\x80\x80\xe4\xb8\x80\r\n");
}

void TestReportFile::appendsWithCrLf()
{
    QFETCH(QByteArray, before);
    QFETCH(QStringList, lines);
    QFETCH(QByteArray, after);
    const QString path = dir_.filePath(QString::fromLatin1(QTest::currentDataTag()));
    if (before != "<none>")
        writeFile(path, before);
    QCOMPARE(platform::appendLines(path, lines), std::nullopt);
    QCOMPARE(fileBytes(path), after);
}

void TestReportFile::reportsAFailedOpen()
{
    const auto reason = platform::appendLines(dir_.filePath("no such folder/report.txt"), {"x"});
    QVERIFY(reason.has_value());
    QVERIFY(!reason->isEmpty());
}

void TestReportFile::reportsAFullDevice()
{
    if (!QFile::exists("/dev/full"))
        QSKIP("no /dev/full here");
    const auto reason = platform::appendLines("/dev/full", {"x"});
    QVERIFY(reason.has_value());
    QVERIFY2(reason->contains("space", Qt::CaseInsensitive), qPrintable(*reason));
}

// A write that runs out of room part way must not leave half a report behind.
void TestReportFile::leavesThePartialWriteOut()
{
    const ScratchTmpfs mountPoint("size=64k");
    if (!mountPoint.mounted())
        QSKIP("needs root to mount a small tmpfs");
    const QString path = mountPoint.filePath("report.txt");
    const QByteArray earlier(40 * 1024, 'e');
    writeFile(path, earlier);
    const auto reason = platform::appendLines(path, QStringList(1000, QString(60, u'r')));
    QVERIFY(reason.has_value());
    QVERIFY2(reason->contains("space", Qt::CaseInsensitive), qPrintable(*reason));
    QCOMPARE(fileBytes(path), earlier);
}

QTEST_APPLESS_MAIN(TestReportFile)
#include "tst_reportfile.moc"
