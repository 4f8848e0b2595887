// Appending a report to a file on a POSIX system, whole or not at all, safely
// beside other instances saving to the same file.
#pragma once

#include "platform/FormsRuntime.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace platform::posix {

// Appends `bytes` to the file at `path` (created with mode 0666 less the umask
// when missing). Only a regular file is written: a pipe, a device or a folder
// is refused at once, without waiting for a reader. While it appends it holds
// an exclusive advisory lock (flock) on the file, so that two instances never
// interleave, and a failed write removes exactly the bytes this call wrote,
// never bytes another writer added. A file-size limit fails the write instead
// of ending the process. Nothing on success.
[[nodiscard]] std::optional<AppendFailure> appendWhole(const std::string &path, std::string_view bytes,
                                                       std::chrono::milliseconds lockPatience = kLockPatience);

} // namespace platform::posix
