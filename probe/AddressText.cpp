#include "probe/AddressText.h"

#include <algorithm>

namespace Module1 {

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

bool isMisleadingAddress(std::string_view address)
{
    if (address.find('\0') != std::string_view::npos)
        return true;
    for (std::size_t start = 0; start <= address.size();) {
        const std::size_t end = std::min(address.find('.', start), address.size());
        const std::string_view part = address.substr(start, end - start);
        if (part.size() >= 2 && part[0] == '0' && isDigit(part[1]))
            return true;
        start = end + 1;
    }
    return false;
}

} // namespace Module1
