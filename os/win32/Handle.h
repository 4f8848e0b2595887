// An owned Windows handle, given back with its kind's own function when its
// owner goes. A kind names the handle's type, the value that holds none, and
// how it is given back:
//   struct Kind { using Value = ...; static Value none(); static void close(Value); };
#pragma once

#include <windows.h>

#include <utility>

namespace os::win32 {

template <typename Kind>
class Handle {
public:
    using Value = typename Kind::Value;

    Handle() = default;
    explicit Handle(Value value) : value_(value) {}
    Handle(Handle &&other) noexcept : value_(std::exchange(other.value_, Kind::none())) {}
    Handle &operator=(Handle &&other) noexcept
    {
        std::swap(value_, other.value_);
        return *this;
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    ~Handle()
    {
        if (isOpen())
            Kind::close(value_);
    }

    Value get() const { return value_; }
    bool isOpen() const { return value_ != Kind::none(); }

private:
    Value value_ = Kind::none();
};

// A kernel object such as a file, closed with CloseHandle.
struct KernelObjectKind {
    using Value = HANDLE;
    static Value none() { return INVALID_HANDLE_VALUE; }
    static void close(Value handle) { ::CloseHandle(handle); }
};
using KernelHandle = Handle<KernelObjectKind>;

// A GDI object (a brush, a font), deleted with DeleteObject.
template <typename Object>
struct GdiObjectKind {
    using Value = Object;
    static Value none() { return nullptr; }
    static void close(Value object) { ::DeleteObject(object); }
};
template <typename Object>
using GdiObject = Handle<GdiObjectKind<Object>>;

} // namespace os::win32
