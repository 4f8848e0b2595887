// The file a report is appended to on a POSIX system: which names a save
// refuses, and whether the save created the file it writes.
#pragma once

#include "runtime/FormsRuntime.h"
#include "os/posix/Descriptor.h"

#include <optional>
#include <string>
#include <variant>

#include <sys/stat.h>

namespace os::posix {

using runtime::AppendFailure;
using runtime::Aftermath;
using runtime::Text;

// The system's own words for the error number `error`.
Text errorText(int error);

// The reasons a save gives for what it refuses to write.
inline const Text kNotARegularFile = u"not a regular file";
inline const Text kForeignLink = u"a symbolic link that another user made in a shared folder";
inline const Text kForeignFile = u"a file that another user made in a shared folder";
inline const Text kLinkedFile = u"a file in a shared folder that has another name as well (a hard link)";

// The kernel's protections of shared folders, applied here whatever the
// system's settings are: the reason `entry`, a symbolic link or the file to
// write, named in `folder`, is refused to the user `caller`, or nothing.
// - A link in a sticky folder that everyone may write to is followed only
//   where the caller or the folder's owner owns it (fs.protected_symlinks=1).
// - The file, in a sticky folder that everyone or its group may write to, is
//   written only where the caller or the folder's owner owns it
//   (fs.protected_regular=2),
// - and only where it has no other name, even the caller's own file: where
//   fs.protected_hardlinks is or was off, anyone may have made that name to
//   lead the report into another file, and who did can't be told.
std::optional<Text> sharedFolderRefusal(const struct stat &folder, const struct stat &entry, uid_t caller);

struct AppendTarget {
    Descriptor folder;    // the folder that holds the file (O_PATH)
    std::string name;     // the file's name within `folder`, no link
    Descriptor file;      // open for appending
    bool created = false; // this open created the file
};

// Opens the file at `path` for appending, creating it (mode 0666 less the
// umask) where the name is free. The path is walked here a component at a
// time, following its links (at most as many as the kernel would), so that
// every link and the file itself meet sharedFolderRefusal. Refused, with
// nothing opened for writing, so that no open acts on anything:
// - a pipe, a device, a folder or a socket, since opening one can act on it
//   (a tape rewinds, a watchdog arms), and a file of a pseudo file system
//   (procfs, sysfs and the like), whose "file" is a knob of the kernel or of
//   a driver; a new name is not made in a pseudo file system's folder
//   either, where making one makes a kernel object;
// - what sharedFolderRefusal refuses.
// An existing file is judged through a descriptor that can't read or write
// (O_PATH), and only what was judged is then opened for writing.
std::variant<AppendTarget, AppendFailure> openForAppend(const std::string &path);

// Removes the file that `target` created, where its name still leads to that
// very file (same device and inode) and it is still empty. False where it
// stays.
bool removeCreated(const AppendTarget &target);

} // namespace os::posix
