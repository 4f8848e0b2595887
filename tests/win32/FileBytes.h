// What a file holds, as the Win32 tests read it back after an append.
#pragma once

#include "platform/win32/Handle.h"

#include <windows.h>

#include <string>

// The file's bytes, read while others may still write to it, or "(missing)".
inline std::string fileBytes(const std::wstring &path)
{
    const platform::win32::KernelHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                           0, nullptr));
    if (!file.isOpen())
        return "(missing)";
    std::string bytes;
    char buffer[4096];
    DWORD count = 0;
    while (::ReadFile(file.get(), buffer, sizeof buffer, &count, nullptr) && count > 0)
        bytes.append(buffer, count);
    return bytes;
}
