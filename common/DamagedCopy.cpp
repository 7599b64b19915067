#include "common/DamagedCopy.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace common {
namespace {

std::string stampOfNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
    return text;
}

// The candidate names beside the file, one per attempt.
std::filesystem::path copyName(const std::filesystem::path& file, const std::string& stamp, int attempt)
{
    std::string name = file.filename().string() + ".damaged-" + stamp;
    if (attempt > 1)
        name += "-" + std::to_string(attempt);
    return file.parent_path() / name;
}

constexpr int kAttempts = 100;

} // namespace

std::filesystem::path KeepDamagedCopy(const std::filesystem::path& file, const std::string& bytes, std::string& error)
{
    const std::string stamp = stampOfNow();
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        const std::filesystem::path copy = copyName(file, stamp, attempt);
        const int fd = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            error = std::strerror(errno);
            return {};
        }
        // The umask may have taken bits away; the copy is the owner's alone, exactly.
        bool ok = ::fchmod(fd, 0600) == 0;
        for (std::size_t done = 0; ok && done < bytes.size();) {
            const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            ok = n > 0;
            if (ok)
                done += static_cast<std::size_t>(n);
        }
        ok = ok && ::fsync(fd) == 0;
        if (!ok)
            error = std::strerror(errno);
        if (::close(fd) != 0 && ok) {
            ok = false;
            error = std::strerror(errno);
        }
        if (ok)
            return copy;
        ::unlink(copy.c_str());
        return {};
    }
    error = "no free name beside the file";
    return {};
}

std::filesystem::path MoveDamagedAside(const std::filesystem::path& file, std::string& error)
{
    const std::string stamp = stampOfNow();
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        const std::filesystem::path aside = copyName(file, stamp, attempt);
        // RENAME_NOREPLACE: a name that is already taken is never replaced.
        if (::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0)
            return aside;
        if (errno == EEXIST)
            continue;
        error = std::strerror(errno);
        return {};
    }
    error = "no free name beside the file";
    return {};
}

} // namespace common
