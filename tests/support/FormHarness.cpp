#include "FormHarness.h"

namespace testsupport {

std::string replyLine(int ms, std::string_view address, std::string_view size)
{
    const std::string time = ms == 0 ? "< 10" : "= " + std::to_string(ms);
    return "Reply from " + std::string(address) + " : Bytes = " + std::string(size) + " Time " + time
            + " ms  TTL = 128";
}

std::string boxText(const platform::Message &message)
{
    const char *icon = message.icon == platform::MessageIcon::None ? "" : " (!)";
    return platform::toUtf8(message.title) + icon + ": " + platform::toUtf8(message.text);
}

std::vector<std::string> FormHarness::lines() const
{
    std::vector<std::string> out;
    for (const platform::Text &line : runtime.list)
        out.push_back(platform::toUtf8(line));
    return out;
}

std::vector<std::string> FormHarness::boxes() const
{
    std::vector<std::string> out;
    for (const platform::Message &message : runtime.messages)
        out.push_back(boxText(message));
    return out;
}

} // namespace testsupport
