// The services a window borrows from its platform that tests must replace:
// message boxes, the save-file dialog, the pause between probes, and the clock.
// A Form1 takes them at construction; main() passes the Qt ones.
#pragma once

#include <QDateTime>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

namespace platform {

inline const QString kApplicationTitle = QStringLiteral("Sondar");

enum class MessageIcon { None, Warning };

// A modal box with an OK button only.
struct Message {
    QString text;
    QString title = kApplicationTitle;
    MessageIcon icon = MessageIcon::None;
};

// The save dialog's settings. The dialog confirms before an existing file is
// chosen, leaves the working folder alone, and reports cancel as no file.
struct SaveFileRequest {
    QString title;
    QString filter;   // Qt's form, "Text (*.txt)"
    QString fileName; // the proposed name
};

struct Services {
    std::function<void(const Message &)> messageBox;
    std::function<std::optional<QString>(const SaveFileRequest &)> saveFileName;
    // Waits the given time, then processes the pending window events.
    std::function<void(std::chrono::milliseconds)> pause;
    std::function<QDateTime()> now;
};

} // namespace platform
