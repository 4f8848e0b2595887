// The ping run: "Ping Start" sends one echo probe after another, lists one
// line per probe and keeps the minimum, maximum and average round-trip times.
#include "Form1.h"

#include "Conversions.h"

#include <QListWidget>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QtNumeric>

#include <algorithm>
#include <span>
#include <vector>

using platform::RunTimeError;

namespace {

constexpr qint16 kMostProbes = 20;
constexpr double kMostChars = 128;
constexpr std::chrono::milliseconds kPauseAfterProbe{990};

const QString kTimedOut = QStringLiteral("Request timed out");
const QString kRunErrorTitle = QStringLiteral("エラーメッセージ");
const QString kRunErrorText = QStringLiteral("　実行エラーが発生しました。　") + QStringLiteral("処理が中断しました。");
const QString kSocketsText = QStringLiteral("Windows Sockets for 32 bit Windows environments is not successfully responding.");

QString msText(qint64 value)
{
    return platform::intText(value) + QStringLiteral(" ms");
}

} // namespace

void Form1::RunPings()
{
    if (running_)
        return; // a second "Ping Start" while a run works is ignored
    running_ = true;
    closing_ = false;
    const auto endOfRun = qScopeGuard([this] {
        running_ = false;
        unsetCursor();
    });

    ClearResults();
    setCursor(Qt::BusyCursor);
    const QLocale numbers = locale();
    bool socketsOpen = false;
    try {
        if (!Text3->text().isEmpty() && platform::toInt16(Text3->text(), numbers) > kMostProbes)
            Text3->setText(platform::intText(kMostProbes));
        const qint16 count = platform::toInt16(Text3->text(), numbers);
        if (count < 1)
            throw RunTimeError("a run needs at least one probe");
        std::vector<qint32> RunTimes(std::size_t(count) + 1); // entries 1 to count
        const qint16 lastProbe = platform::toInt16(Text3->text(), numbers);

        Module1::EchoReply reply{};
        for (qint16 i = 1; i <= lastProbe; ++i) {
            if (!echo_.StartSockets()) {
                services_.messageBox({kSocketsText});
                return;
            }
            socketsOpen = true;

            if (platform::toDouble(Text2->text(), numbers) > kMostChars)
                Text2->setText(platform::intText(qint64(kMostChars)));
            const qint16 chars = platform::toInt16(Text2->text(), numbers);
            if (chars < 0)
                throw RunTimeError("a negative payload size");
            const std::string payload(std::size_t(chars), '*');

            const Module1::ProbeStatus status =
                    echo_.SendEcho(Text1->text().toLocal8Bit().toStdString(), payload, reply);
            if (status == 0) {
                if (reply.RoundTripTime > 32767)
                    throw RunTimeError("a round-trip time beyond 16 bits");
                const QString time = reply.RoundTripTime == 0
                        ? QStringLiteral("< 10")
                        : QStringLiteral("= ") + platform::intText(reply.RoundTripTime);
                List1->addItem(QStringLiteral("Reply from ") + Text1->text() + QStringLiteral(" : Bytes = ")
                               + Text2->text() + QStringLiteral(" Time ") + time + QStringLiteral(" ms  TTL = 128"));
            } else if (status > 0) {
                List1->addItem(kTimedOut);
                reply.RoundTripTime = 0; // a lost probe counts as 0 ms from here on
            } else {
                throw RunTimeError("the address cannot be used");
            }
            socketsOpen = false;
            echo_.StopSockets();

            // Minimum and maximum against the times so far, not against the
            // fields, which "DataClear" may have emptied in the meantime.
            const qint32 t = reply.RoundTripTime;
            const auto earlier = std::span(RunTimes).subspan(1, std::size_t(i) - 1);
            if (i == 1) {
                Text5->setText(msText(t));
                Text6->setText(msText(t));
            } else {
                if (std::ranges::all_of(earlier, [t](qint32 e) { return t < e; }))
                    Text5->setText(msText(t));
                if (std::ranges::all_of(earlier, [t](qint32 e) { return t > e; }))
                    Text6->setText(msText(t));
            }
            RunTimes[std::size_t(i)] = t;

            services_.pause(kPauseAfterProbe);
            if (closing_)
                return; // the window was closed: the run ends with it
        }

        // The count field is read again here: an edit made during the run
        // takes effect for the sum and the average.
        const qint16 summed = platform::toInt16(Text3->text(), numbers);
        if (summed > count)
            throw RunTimeError("the count was raised during the run");
        qint32 sum = 0;
        for (qint16 j = 1; j <= summed; ++j) {
            if (qAddOverflow(sum, RunTimes[std::size_t(j)], &sum))
                throw RunTimeError("the sum of the times overflows");
        }
        const qint16 divisor = platform::toInt16(Text3->text(), numbers);
        if (divisor == 0)
            throw RunTimeError("the count was set to 0 during the run");
        Text7->setText(platform::generalText(double(sum) / divisor, numbers) + QStringLiteral(" ms"));
        Command2->setEnabled(true);
    } catch (const RunTimeError &) {
        if (socketsOpen)
            echo_.StopSockets();
        services_.messageBox({kRunErrorText, kRunErrorTitle});
    }
}
