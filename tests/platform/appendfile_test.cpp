// Appending a report on Linux: whole lines or nothing, on regular files only,
// never blocking on a pipe or a lock for good, and never leaving part of a
// report behind when the disk or a limit stops it.
#include "TestFiles.h"
#include "platform/posix/AppendFile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>

using namespace testsupport;
using platform::posix::appendWhole;

namespace {

constexpr std::chrono::milliseconds kShortPatience{100};

// Holds a descriptor for the object's life.
class OpenFile {
public:
    OpenFile(const std::filesystem::path &path, int flags) : fd_(::open(path.c_str(), flags | O_CLOEXEC, 0666)) {}
    ~OpenFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    OpenFile(const OpenFile &) = delete;
    OpenFile &operator=(const OpenFile &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

bool setInodeFlags(const std::filesystem::path &path, int flags)
{
    const OpenFile file(path, O_RDONLY);
    return file.get() >= 0 && ::ioctl(file.get(), FS_IOC_SETFLAGS, &flags) == 0;
}

// The file's bytes before and after a failed append must agree; so must the
// process's open descriptors.
void expectRefused(const std::string &path, const std::string &bytes, std::chrono::milliseconds patience = kShortPatience)
{
    const std::string before = fileBytes(path);
    const int descriptors = openDescriptors();
    const auto failure = appendWhole(path, bytes, patience);
    ASSERT_TRUE(failure.has_value());
    EXPECT_FALSE(failure->reason.empty());
    EXPECT_TRUE(failure->restored);
    EXPECT_EQ(fileBytes(path), before);
    EXPECT_EQ(openDescriptors(), descriptors);
}

} // namespace

TEST(AppendWhole, AppendsTheBytes)
{
    const struct {
        const char *name;
        std::optional<std::string> before; // nothing: no such file yet
        std::string bytes;
        std::string after;
    } rows[] = {
        {"creates a missing file", {}, " \r\nPinging\r\n", " \r\nPinging\r\n"},
        {"keeps what was there", "old report\r\n", "new\r\n", "old report\r\nnew\r\n"},
        {"after a last line without an end", "no end", "x\r\n", "no endx\r\n"},
        {"empty lines", "", "\r\n\r\n\r\n", "\r\n\r\n\r\n"},
        {"UTF-8 as it is", {}, "試験場所　一\r\n", "試験場所　一\r\n"},
    };
    const TempDir dir;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const auto path = dir.file(row.name);
        if (row.before) {
            ASSERT_TRUE(writeFile(path, *row.before));
        }
        EXPECT_EQ(appendWhole(path, row.bytes), std::nullopt);
        EXPECT_EQ(fileBytes(path), row.after);
    }
}

// Each fault fails at once (or within the lock patience), says why, and
// leaves the file and the process's descriptors as they were. Past the
// file-size limit the write fails instead of ending the process, and the
// bytes written up to the limit are taken back.
TEST(AppendWhole, RefusesWhatItCannotWrite)
{
    const TempDir dir;
    const std::filesystem::path file = dir.file("report.txt");
    ASSERT_TRUE(writeFile(file, "earlier\r\n"));
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    std::optional<OpenFile> otherWriter;
    rlimit former{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &former), 0);
    const auto limitFileSize = [&](rlim_t bytes) {
        rlimit limited = former;
        limited.rlim_cur = bytes;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    };
    const auto none = [] {};

    const struct {
        const char *name;
        std::string path;
        std::function<void()> arrange, undo;
    } rows[] = {
        {"missing folder", dir.file("gone/report.txt"), none, none},
        {"a folder", dir.path(), none, none},
        {"a character device", "/dev/full", none, none},
        {"NUL in the name", file.string() + std::string(1, '\0') + "x", none, none},
        {"a pipe without a reader", dir.file("fifo"), none, none},
        {"locked by another writer", file,
         [&] { ASSERT_EQ(::flock(otherWriter.emplace(file, O_RDONLY).get(), LOCK_EX), 0); },
         [&] { otherWriter.reset(); }},
        {"file-size limit", file, [&] { limitFileSize(1000); }, [&] { limitFileSize(former.rlim_cur); }},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        row.arrange();
        const auto start = std::chrono::steady_clock::now();
        expectRefused(row.path, std::string(4096, 'r'));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        row.undo();
    }
    EXPECT_EQ(appendWhole(file, "x\r\n"), std::nullopt);
    EXPECT_EQ(fileBytes(file), "earlier\r\nx\r\n");
}

// The report file on a small tmpfs of the test's own changes between two
// saves. A fault fails the save and leaves the file as it was; once the fault
// is lifted the whole report goes in.
TEST(AppendWholeNeedsRoot, FaultsOfTheDisk)
{
    const struct {
        const char *name;
        bool appends; // the append works despite the change
    } rows[] = {{"append-only", true}, {"immutable", false}, {"device filled", false},
                {"runs out of room part way", false}, {"read-only", false}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const std::string fault = row.name;
        ScratchTmpfs scratch("size=64k");
        if (!scratch.mounted())
            GTEST_SKIP() << "needs root to mount a small tmpfs";
        const auto path = scratch.file("report.txt");
        const auto filler = scratch.file("filler");
        ASSERT_TRUE(writeFile(path, std::string(fault == "runs out of room part way" ? 40 * 1024 : 10, 'e')));
        std::string bytes(10 * 1024, 'r');
        std::function<void()> liftFault = [] {};

        if (fault == "append-only" || fault == "immutable") {
            if (!setInodeFlags(path, fault == "immutable" ? FS_IMMUTABLE_FL : FS_APPEND_FL))
                GTEST_SKIP() << "this tmpfs keeps no inode flags";
            liftFault = [&] { setInodeFlags(path, 0); };
        } else if (fault == "device filled") {
            std::ofstream fill(filler, std::ios::binary);
            const std::string block(4096, 'f');
            while (fill.write(block.data(), std::streamsize(block.size())) && fill.flush()) {
            }
            liftFault = [&] { std::filesystem::remove(filler); };
        } else if (fault == "runs out of room part way") {
            bytes = std::string(60 * 1024, 'r');
            liftFault = [&] { bytes.resize(1024); };
        } else {
            ASSERT_TRUE(scratch.remountReadOnly());
            liftFault = [&] { ASSERT_EQ(::mount("sondar-test", path.parent_path().c_str(), "tmpfs", MS_REMOUNT, nullptr), 0); };
        }

        const std::string before = fileBytes(path);
        if (row.appends) {
            EXPECT_EQ(appendWhole(path, bytes), std::nullopt);
            EXPECT_EQ(fileBytes(path), before + bytes);
        } else {
            expectRefused(path, bytes);
            liftFault();
            EXPECT_EQ(appendWhole(path, bytes), std::nullopt);
            EXPECT_EQ(fileBytes(path), before + bytes);
        }
        liftFault();
    }
}
