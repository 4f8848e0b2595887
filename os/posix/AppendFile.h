// Appending a report to a file on a POSIX system, whole or not at all, safely
// beside other instances saving to the same file.
#pragma once

#include "runtime/FormsRuntime.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace os::posix {

using runtime::kLockPatience;

using runtime::AppendFailure;
using runtime::Aftermath;
using runtime::Text;

// How an append waits for another program's lock on the file: the time it
// may spend, in pauses between two tries. The pauses it was given are the
// time it waited.
struct LockWait {
    std::chrono::milliseconds patience = kLockPatience;
    std::chrono::milliseconds step{20};
    std::function<void(std::chrono::milliseconds)> pause = sleepFor;

    static void sleepFor(std::chrono::milliseconds duration);
};

// Appends `bytes` to the file at `path`, which openForAppend (AppendTarget.h)
// opens: only a regular file of a real file system, never through another
// user's link in a shared folder anywhere on the path, nor into a file there
// that another user left or that has a second name. While it appends it
// holds exclusive advisory locks on the whole file, a flock and a record lock
// (which wine's Windows programs see), so that two instances never
// interleave, and a failed write removes exactly the bytes this call wrote,
// never bytes another writer added; a file this call created is removed
// again. A file-size limit fails the write instead of ending the process.
// Nothing on success.
[[nodiscard]] std::optional<AppendFailure> appendWhole(const std::string &path, std::string_view bytes,
                                                       const LockWait &wait = {});

} // namespace os::posix
