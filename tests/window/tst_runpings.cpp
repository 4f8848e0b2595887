// The Qt layer's pause: closing the only window during a run quits at once.
// Not built: to be ported to tests/platform/qt/ with the layer's other tests;
// the run's logic is tested in runpings_test.cpp.
#include "FormHarness.h"
#include "QtServices.h"

#include <QElapsedTimer>
#include <QTimer>

class TestRunPings : public QObject
{
    Q_OBJECT

private slots:
    // With the real pause, closing the only window quits the application: the
    // wait in progress ends at once, the run with it, and the event loop returns.
    void closingQuitsInTheMiddleOfARun()
    {
        ScriptedEcho echo;
        platform::Services services = platform::qtServices();
        QList<platform::Message> messages;
        services.messageBox = [&](const platform::Message &message) { messages << message; };
        Form1 form(echo, services);
        form.show();
        QTimer::singleShot(0, &form, [&] { QTest::mouseClick(form.findChild<QPushButton *>("Command1"), Qt::LeftButton); });
        QTimer::singleShot(1500, &form, [&] { form.close(); });

        QElapsedTimer clock;
        clock.start();
        QCoreApplication::exec();
        QVERIFY2(clock.elapsed() < 1900, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(int(echo.addresses.size()), 2);
        QVERIFY(messages.isEmpty());
        QVERIFY(!form.findChild<QPushButton *>("Command2")->isEnabled());
    }
};

QTEST_MAIN(TestRunPings)
#include "tst_runpings.moc"
