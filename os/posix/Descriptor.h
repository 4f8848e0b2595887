// An owned file descriptor (a socket, a pipe's end, a file), closed when its
// owner goes. Every descriptor the program opens is held by one of these.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <utility>

namespace os::posix {

class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(Descriptor &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor &operator=(Descriptor &&other) noexcept
    {
        std::swap(fd_, other.fd_);
        return *this;
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor() { reset(); }

    int get() const { return fd_; }
    bool isOpen() const { return fd_ >= 0; }
    // Closes it now rather than with its owner.
    void reset()
    {
        if (fd_ >= 0)
            ::close(std::exchange(fd_, -1));
    }

private:
    int fd_ = -1;
};

// A pipe's two ends, each owned.
struct Pipe {
    Descriptor read, write;
};

// A new pipe (pipe2 with `flags`); neither end open where the system refuses
// one.
inline Pipe openPipe(int flags = O_CLOEXEC)
{
    int ends[2];
    if (::pipe2(ends, flags) != 0)
        return {};
    return {Descriptor(ends[0]), Descriptor(ends[1])};
}

} // namespace os::posix
