// A Form1 on a scripted network, with services that record instead of
// blocking: tests click the real widgets, headless, and nothing waits.
#pragma once

#include "Form1.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// The boxes the window shows, as the user reads them.
inline const QString kRunErrorText = QStringLiteral("　実行エラーが発生しました。　処理が中断しました。");
inline const QString kRunErrorTitle = QStringLiteral("エラーメッセージ");
inline const QString kSavedText = QStringLiteral("　保存しました。　　　　　");

// Answers each probe from a script; past its end every probe gets a 1 ms reply.
class ScriptedEcho final : public Module1::EchoService
{
public:
    struct Answer {
        Module1::ProbeStatus status = 0;
        std::int32_t roundTripTime = 1;
    };

    QList<Answer> answers;
    QList<bool> socketsOpen; // StartSockets results in order; past the end: true
    int starts = 0;
    int stops = 0;
    std::vector<std::string> addresses;
    std::vector<std::string> payloads;

    bool StartSockets() override { return socketsOpen.value(starts++, true); }
    Module1::ProbeStatus SendEcho(const std::string &address, const std::string &payload,
                                  Module1::EchoReply &reply) override
    {
        const Answer answer = answers.value(int(addresses.size()), Answer{});
        addresses.push_back(address);
        payloads.push_back(payload);
        if (answer.status < 0)
            return answer.status; // nothing sent, the record untouched
        reply.Status = answer.status;
        reply.RoundTripTime = answer.roundTripTime;
        return answer.status;
    }
    void StopSockets() override { ++stops; }
};

Q_DECLARE_METATYPE(ScriptedEcho::Answer)

class FormHarness
{
public:
    ScriptedEcho echo;
    QList<platform::Message> messages;
    QList<platform::SaveFileRequest> dialogs;
    std::optional<QString> chosenFile;
    // Runs while the save dialog is open, before it answers.
    std::function<void()> whileDialogOpen;
    QList<std::chrono::milliseconds> pauses;
    // Runs inside the n-th pause (counted from 1), where the window takes input.
    std::function<void(int n)> duringPause;
    QDateTime now{QDate(2026, 12, 7), QTime(9, 5, 3)};
    std::unique_ptr<Form1> form;

    // The window probes through `network`, or through `echo` when none is given.
    explicit FormHarness(Module1::EchoService *network = nullptr)
    {
        platform::Services services{
            [this](const platform::Message &message) { messages << message; },
            [this](const platform::SaveFileRequest &request) {
                dialogs << request;
                if (whileDialogOpen)
                    whileDialogOpen();
                return chosenFile;
            },
            [this](std::chrono::milliseconds duration) {
                pauses << duration;
                if (duringPause)
                    duringPause(int(pauses.size()));
                QCoreApplication::processEvents();
            },
            [this] { return now; }};
        form = std::make_unique<Form1>(network ? *network : echo, std::move(services));
        form->setLocale(QLocale(QLocale::English, QLocale::UnitedStates));
        form->show();
    }

    template <typename T = QWidget>
    T *find(const char *name) const
    {
        T *widget = form->findChild<T *>(QLatin1String(name));
        if (!widget)
            qFatal("no control %s", name);
        return widget;
    }
    QString text(const char *name) const { return find<QLineEdit>(name)->text(); }
    void setText(const char *name, const QString &text) const { find<QLineEdit>(name)->setText(text); }
    void click(const char *name) const { QTest::mouseClick(find<QPushButton>(name), Qt::LeftButton); }
    bool enabled(const char *name) const { return find(name)->isEnabled(); }
    QStringList lines() const
    {
        QStringList lines;
        const auto *list = find<QListWidget>("List1");
        for (int i = 0; i < list->count(); ++i)
            lines << list->item(i)->text();
        return lines;
    }
    // A finished run of `count` probes with the given answers.
    void run(const QString &address, const QString &count, QList<ScriptedEcho::Answer> answers = {})
    {
        echo.answers = std::move(answers);
        setText("Text1", address);
        setText("Text3", count);
        click("Command1");
    }
};
