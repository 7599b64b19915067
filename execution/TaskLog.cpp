#include "execution/TaskLog.h"

#include "common/Logging.h"
#include "common/UniqueFd.h"
#include "common/Utf8.h"

#include <QCryptographicHash>
#include <QString>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace execution {
namespace {

constexpr std::size_t kNameMax = 255;
// A cut name: this much of the name, "%#", 16 hex digits, the suffix; its older file's
// ".1" still fits.
constexpr std::size_t kCutPrefix = kNameMax - 2 - 2 - 16 - 4;

// `base` + `suffix`, or when that is too long for a file name, the start of `base` (whole
// characters, no escape cut apart) followed by "%#" and a hash of the whole `base`. No
// escaped name holds "%#", so a cut name never equals another kind.
std::string Fitted(const std::string& base, const char* suffix)
{
    if (base.size() + std::strlen(suffix) <= kNameMax)
        return base + suffix;
    std::size_t keep = kCutPrefix;
    while (keep > 0 && (static_cast<unsigned char>(base[keep]) & 0xC0) == 0x80)
        --keep;
    const std::size_t percent = base.rfind('%', keep - 1);
    if (percent != std::string::npos && percent + 3 > keep)
        keep = percent;
    const QByteArray hash =
        QCryptographicHash::hash(QByteArray::fromStdString(base), QCryptographicHash::Sha256).toHex().left(16);
    return base.substr(0, keep) + "%#" + hash.toStdString() + suffix;
}

bool SameFile(int fd, const std::filesystem::path& path)
{
    struct stat a
    {
    }, b{};
    return ::fstat(fd, &a) == 0 && ::lstat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool WriteAll(int fd, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

std::string LogFileName(const std::wstring& name)
{
    std::string escaped;
    for (const char c : common::toUtf8(name)) {
        if (c == '/')
            escaped += "%2F";
        else if (c == '%')
            escaped += "%25";
        else if (c == '\0')
            escaped += "%00";
        else
            escaped += c;
    }
    return Fitted(escaped, ".log");
}

std::filesystem::path LogFilePathFor(const std::filesystem::path& directory, const std::wstring& name)
{
    return directory / LogFileName(name);
}

std::filesystem::path OlderLogPath(const std::filesystem::path& logFile)
{
    return logFile.parent_path() / Fitted(logFile.filename().string(), ".1");
}

bool MoveLog(const std::filesystem::path& from, const std::filesystem::path& to)
{
    // Never over another file, not even one made meanwhile.
    if (from == to || ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0)
        return false;
    ::renameat2(AT_FDCWD, OlderLogPath(from).c_str(), AT_FDCWD, OlderLogPath(to).c_str(), RENAME_NOREPLACE);
    return true;
}

std::string FormatLogLine(const QDateTime& localTime, const std::wstring& message)
{
    return localTime.toString(QStringLiteral("dd.MM.yyyy hh:mm:ss")).toStdString() + ' ' +
           QString::fromStdWString(message).toStdString() + '\n';
}

TaskLog::TaskLog(std::optional<std::filesystem::path> file, std::uint64_t sizeLimit)
    : file_(std::move(file))
    , sizeLimit_(sizeLimit)
{
    if (file_)
        open_ = common::UniqueFd(Open()).get() >= 0;
}

void TaskLog::Fail(const std::string& why)
{
    open_ = false;
    if (!told_)
        qCWarning(lcExecution, "The log %s cannot be written: %s", file_->c_str(), why.c_str());
    told_ = true;
}

common::UniqueFd TaskLog::Open()
{
    // As the store is read: never through a symbolic link, never waiting on a FIFO. Read
    // access serves the rotation; a log that may only be written is still written.
    int fd = -1;
    for (const int access : {O_RDWR, O_WRONLY}) {
        do
            fd = ::open(file_->c_str(), access | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY,
                        0600);
        while (fd < 0 && errno == EINTR);
        if (fd >= 0 || errno != EACCES)
            break;
    }
    if (fd < 0) {
        // ELOOP: a symbolic link; ENXIO: a FIFO that nobody reads.
        Fail(errno == ELOOP   ? "it is a symbolic link"
             : errno == ENXIO ? "it is not a regular file"
                              : std::strerror(errno));
        return common::UniqueFd();
    }
    common::UniqueFd opened(fd);
    struct stat st
    {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        Fail("it is not a regular file");
        return common::UniqueFd();
    }
    return opened;
}

bool TaskLog::Write(const std::string& line)
{
    if (!file_)
        return false;
    common::UniqueFd fd = Open();
    if (fd.get() < 0)
        return false;
    struct stat st
    {};
    if (::fstat(fd.get(), &st) != 0) {
        Fail(std::strerror(errno));
        return false;
    }
    if (st.st_size > 0 && static_cast<std::uint64_t>(st.st_size) + line.size() + 1 > sizeLimit_ &&
        Rotate(fd.get(), static_cast<std::uint64_t>(st.st_size))) {
        fd = Open();
        if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0)
            return false;
    }
    const std::string bytes = breakFirst_ && st.st_size > 0 ? '\n' + line : line;
    // One write: the line lands whole or, cut short by a full disk, is taken back.
    ssize_t n;
    do
        n = ::write(fd.get(), bytes.data(), bytes.size());
    while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(bytes.size())) {
        breakFirst_ = false;
        open_ = true;
        told_ = false;
        return true;
    }
    const int error = n < 0 ? errno : ENOSPC;
    if (n > 0 && ::ftruncate(fd.get(), st.st_size) != 0)
        breakFirst_ = true;
    Fail(std::strerror(error));
    return false;
}

bool TaskLog::Rotate(int fd, std::uint64_t size)
{
    // The newer half starts at a line; of a file far past the limit only the limit's half is kept.
    std::uint64_t cut = std::max(size / 2, size > sizeLimit_ ? size - sizeLimit_ / 2 : 0);
    std::string newer;
    newer.resize(static_cast<std::size_t>(size - cut));
    std::size_t got = 0;
    while (got < newer.size()) {
        const ssize_t n = ::pread(fd, newer.data() + got, newer.size() - got, static_cast<off_t>(cut + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    const std::size_t lf = newer.find('\n');
    newer.erase(0, lf == std::string::npos ? newer.size() : lf + 1);
    cut = size - newer.size();

    const std::filesystem::path older = OlderLogPath(*file_);
    std::string temp = (file_->parent_path() / ".log-rotate.XXXXXX").string();
    const common::UniqueFd t(::mkostemp(temp.data(), O_CLOEXEC));
    if (t.get() < 0)
        return false;
    // The older file is made first: a stop in between leaves lines twice, never none.
    if (!WriteAll(t.get(), newer) || !SameFile(fd, *file_) || ::rename(file_->c_str(), older.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    if (::rename(temp.c_str(), file_->c_str()) != 0) {
        ::rename(older.c_str(), file_->c_str());
        ::unlink(temp.c_str());
        return false;
    }
    [[maybe_unused]] const int cutOff = ::ftruncate(fd, static_cast<off_t>(cut));
    return true;
}

} // namespace execution
