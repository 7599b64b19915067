#include "common/RegularFile.h"

#include "common/UniqueFd.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace common {
namespace {

FileRead Refused(const std::string& why)
{
    FileRead result;
    result.state = FileRead::State::Refused;
    result.error = why;
    return result;
}

} // namespace

FileRead ReadRegularFile(const std::filesystem::path& file, std::uint64_t maxBytes)
{
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer for ever.
    int fd;
    do
        fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    while (fd < 0 && errno == EINTR);
    const UniqueFd d(fd);
    if (d.get() < 0) {
        if (errno == ENOENT)
            return {};
        return Refused(std::strerror(errno));
    }
    struct stat st
    {};
    if (::fstat(d.get(), &st) != 0)
        return Refused(std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return Refused(S_ISDIR(st.st_mode) ? "it is a folder, not a file" : "it is not a regular file");

    const std::string tooLarge = "it is larger than " + std::to_string(maxBytes) + " bytes";
    if (static_cast<std::uint64_t>(st.st_size) > maxBytes)
        return Refused(tooLarge);

    FileRead result;
    result.state = FileRead::State::Read;
    if (st.st_size > 0)
        result.bytes.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(d.get(), buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Refused(std::strerror(errno));
        }
        // A file that grows while it is read is held to the same bound.
        if (result.bytes.size() + static_cast<std::uint64_t>(n) > maxBytes)
            return Refused(tooLarge);
        result.bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return result;
}

} // namespace common
