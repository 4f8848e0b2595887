#include "ReportFile.h"

#include <QFile>

namespace platform {

std::optional<QString> appendLines(const QString &path, const QStringList &lines)
{
    QByteArray bytes;
    for (const QString &line : lines)
        bytes += line.toLocal8Bit() + "\r\n";

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return file.errorString();
    const qint64 formerSize = file.isSequential() ? 0 : file.size();
    for (qint64 written = 0; written < bytes.size();) {
        // A short write is followed by one more, which then tells why.
        const qint64 count = file.write(bytes.constData() + written, bytes.size() - written);
        if (count <= 0) {
            const QString reason = file.errorString();
            if (!file.isSequential())
                file.resize(formerSize);
            return reason;
        }
        written += count;
    }
    return std::nullopt;
}

} // namespace platform
