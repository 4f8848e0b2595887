#include "probe/linux/HelperProtocol.h"

#include <cstring>

namespace Module1 {

namespace {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The first part of an address in network byte order.
unsigned firstByte(std::uint32_t address)
{
    unsigned char bytes[4];
    std::memcpy(bytes, &address, sizeof bytes);
    return bytes[0];
}

} // namespace

std::optional<std::uint32_t> parseDottedDecimal(std::string_view text)
{
    unsigned char bytes[4];
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = part < 3 ? text.find('.') : text.size();
        if (dot == std::string_view::npos)
            return std::nullopt;
        const std::string_view digits = text.substr(0, dot);
        if (digits.empty() || digits.size() > 3 || (digits.size() > 1 && digits.front() == '0'))
            return std::nullopt;
        const auto value = parseDecimal<unsigned>(digits);
        if (!value || *value > 255)
            return std::nullopt;
        bytes[part] = static_cast<unsigned char>(*value);
        text.remove_prefix(part < 3 ? dot + 1 : dot);
    }
    std::uint32_t address;
    std::memcpy(&address, bytes, sizeof address);
    return address;
}

std::string dottedDecimal(std::uint32_t address)
{
    unsigned char bytes[4];
    std::memcpy(bytes, &address, sizeof bytes);
    return std::to_string(bytes[0]) + '.' + std::to_string(bytes[1]) + '.' + std::to_string(bytes[2]) + '.'
        + std::to_string(bytes[3]);
}

std::variant<HelperRequest, std::string> parseHelperArguments(std::span<const char *const> arguments)
{
    if (arguments.size() != 2)
        return std::string("usage: sondar-echo ADDRESS PAYLOAD_HEX (exactly two arguments)");
    const auto target = parseDottedDecimal(arguments[0]);
    if (!target)
        return std::string("the address must be a numeric IPv4 address in dotted decimal, such as 127.0.0.1");
    if (*target == 0xffffffff)
        return std::string("the broadcast address 255.255.255.255 is refused");
    if (firstByte(*target) >= 224)
        return std::string("multicast (224.0.0.0/4) and reserved (240.0.0.0/4) addresses are refused");
    const std::string_view hex = arguments[1];
    if (hex.size() > 2 * kMaxPayload)
        return "the payload is longer than " + std::to_string(kMaxPayload) + " bytes";
    HelperRequest request{*target, {}};
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = hexDigit(hex[i]);
        const int low = i + 1 < hex.size() ? hexDigit(hex[i + 1]) : -1;
        if (high < 0 || low < 0)
            return std::string("the payload must be hexadecimal, two digits a byte");
        request.payload += static_cast<char>(high << 4 | low);
    }
    return request;
}

std::string formatHelperReport(const EchoOutcome &outcome)
{
    return "status=" + std::to_string(outcome.status) + " rtt_ns=" + std::to_string(outcome.roundTrip.count())
        + " from=" + dottedDecimal(outcome.from) + "\n";
}

} // namespace Module1
