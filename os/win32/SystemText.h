// The system's texts on Windows: the logic's UTF-16 text as the W functions
// take it, the system's messages, its general date, decimal mark and ANSI
// code page.
#pragma once

#include "runtime/Text.h"

#include <windows.h>

#include <string>

namespace os::win32 {

using runtime::Text;

// wchar_t is 16 bits on Windows: the logic's text crosses unchanged.
static_assert(sizeof(wchar_t) == sizeof(char16_t));

inline std::wstring wide(const Text &text)
{
    return std::wstring(reinterpret_cast<const wchar_t *>(text.data()), text.size());
}

inline Text ownText(const wchar_t *text, std::size_t length)
{
    return Text(reinterpret_cast<const char16_t *>(text), length);
}

// The system's message for an error code, without its closing full stop.
Text systemErrorText(DWORD error);

// The local time in the user's general date format: short date, a blank and
// the time; at exactly midnight the date alone.
Text generalDate(const SYSTEMTIME &time);

// The user's decimal mark.
Text decimalMark();

// The text in the system's ANSI code page; a character the code page lacks
// becomes the code page's default character.
std::string ansiText(const Text &text);

} // namespace os::win32
