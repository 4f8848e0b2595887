// The general date text of the Qt layer. Not built: to be ported to
// tests/platform/qt/ with the layer's other tests; the number rules are
// tested in conversions_test.cpp.
#include "Conversions.h"

#include <QTest>

class TestConversions : public QObject {
    Q_OBJECT

private slots:
    void writesGeneralDate_data();
    void writesGeneralDate();
};

void TestConversions::writesGeneralDate_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QString>("text");
    const QDate day(2026, 12, 7);
    QTest::newRow("US morning") << "en_US" << QDateTime(day, QTime(9, 5, 3)) << "12/7/2026 9:05:03 AM";
    QTest::newRow("US afternoon") << "en_US" << QDateTime(day, QTime(21, 0, 0)) << "12/7/2026 9:00:00 PM";
    QTest::newRow("midnight, date alone") << "en_US" << QDateTime(day, QTime(0, 0, 0)) << "12/7/2026";
    QTest::newRow("a second past midnight") << "en_US" << QDateTime(day, QTime(0, 0, 1)) << "12/7/2026 12:00:01 AM";
    QTest::newRow("Japanese") << "ja_JP" << QDateTime(day, QTime(9, 5, 3)) << "2026/12/07 9:05:03";
    QTest::newRow("German") << "de_DE" << QDateTime(day, QTime(9, 5, 3)) << "07.12.2026 09:05:03";
}

void TestConversions::writesGeneralDate()
{
    QFETCH(QString, locale);
    QFETCH(QDateTime, when);
    QFETCH(QString, text);
    QCOMPARE(platform::generalDateText(when, QLocale(locale)), text);
}

QTEST_APPLESS_MAIN(TestConversions)
#include "tst_conversions.moc"
