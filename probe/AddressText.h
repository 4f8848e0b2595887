// The address field's text as inet_addr will read it, checked before it is
// parsed. No sockets and no system headers here, so that the Linux and the
// Windows echo paths refuse exactly the same texts.
#pragma once

#include <string_view>

namespace Module1 {

// True for address text that inet_addr would read as another address than
// the one it shows: a NUL inside, which cuts the text short, or a dotted part
// written with a leading zero ("010.0.0.1", "127.0.0.01"), which inet_addr
// reads as octal (8.0.0.1) where the eye reads decimal. A part that is a
// single zero, a hexadecimal part ("0x7f"), fewer parts than four ("127.1")
// and a single 32-bit number ("2130706433") say what they mean and are left
// to inet_addr.
bool isMisleadingAddress(std::string_view address);

} // namespace Module1
