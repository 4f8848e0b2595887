// What the probe benchmarks share: their command line (a loopback address and
// a count, nothing else is ever probed) and the statistics they print.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

namespace bench {

using Microseconds = std::chrono::duration<double, std::micro>;

inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The nearest-rank percentile.
inline double percentile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(values.size())));
    return values[std::max<std::size_t>(rank, 1) - 1];
}

inline double p90(std::vector<double> values)
{
    return percentile(std::move(values), 0.9);
}

// The address to probe, refused unless it is in 127.0.0.0/8.
inline std::optional<in_addr_t> loopbackTarget(const char *program, const char *text)
{
    const in_addr_t target = ::inet_addr(text);
    if (target == INADDR_NONE || (ntohl(target) >> 24) != 127) {
        std::fprintf(stderr, "%s: only loopback addresses (127.0.0.0/8) are probed\n", program);
        return std::nullopt;
    }
    return target;
}

inline std::optional<int> probeCount(const char *program, const char *text)
{
    int count = 0;
    const char *end = text + std::strlen(text);
    if (std::from_chars(text, end, count).ptr != end || count < 1) {
        std::fprintf(stderr, "%s: COUNT must be a positive number\n", program);
        return std::nullopt;
    }
    return count;
}

} // namespace bench
