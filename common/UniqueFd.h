#pragma once

// An owned file descriptor, closed on every path, exceptions included.

#include <utility>

#include <unistd.h>

namespace common {

class UniqueFd
{
public:
    explicit UniqueFd(int fd = -1) noexcept
        : fd_(fd)
    {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept
        : fd_(other.release())
    {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return fd_; }
    int release() noexcept { return std::exchange(fd_, -1); }
    void reset() noexcept
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    // Closes now and tells whether the close reported an error (a late write error).
    bool Close() noexcept { return ::close(release()) == 0; }

private:
    int fd_;
};

} // namespace common
