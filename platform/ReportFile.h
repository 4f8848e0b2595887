#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace platform {

// Appends the lines to the file in one write, each in the system's narrow code
// page (UTF-8 on Linux, the ANSI code page on Windows) and ended by CR LF. A
// missing file is created; what the file already holds is never changed. When
// the write fails, the file is cut back to its former length and the reason is
// returned; nothing is returned on success.
[[nodiscard]] std::optional<QString> appendLines(const QString &path, const QStringList &lines);

} // namespace platform
