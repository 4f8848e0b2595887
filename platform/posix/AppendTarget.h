// The file a report is appended to on a POSIX system: which names a save
// refuses, and whether the save created the file it writes.
#pragma once

#include "platform/FormsRuntime.h"
#include "platform/posix/Descriptor.h"

#include <string>
#include <variant>

namespace platform::posix {

// The system's own words for the error number `error`.
Text errorText(int error);

// The reason given for anything but a regular file of a real file system.
inline const Text kNotARegularFile = u"not a regular file";

struct AppendTarget {
    Descriptor folder;    // the folder that holds the name (O_PATH)
    std::string name;     // the path's last component, within `folder`
    Descriptor file;      // open for appending
    bool created = false; // this open created the file
};

// Opens the file at `path` for appending, creating it (mode 0666 less the
// umask) where the name is free. Refused, before anything is opened for
// writing:
// - a pipe, a device, a folder or a socket, since opening one can act on it
//   (a tape rewinds, a watchdog arms), and a file of a pseudo file system
//   (procfs, sysfs and the like), whose "file" is a knob of the kernel;
// - a symbolic link as the last component, in a sticky folder that everyone
//   may write to, whose owner is neither the caller nor the folder's owner:
//   another user's link, planted to send the report where they choose. The
//   kernel refuses the same where fs.protected_symlinks is set.
// A FIFO that takes the file's place meanwhile fails at once instead of
// blocking until someone reads it.
std::variant<AppendTarget, AppendFailure> openForAppend(const std::string &path);

// Removes the file that `target` created, where its name still leads to that
// very file (same device and inode) and it is still empty. False where it
// stays.
bool removeCreated(const AppendTarget &target);

} // namespace platform::posix
