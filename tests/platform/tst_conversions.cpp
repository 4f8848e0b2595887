#include "Conversions.h"

#include <QTest>

using platform::RunTimeError;

class TestConversions : public QObject {
    Q_OBJECT

private slots:
    void readsInt16_data();
    void readsInt16();
    void rejectsInt16_data();
    void rejectsInt16();
    void readsDouble_data();
    void readsDouble();
    void writesGeneralForm_data();
    void writesGeneralForm();
    void formatsHashDotHash_data();
    void formatsHashDotHash();
    void writesGeneralDate_data();
    void writesGeneralDate();
};

void TestConversions::readsInt16_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value");
    QTest::newRow("plain") << "en_US" << "5" << 5;
    QTest::newRow("blanks around") << "en_US" << " \t20  " << 20;
    QTest::newRow("plus sign") << "en_US" << "+7" << 7;
    QTest::newRow("minus sign") << "en_US" << "-3" << -3;
    QTest::newRow("tie down to even") << "en_US" << "2.5" << 2;
    QTest::newRow("tie up to even") << "en_US" << "3.5" << 4;
    QTest::newRow("negative tie to even") << "en_US" << "-0.5" << 0;
    QTest::newRow("above the tie") << "en_US" << "20.6" << 21;
    QTest::newRow("below the tie") << "en_US" << "32.4999" << 32;
    QTest::newRow("fraction only") << "en_US" << ".5" << 0;
    QTest::newRow("trailing mark") << "en_US" << "5." << 5;
    QTest::newRow("leading zeros") << "en_US" << "007" << 7;
    QTest::newRow("largest") << "en_US" << "32767" << 32767;
    QTest::newRow("smallest") << "en_US" << "-32768" << -32768;
    QTest::newRow("smallest by even tie") << "en_US" << "-32768.5" << -32768;
    QTest::newRow("comma is the mark") << "de_DE" << "2,5" << 2;
    QTest::newRow("fraction below the smallest double") << "en_US" << "0." + QString(400, u'0') + "3" << 0;
    QTest::newRow("comma mark rounds up") << "de_DE" << "20,6" << 21;
}

void TestConversions::readsInt16()
{
    QFETCH(QString, locale);
    QFETCH(QString, text);
    QFETCH(int, value);
    QCOMPARE(platform::toInt16(text, QLocale(locale)), value);
}

void TestConversions::rejectsInt16_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << "en_US" << "";
    QTest::newRow("blanks only") << "en_US" << "   ";
    QTest::newRow("letters") << "en_US" << "abc";
    QTest::newRow("trailing letters") << "en_US" << "5a";
    QTest::newRow("unit") << "en_US" << "7 ms";
    QTest::newRow("mark alone") << "en_US" << ".";
    QTest::newRow("sign alone") << "en_US" << "-";
    QTest::newRow("blank after sign") << "en_US" << "- 5";
    QTest::newRow("two numbers") << "en_US" << "5 5";
    QTest::newRow("two marks") << "en_US" << "1.2.3";
    QTest::newRow("above range") << "en_US" << "40000";
    QTest::newRow("rounds above range") << "en_US" << "32767.5";
    QTest::newRow("below range") << "en_US" << "-32769";
    QTest::newRow("huge") << "en_US" << QString(400, u'9');
    QTest::newRow("full-width digits") << "en_US" << "５";
    QTest::newRow("other locale's mark") << "de_DE" << "2.5";
}

void TestConversions::rejectsInt16()
{
    QFETCH(QString, locale);
    QFETCH(QString, text);
    QVERIFY_THROWS_EXCEPTION(RunTimeError, platform::toInt16(text, QLocale(locale)));
}

void TestConversions::readsDouble_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("value");
    QTest::addColumn<bool>("fails");
    QTest::newRow("fraction kept") << "en_US" << "32.5" << 32.5 << false;
    QTest::newRow("beyond 16 bits") << "en_US" << " 40000 " << 40000.0 << false;
    QTest::newRow("negative") << "en_US" << "-1" << -1.0 << false;
    QTest::newRow("comma mark") << "fr_FR" << "128,25" << 128.25 << false;
    QTest::newRow("empty") << "en_US" << "" << 0.0 << true;
    QTest::newRow("letters") << "en_US" << "x" << 0.0 << true;
    QTest::newRow("too large for a double") << "en_US" << QString(400, u'9') << 0.0 << true;
    QTest::newRow("too small for a double, zero") << "en_US" << "-0." + QString(400, u'0') + "3" << 0.0 << false;
}

void TestConversions::readsDouble()
{
    QFETCH(QString, locale);
    QFETCH(QString, text);
    QFETCH(double, value);
    QFETCH(bool, fails);
    if (fails)
        QVERIFY_THROWS_EXCEPTION(RunTimeError, platform::toDouble(text, QLocale(locale)));
    else
        QCOMPARE(platform::toDouble(text, QLocale(locale)), value);
}

void TestConversions::writesGeneralForm_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("one decimal") << "en_US" << 37.0 / 5 << "7.4";
    QTest::newRow("whole") << "en_US" << 12.0 << "12";
    QTest::newRow("fifteen digits") << "en_US" << 20.0 / 3 << "6.66666666666667";
    QTest::newRow("fifteen digits again") << "en_US" << 22.0 / 3 << "7.33333333333333";
    QTest::newRow("with a time-out") << "en_US" << 14.0 / 3 << "4.66666666666667";
    QTest::newRow("zero") << "en_US" << 0.0 << "0";
    QTest::newRow("negative zero") << "en_US" << -0.0 << "0";
    QTest::newRow("smallest average") << "en_US" << 1.0 / 20 << "0.05";
    QTest::newRow("largest average") << "en_US" << 2147483647.0 << "2147483647";
    QTest::newRow("comma mark") << "de_DE" << 37.0 / 5 << "7,4";
}

void TestConversions::writesGeneralForm()
{
    QFETCH(QString, locale);
    QFETCH(double, value);
    QFETCH(QString, text);
    QCOMPARE(platform::generalText(value, QLocale(locale)), text);
}

void TestConversions::formatsHashDotHash_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("formatted");
    QTest::newRow("average as a run leaves it") << "en_US" << "7.4 ms" << "7.4 ms";
    QTest::newRow("empty") << "en_US" << "" << "";
    QTest::newRow("rounds to one decimal") << "en_US" << "7.46" << "7.5";
    QTest::newRow("half away from zero") << "en_US" << "7.45" << "7.5";
    QTest::newRow("rounds down") << "en_US" << "7.44" << "7.4";
    QTest::newRow("no forced zero") << "en_US" << "7" << "7.";
    QTest::newRow("carry") << "en_US" << "9.96" << "10.";
    QTest::newRow("no leading zero") << "en_US" << "0.25" << ".3";
    QTest::newRow("negative") << "en_US" << "-7.46" << "-7.5";
    QTest::newRow("comma mark") << "de_DE" << "7,46" << "7,5";
    QTest::newRow("other locale's mark is text") << "de_DE" << "7.46" << "7.46";
}

void TestConversions::formatsHashDotHash()
{
    QFETCH(QString, locale);
    QFETCH(QString, text);
    QFETCH(QString, formatted);
    QCOMPARE(platform::formatHashDotHash(text, QLocale(locale)), formatted);
}

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
