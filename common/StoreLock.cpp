#include "common/StoreLock.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace common {
namespace {

std::string Describe(const std::filesystem::path& path, const std::string& why)
{
    return path.string() + ": " + why;
}

int OpenRetrying(const char* path, int flags, mode_t mode = 0)
{
    int fd;
    do
        fd = ::open(path, flags, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// The process holding a flock on the file open at `fd`, from the kernel's list of locks;
// 0 when none is listed (or the list cannot be read).
pid_t FlockHolderOf(int fd)
{
    struct stat st = {};
    if (::fstat(fd, &st) != 0)
        return 0;
    std::FILE* locks = std::fopen("/proc/locks", "re");
    if (!locks)
        return 0;
    pid_t holder = 0;
    char line[512];
    // "1: FLOCK  ADVISORY  WRITE 4711 08:02:131090 0 EOF"; waiters read "1: -> FLOCK ...".
    while (holder == 0 && std::fgets(line, sizeof line, locks)) {
        char type[16] = {};
        long pid = 0;
        unsigned devMajor = 0;
        unsigned devMinor = 0;
        unsigned long inode = 0;
        if (std::sscanf(line, "%*d: %15s %*s %*s %ld %x:%x:%lu", type, &pid, &devMajor, &devMinor, &inode) == 5 &&
            std::strcmp(type, "FLOCK") == 0 && devMajor == major(st.st_dev) && devMinor == minor(st.st_dev) &&
            inode == st.st_ino && pid > 0)
            holder = static_cast<pid_t>(pid);
    }
    std::fclose(locks);
    return holder;
}

} // namespace

std::filesystem::path StoreLock::Resolve(const std::filesystem::path& file)
{
    std::error_code ec;
    std::filesystem::path resolved = std::filesystem::canonical(file, ec);
    if (!ec)
        return resolved;
    const std::filesystem::path absolute = std::filesystem::absolute(file, ec);
    if (ec)
        return file;
    resolved = std::filesystem::canonical(absolute.parent_path(), ec);
    return ec ? file : resolved / absolute.filename();
}

std::filesystem::path StoreLock::LockPathOf(const std::filesystem::path& file)
{
    std::filesystem::path lock = Resolve(file);
    lock += ".lock";
    return lock;
}

StoreLock::StoreLock(const std::filesystem::path& file, Open open)
{
    if (open == Open::Create && file.has_parent_path()) {
        std::error_code ec;
        std::filesystem::create_directories(file.parent_path(), ec);
        if (ec) {
            error_ = Describe(file.parent_path(), ec.message());
            return;
        }
    }
    path_ = LockPathOf(file);
    const std::filesystem::path folder = path_.has_parent_path() ? path_.parent_path() : ".";
    UniqueFd folderFd(OpenRetrying(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY));
    if (folderFd.get() < 0) {
        if (errno != ENOENT || open == Open::Create)
            error_ = Describe(folder, std::strerror(errno));
        return;
    }

    // O_NOFOLLOW: a symbolic link in place of the record is refused, never written
    // through. O_NONBLOCK: a FIFO planted there cannot make the open wait. O_CLOEXEC:
    // commands the program starts must not inherit it.
    const int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    UniqueFd opened(OpenRetrying(path_.c_str(), flags | O_RDWR | (open == Open::Create ? O_CREAT : 0), 0600));
    if (opened.get() < 0 && (errno == EROFS || errno == EACCES || errno == EPERM))
        opened = UniqueFd(OpenRetrying(path_.c_str(), flags | O_RDONLY));
    const int openError = errno;
    if (opened.get() < 0) {
        if (openError == ELOOP || openError == EISDIR || openError == ENXIO) {
            error_ = Describe(path_, openError == ELOOP ? "is a symbolic link" : "is not a regular file");
            return;
        }
        // A full disk or a read-only folder: the lock still guards the store.
        if (openError != ENOENT)
            recordError_ = Describe(path_, std::strerror(openError));
        folder_ = std::move(folderFd);
        return;
    }
    struct stat st = {};
    if (::fstat(opened.get(), &st) != 0) {
        error_ = Describe(path_, std::strerror(errno));
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        error_ = Describe(path_, "is not a regular file");
        return;
    }
    if (st.st_uid != ::geteuid()) {
        error_ = Describe(path_, "belongs to user " + std::to_string(st.st_uid) + ", not to user " +
                                     std::to_string(::geteuid()));
        return;
    }
    // A second name would let the record be written into whatever file shares it.
    if (st.st_nlink != 1) {
        error_ = Describe(path_, "has more than one name (a hard link)");
        return;
    }
    folder_ = std::move(folderFd);
    fd_ = std::move(opened);
}

StoreLock::~StoreLock()
{
    // Cleared while still held, so no later holder's record is touched.
    if (held_ && recorded_ && fd_.get() >= 0 && ::ftruncate(fd_.get(), 0) != 0) {
        // Nothing to do: a stale record names a process that no longer holds the lock.
    }
}

bool StoreLock::TryLock()
{
    if (held_ || !IsOpen())
        return held_;
    int result;
    do
        result = ::flock(folder_.get(), LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    held_ = result == 0;
    return held_;
}

bool StoreLock::Record(const std::string& socket)
{
    if (!held_ || socket.find('\n') != std::string::npos)
        return false;
    if (fd_.get() < 0) {
        if (recordError_.empty())
            recordError_ = Describe(path_, "cannot be opened");
        return false;
    }
    const std::string text = std::to_string(::getpid()) + '\n' + socket + '\n';
    recorded_ = true;
    if (::ftruncate(fd_.get(), 0) != 0) {
        recordError_ = Describe(path_, std::strerror(errno));
        return false;
    }
    const ssize_t written = ::pwrite(fd_.get(), text.data(), text.size(), 0);
    if (written != static_cast<ssize_t>(text.size())) {
        recordError_ = Describe(path_, written < 0 ? std::strerror(errno) : "written in part");
        // Half a record would name nobody; none is as good.
        static_cast<void>(::ftruncate(fd_.get(), 0));
        return false;
    }
    return true;
}

StoreLockHolder StoreLock::Holder() const
{
    StoreLockHolder holder;
    if (!IsOpen())
        return holder;
    const pid_t listed = FlockHolderOf(folder_.get());
    char buffer[4096];
    const ssize_t n = fd_.get() >= 0 ? ::pread(fd_.get(), buffer, sizeof buffer, 0) : 0;
    // "<pid>\n<socket>\n", written at once; anything else is a record not yet whole.
    const std::string text(buffer, static_cast<std::size_t>(n > 0 ? n : 0));
    const auto first = text.find('\n');
    char* end = nullptr;
    const long pid = std::strtol(text.c_str(), &end, 10);
    const bool whole = first != std::string::npos && text.back() == '\n' &&
                       text.find('\n', first + 1) == text.size() - 1 && end == text.c_str() + first && pid > 0;
    // A record of another process than the one the kernel lists is left from an earlier holder.
    if (whole && (listed == 0 || listed == pid)) {
        holder.pid = static_cast<pid_t>(pid);
        holder.socket = text.substr(first + 1, text.size() - first - 2);
    } else {
        holder.pid = listed;
    }
    return holder;
}

} // namespace common
