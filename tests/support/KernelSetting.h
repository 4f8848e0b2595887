// A kernel setting under /proc/sys changed for a test's duration (Linux).
#pragma once

#include "os/posix/Descriptor.h"

#include <string>

#include <sys/types.h>

namespace testsupport {

// While it lives, the kernel setting at `path` (under /proc/sys) holds
// `value`, where root may set it. The former value comes back when the object
// goes, and also when the test dies however it dies: a watcher process, out
// of the test's process group, restores it as soon as the test's end of their
// pipe closes.
class KernelSetting {
public:
    KernelSetting(const char *path, const std::string &value);
    ~KernelSetting();
    KernelSetting(const KernelSetting &) = delete;
    KernelSetting &operator=(const KernelSetting &) = delete;
    bool set() const { return watcher_ > 0; }

private:
    void restore();

    std::string path_, former_;
    os::posix::Descriptor pipe_; // our end; the watcher reads the other till it closes
    pid_t watcher_ = 0;                // its process id, 0 where nothing was set
};

} // namespace testsupport
