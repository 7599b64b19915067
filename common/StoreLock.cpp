#include "common/StoreLock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace common {
namespace {

std::string describe(const std::filesystem::path& path, const std::string& why)
{
    return path.string() + ": " + why;
}

} // namespace

std::filesystem::path StoreLock::LockPathOf(const std::filesystem::path& file)
{
    std::filesystem::path lock = file;
    lock += ".lock";
    return lock;
}

StoreLock::StoreLock(const std::filesystem::path& file, Open open)
    : path_(LockPathOf(file))
{
    if (open == Open::Create && path_.has_parent_path()) {
        std::error_code ec;
        std::filesystem::create_directories(path_.parent_path(), ec);
        if (ec) {
            error_ = describe(path_.parent_path(), ec.message());
            return;
        }
    }
    // O_NOFOLLOW: a symbolic link in place of the lock file is refused, never written
    // through. O_NONBLOCK: a FIFO planted there cannot make the open wait. O_CLOEXEC:
    // commands the program starts must not inherit, and so keep, the lock.
    const int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (open == Open::Create ? O_CREAT : 0);
    int fd;
    do
        fd = ::open(path_.c_str(), flags, 0600);
    while (fd < 0 && errno == EINTR);
    UniqueFd opened(fd);
    if (opened.get() < 0) {
        const int openError = errno;
        if (openError == ENOENT && open == Open::ExistingOnly)
            return;
        error_ = describe(path_, openError == ELOOP ? "is a symbolic link" : std::strerror(openError));
        return;
    }
    struct stat st = {};
    if (::fstat(opened.get(), &st) != 0) {
        error_ = describe(path_, std::strerror(errno));
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        error_ = describe(path_, "is not a regular file");
        return;
    }
    if (st.st_uid != ::geteuid()) {
        error_ = describe(path_, "belongs to user " + std::to_string(st.st_uid) + ", not to user " +
                                     std::to_string(::geteuid()));
        return;
    }
    // A second name would let the record be written into whatever file shares it.
    if (st.st_nlink != 1) {
        error_ = describe(path_, "has more than one name (a hard link)");
        return;
    }
    fd_ = std::move(opened);
}

StoreLock::~StoreLock()
{
    // Cleared while still held, so no later holder's record is touched.
    if (held_ && recorded_ && ::ftruncate(fd_.get(), 0) != 0) {
        // Nothing to do: a stale record names a process that no longer holds the lock.
    }
}

bool StoreLock::TryLock()
{
    if (held_ || !IsOpen())
        return held_;
    int result;
    do
        result = ::flock(fd_.get(), LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    held_ = result == 0;
    return held_;
}

bool StoreLock::Record(const std::string& socket)
{
    if (!held_ || socket.find('\n') != std::string::npos)
        return false;
    const std::string text = std::to_string(::getpid()) + '\n' + socket + '\n';
    recorded_ = true;
    return ::ftruncate(fd_.get(), 0) == 0 &&
           ::pwrite(fd_.get(), text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

StoreLockHolder StoreLock::Holder() const
{
    StoreLockHolder holder;
    if (!IsOpen())
        return holder;
    char buffer[4096];
    const ssize_t n = ::pread(fd_.get(), buffer, sizeof buffer, 0);
    if (n <= 0)
        return holder;
    // "<pid>\n<socket>\n", written at once; anything else is a record not yet whole.
    const std::string text(buffer, static_cast<std::size_t>(n));
    const auto first = text.find('\n');
    if (first == std::string::npos || text.back() != '\n' || text.find('\n', first + 1) != text.size() - 1)
        return holder;
    char* end = nullptr;
    const long pid = std::strtol(text.c_str(), &end, 10);
    if (end != text.c_str() + first || pid <= 0)
        return holder;
    holder.pid = static_cast<pid_t>(pid);
    holder.socket = text.substr(first + 1, text.size() - first - 2);
    return holder;
}

} // namespace common
