// Appending a report to a file on Windows, whole or not at all, safely beside
// other instances saving to the same file.
#pragma once

#include "runtime/FormsRuntime.h"

#include <chrono>
#include <optional>
#include <string_view>

namespace os::win32 {

using runtime::AppendFailure;
using runtime::Aftermath;
using runtime::kLockPatience;
using runtime::Text;

// Appends `bytes` to the file at `path`, created when missing. Only a disk
// file is written: a pipe, a console or a device such as NUL is refused at
// once. The writes go to the end of the file as the system finds it at each
// write, so another program's appends are never written over. While it
// appends it holds an exclusive lock on the whole file, which Windows
// enforces on every other Windows writer; a failed write takes back exactly
// the bytes this call wrote, only while the file still ends with them, and a
// file this call created is removed again while it is still that file and
// empty. Nothing on success.
[[nodiscard]] std::optional<AppendFailure> appendWhole(const Text &path, std::string_view bytes,
                                                       std::chrono::milliseconds lockPatience = kLockPatience);

} // namespace os::win32
