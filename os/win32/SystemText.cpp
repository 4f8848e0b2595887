#include "os/win32/SystemText.h"

#include <climits>

namespace os::win32 {
namespace {

// Asks a W function that fills a buffer for its text: first its length
// (with the closing NUL), then the text.
template <typename Fill>
Text filled(Fill fill)
{
    const int length = fill(nullptr, 0);
    if (length <= 0)
        return {};
    std::wstring buffer(std::size_t(length), L'\0');
    const int written = fill(buffer.data(), length);
    return written > 0 ? ownText(buffer.data(), std::size_t(written - 1)) : Text();
}

} // namespace

Text systemErrorText(DWORD error)
{
    wchar_t *message = nullptr;
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                              | FORMAT_MESSAGE_IGNORE_INSERTS,
                                          nullptr, error, 0, reinterpret_cast<wchar_t *>(&message), 0, nullptr);
    Text text = length > 0 ? ownText(message, length) : u"error " + runtime::fromUtf8(std::to_string(error));
    ::LocalFree(message);
    // The box that shows it ends the sentence itself.
    while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r' || text.back() == u' '
                             || text.back() == u'.' || text.back() == u'\u3002'))
        text.pop_back();
    return text;
}

Text generalDate(const SYSTEMTIME &time)
{
    Text text = filled([&](wchar_t *buffer, int size) {
        return ::GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &time, nullptr, buffer, size, nullptr);
    });
    if (time.wHour == 0 && time.wMinute == 0 && time.wSecond == 0)
        return text;
    return text + u' ' + filled([&](wchar_t *buffer, int size) {
        return ::GetTimeFormatEx(LOCALE_NAME_USER_DEFAULT, 0, &time, nullptr, buffer, size);
    });
}

Text decimalMark()
{
    const Text mark = filled([](wchar_t *buffer, int size) {
        return ::GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, buffer, size);
    });
    return mark.empty() ? Text(u".") : mark;
}

std::string ansiText(const Text &text)
{
    if (text.empty() || text.size() > std::size_t(INT_MAX / 4))
        return {};
    const std::wstring source = wide(text);
    const int length = ::WideCharToMultiByte(CP_ACP, 0, source.data(), int(source.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(std::size_t(length > 0 ? length : 0), '\0');
    if (length > 0)
        ::WideCharToMultiByte(CP_ACP, 0, source.data(), int(source.size()), bytes.data(), length, nullptr, nullptr);
    return bytes;
}

} // namespace os::win32
