// Files for the tests that write reports: a scratch folder of the test's own
// and reading a file back; on Linux also the open-descriptor count and a small
// tmpfs for the faults of a full or read-only disk.
#pragma once

#include <filesystem>
#include <string>

namespace testsupport {

// The regular file's bytes, or "<missing>" where there is none to read.
std::string fileBytes(const std::filesystem::path &path);
// Writes the bytes as the file's whole content; false where that failed.
bool writeFile(const std::filesystem::path &path, const std::string &bytes);

// A new empty folder under the system's temporary folder, removed with all it
// holds when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::filesystem::path &path() const { return path_; }
    std::filesystem::path file(const std::string &name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

#ifdef __linux__
int openDescriptors();

// A tmpfs on a folder of its own for the object's life, where root may mount.
class ScratchTmpfs {
public:
    explicit ScratchTmpfs(const char *options);
    ~ScratchTmpfs();
    ScratchTmpfs(const ScratchTmpfs &) = delete;
    ScratchTmpfs &operator=(const ScratchTmpfs &) = delete;
    bool mounted() const { return mounted_; }
    std::filesystem::path file(const std::string &name) const { return dir_.file(name); }
    bool remount(bool readOnly) const;

private:
    TempDir dir_;
    bool mounted_ = false;
};
#endif

} // namespace testsupport
