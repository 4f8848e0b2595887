// The text type of the window's logic.
//
// Every text the logic handles is UTF-16, held in std::u16string: the forms
// runtimes under the logic speak it natively (QString on Linux, the W
// functions of Win32 on Windows), so a text crosses into a layer and back
// without a conversion that could lose or change a character. The narrow
// code page is met only at the edges: the report file and the address handed
// to the echo service, each converted by the layer that owns that edge.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace runtime {

using Text = std::u16string;

// UTF-8 <-> UTF-16. A lone surrogate, or a byte sequence that is no UTF-8,
// becomes U+FFFD; nothing is dropped silently.
std::string toUtf8(std::u16string_view text);
Text fromUtf8(std::string_view bytes);

// The lines as a report file holds them: each in the narrow code page that
// `narrow` converts to, ended by CR LF.
template <typename Narrow>
std::string crlfLines(std::span<const Text> lines, Narrow narrow)
{
    std::string bytes;
    for (const Text &line : lines)
        bytes += narrow(line) + "\r\n";
    return bytes;
}

} // namespace runtime
