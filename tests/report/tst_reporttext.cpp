#include "Conversions.h"
#include "ReportText.h"

#include <QTest>

using report::ReportFields;

namespace {

const QDateTime kSavedAt(QDate(2026, 12, 7), QTime(9, 5, 3));
const QString kReply = QStringLiteral("Reply from 192.168.0.1 : Bytes = 32 Time = 3 ms  TTL = 128");
const QString kLost = QStringLiteral("Request timed out");

ReportFields exampleRun()
{
    return {"Site A", "Point 3", "192.168.0.1", "32", "5", QStringList(5, kReply), "3 ms", "3 ms", "3 ms"};
}

QStringList statistics(const QStringList &lines)
{
    return lines.mid(lines.size() - 4);
}

} // namespace

class TestReportText : public QObject {
    Q_OBJECT

private slots:
    void writesTheExampleRun();
    void countsTheLosses_data();
    void countsTheLosses();
    void followsTheCountField();
    void refusesAnUnusableCount_data();
    void refusesAnUnusableCount();
};

void TestReportText::writesTheExampleRun()
{
    const QStringList expected{
        " ",
        "Site A",
        "Point 3",
        "Date / Time : 12/7/2026 9:05:03 AM",
        " ",
        "Pinging 192.168.0.1 with 32 bytes of data:",
        "Test No:1  " + kReply,
        "Test No:2  " + kReply,
        "Test No:3  " + kReply,
        "Test No:4  " + kReply,
        "Test No:5  " + kReply,
        " ",
        "Ping statistics for 192.168.0.1:",
        "    Packets: Sent = 5, Received = 5, Lost = 0 (0% loss),",
        "Approximate round trip times in milli-seconds:",
        "    Minimum = 3 ms, Maximum = 3 ms, Average = 3 ms",
    };
    QCOMPARE(report::reportLines(exampleRun(), kSavedAt, QLocale("en_US")), expected);
}

void TestReportText::countsTheLosses_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QList<int>>("lostAt");
    QTest::addColumn<QString>("packets");
    QTest::newRow("none lost") << 5 << QList<int>{} << "Sent = 5, Received = 5, Lost = 0 (0% loss),";
    QTest::newRow("1 of 5") << 5 << QList<int>{1} << "Sent = 5, Received = 4, Lost = 1 (20% loss),";
    QTest::newRow("1 of 8, 12.5 to even") << 8 << QList<int>{7} << "Sent = 8, Received = 7, Lost = 1 (12% loss),";
    QTest::newRow("3 of 8, 37.5 to even") << 8 << QList<int>{0, 3, 4}
                                          << "Sent = 8, Received = 5, Lost = 3 (38% loss),";
    QTest::newRow("1 of 3") << 3 << QList<int>{2} << "Sent = 3, Received = 2, Lost = 1 (33% loss),";
    QTest::newRow("all of 20") << 20 << QList<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}
                               << "Sent = 20, Received = 0, Lost = 20 (100% loss),";
}

void TestReportText::countsTheLosses()
{
    QFETCH(int, count);
    QFETCH(QList<int>, lostAt);
    QFETCH(QString, packets);
    ReportFields fields = exampleRun();
    fields.count = QString::number(count);
    fields.results = QStringList(count, kReply);
    for (int i : lostAt)
        fields.results[i] = kLost;
    const QStringList lines = report::reportLines(fields, kSavedAt, QLocale("en_US"));
    QCOMPARE(statistics(lines).at(1), "    Packets: " + packets);
    for (int i : lostAt)
        QCOMPARE(lines.at(6 + i), QStringLiteral("Test No:%1  Request timed out").arg(i + 1));
}

// The report follows the count field as it stands at saving, not the list.
void TestReportText::followsTheCountField()
{
    ReportFields fields = exampleRun();
    fields.count = "7";
    fields.results[2] = kLost;
    fields.results[4] = "request timed out"; // only the exact line counts as lost
    fields.site.clear();
    fields.point.clear();
    fields.average = "7.4 ms";
    const QStringList lines = report::reportLines(fields, kSavedAt, QLocale("en_US"));
    QCOMPARE(lines.mid(0, 3), (QStringList{" ", "", ""}));
    QCOMPARE(lines.size(), 6 + 7 + 5);
    QCOMPARE(lines.at(11), "Test No:6  ");
    QCOMPARE(lines.at(12), "Test No:7  ");
    QCOMPARE(statistics(lines).at(1), "    Packets: Sent = 7, Received = 6, Lost = 1 (14% loss),");
    QCOMPARE(statistics(lines).at(3), "    Minimum = 3 ms, Maximum = 3 ms, Average = 7.4 ms");
}

void TestReportText::refusesAnUnusableCount_data()
{
    QTest::addColumn<QString>("count");
    QTest::newRow("zero") << "0";
    QTest::newRow("letters") << "five";
    QTest::newRow("empty") << "";
    QTest::newRow("beyond 16 bits") << "40000";
}

void TestReportText::refusesAnUnusableCount()
{
    QFETCH(QString, count);
    ReportFields fields = exampleRun();
    fields.count = count;
    QVERIFY_THROWS_EXCEPTION(platform::RunTimeError, report::reportLines(fields, kSavedAt, QLocale("en_US")));
}

QTEST_APPLESS_MAIN(TestReportText)
#include "tst_reporttext.moc"
