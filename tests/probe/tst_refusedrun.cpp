// A ping run on the real echo service for a user whom the system allows no
// ICMP socket: the first probe ends the run with the run-error box. Run as
// such a user by tst_unprivileged.sh; skips where an ICMP socket opens.
#include "Form1.h"
#include "probe/Module1.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool icmpSocketOpens(int type)
{
    const int fd = ::socket(AF_INET, type, IPPROTO_ICMP);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

} // namespace

class RefusedRun : public QObject
{
    Q_OBJECT

private slots:
    void firstProbeEndsTheRun()
    {
        if (icmpSocketOpens(SOCK_DGRAM) || icmpSocketOpens(SOCK_RAW))
            QSKIP("this user may open an ICMP socket; tst_unprivileged.sh runs this where none is allowed");

        QList<platform::Message> messages;
        int pauses = 0;
        platform::Services services{
            [&messages](const platform::Message &message) { messages << message; },
            [](const platform::SaveFileRequest &) { return std::optional<QString>(); },
            [&pauses](std::chrono::milliseconds) { ++pauses; },
            [] { return QDateTime(QDate(2026, 12, 7), QTime(9, 0)); }};
        Module1::SystemEcho echo([&messages](const std::string &text) {
            messages << platform::Message{QString::fromStdString(text)};
        });
        Form1 form(echo, std::move(services));
        form.show();

        form.findChild<QLineEdit *>("Text1")->setText("127.0.0.1");
        form.findChild<QLineEdit *>("Text3")->setText("3");
        QTest::mouseClick(form.findChild<QPushButton *>("Command1"), Qt::LeftButton);

        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages.front().text, QStringLiteral("　実行エラーが発生しました。　処理が中断しました。"));
        QCOMPARE(messages.front().title, QStringLiteral("エラーメッセージ"));
        QCOMPARE(form.findChild<QListWidget *>("List1")->count(), 0);
        QCOMPARE(pauses, 0);
        QVERIFY(!form.findChild<QPushButton *>("Command2")->isEnabled());
    }
};

QTEST_MAIN(RefusedRun)
#include "tst_refusedrun.moc"
