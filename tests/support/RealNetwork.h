// The real echo service under test, kept on this machine: a network namespace
// of the test's own with only a loopback, and a child process for what cannot
// be undone (giving up root). Linux only; the namespace needs root.
#pragma once

#include "os/posix/Descriptor.h"

#include <functional>
#include <string>

namespace testsupport {

inline constexpr const char *kNoNamespace = "needs root to make a network namespace of its own";

// While it lives, the process works in a new network namespace whose only
// interface is its loopback, up; no packet can leave it. With a
// `pingGroupRange` ("1 0": nobody) the namespace allows datagram echo sockets
// to that range of groups only. Back in the former namespace at the end; the
// new one goes with its last user.
class OwnNetwork {
public:
    explicit OwnNetwork(const char *pingGroupRange = nullptr);
    ~OwnNetwork();
    OwnNetwork(const OwnNetwork &) = delete;
    OwnNetwork &operator=(const OwnNetwork &) = delete;

    bool entered() const { return entered_; }

private:
    os::posix::Descriptor home_;
    bool entered_ = false;
};

// Runs `body` in a child process and gives back what it returned, or how the
// child ended where it returned nothing.
std::string inChild(const std::function<std::string()> &body);

// Makes the calling process uid and gid 65534 with no groups and no
// capabilities, for good; false where that failed.
bool becomeNobody();

} // namespace testsupport
