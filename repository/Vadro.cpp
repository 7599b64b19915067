#include "repository/Vadro.h"

#include "common/Utf8.h"

#include <boost/uuid/random_generator.hpp>

#include <cerrno>
#include <vector>

#include <unistd.h>

namespace vadro {

Uuid GenerateUuid()
{
    // One generator per thread: a generator is not safe to share, and seeding one per call
    // would cost a system call each time.
    thread_local boost::uuids::random_generator generator;
    return generator();
}

VadroError::VadroError(std::wstring description)
    : description_(std::move(description))
    , utf8_(common::toUtf8(description_))
{}

} // namespace vadro

bool vadro::IContentReader::CopyTo(int fd)
{
    static const std::atomic<bool> never{false};
    return CopyTo(fd, never);
}

bool vadro::IContentReader::CopyTo(int fd, const std::atomic<bool>& stop)
{
    std::vector<char> buffer(1 << 20);
    for (;;) {
        if (stop.load(std::memory_order_relaxed)) {
            errno = ECANCELED;
            return false;
        }
        const std::size_t n = ReadChunk(buffer.data(), buffer.size());
        if (n == 0)
            return true;
        for (std::size_t done = 0; done < n;) {
            const ssize_t w = ::write(fd, buffer.data() + done, n - done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return false;
            done += static_cast<std::size_t>(w);
        }
    }
}
