// Files for the tests that write reports: reading a file back, and a small
// tmpfs of the test's own for the faults of a full or read-only disk.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

#include <sys/mount.h>
#include <unistd.h>

// The file's bytes, or "<missing>" where it cannot be read.
inline QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// A tmpfs mounted on a temporary folder for the test's lifetime. Only root may
// mount one: mounted() tells whether it is there.
class ScratchTmpfs
{
public:
    explicit ScratchTmpfs(const char *options = "size=256k")
    {
        mounted_ = geteuid() == 0 && mount("sondar-test", where().constData(), "tmpfs", 0, options) == 0;
    }
    ~ScratchTmpfs()
    {
        if (mounted_)
            umount(where().constData());
    }
    ScratchTmpfs(const ScratchTmpfs &) = delete;
    ScratchTmpfs &operator=(const ScratchTmpfs &) = delete;

    bool mounted() const { return mounted_; }
    QString filePath(const QString &name) const { return dir_.filePath(name); }
    bool remountReadOnly() const
    {
        return mount("sondar-test", where().constData(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

private:
    QByteArray where() const { return QFile::encodeName(dir_.path()); }

    QTemporaryDir dir_;
    bool mounted_ = false;
};
