// Appending a report to a file on Windows, whole or not at all, safely beside
// other instances saving to the same file.
#pragma once

#include "platform/FormsRuntime.h"

#include <chrono>
#include <optional>
#include <string_view>

namespace platform::win32 {

// Appends `bytes` to the file at `path`, created when missing. Only a disk
// file is written: a pipe, a console or a device such as NUL is refused at
// once. While it appends it holds an exclusive lock on the whole file, which
// Windows enforces on every other writer, and a failed write takes back
// exactly the bytes this call wrote, only while they are still the end of
// the file. Nothing on success.
[[nodiscard]] std::optional<AppendFailure> appendWhole(const Text &path, std::string_view bytes,
                                                       std::chrono::milliseconds lockPatience = kLockPatience);

} // namespace platform::win32
