#include "TestFiles.h"

#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#ifdef __linux__
#include <sys/mount.h>
#include <unistd.h>
#endif

namespace testsupport {

std::string fileBytes(const std::filesystem::path &path)
{
    // Only a regular file: a pipe or a device would block or never end.
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        return "<missing>";
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return "<missing>";
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

bool writeFile(const std::filesystem::path &path, const std::string &bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    return file.write(bytes.data(), std::streamsize(bytes.size())) && file.flush();
}

TempDir::TempDir()
{
    std::mt19937_64 pick(std::random_device{}());
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        path_ = base / ("sondar-test-" + std::to_string(pick() % 1'000'000'000));
        if (std::filesystem::create_directory(path_))
            return;
    }
    throw std::runtime_error("no new folder under " + base.string());
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

#ifdef __linux__
int openDescriptors()
{
    const auto entries = std::filesystem::directory_iterator("/proc/self/fd");
    return int(std::distance(begin(entries), end(entries))) - 1; // less the iterator's own
}

ScratchTmpfs::ScratchTmpfs(const char *options)
    : mounted_(::geteuid() == 0 && ::mount("sondar-test", dir_.path().c_str(), "tmpfs", 0, options) == 0)
{
}

ScratchTmpfs::~ScratchTmpfs()
{
    if (mounted_)
        ::umount(dir_.path().c_str());
}

bool ScratchTmpfs::remount(bool readOnly) const
{
    return ::mount("sondar-test", dir_.path().c_str(), "tmpfs", MS_REMOUNT | (readOnly ? MS_RDONLY : 0), nullptr) == 0;
}
#endif

} // namespace testsupport
