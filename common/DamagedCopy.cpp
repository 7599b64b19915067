#include "common/DamagedCopy.h"

#include "common/RegularFile.h"
#include "common/UniqueFd.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace common {
namespace {

std::string StampOfNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
    return text;
}

// The candidate names beside the file, one per attempt.
std::filesystem::path CopyName(const std::filesystem::path& file, const std::string& stamp, int attempt)
{
    std::string name = file.filename().string() + ".damaged-" + stamp;
    if (attempt > 1)
        name += "-" + std::to_string(attempt);
    return file.parent_path() / name;
}

constexpr int kAttempts = 100;

// A copy kept before that holds exactly `bytes`, if there is one: a file damaged the same
// way at every start is kept once.
std::filesystem::path SameCopy(const std::filesystem::path& file, const std::string& bytes)
{
    const std::string prefix = file.filename().string() + ".damaged-";
    std::error_code ec;
    for (std::filesystem::directory_iterator it(file.parent_path(), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        std::error_code statError;
        const auto status = it->symlink_status(statError);
        if (statError || !std::filesystem::is_regular_file(status) || it->file_size(statError) != bytes.size() ||
            statError)
            continue;
        const FileRead read = ReadRegularFile(it->path(), bytes.size());
        if (read.state == FileRead::State::Read && read.bytes == bytes)
            return it->path();
    }
    return {};
}

} // namespace

std::filesystem::path KeepDamagedCopy(const std::filesystem::path& file, const std::string& bytes, std::string& error)
{
    if (std::filesystem::path kept = SameCopy(file, bytes); !kept.empty())
        return kept;
    const std::string stamp = StampOfNow();
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        const std::filesystem::path copy = CopyName(file, stamp, attempt);
        common::UniqueFd fd(::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (fd.get() < 0) {
            if (errno == EEXIST)
                continue;
            error = std::strerror(errno);
            return {};
        }
        // The umask may have taken bits away; the copy is the owner's alone, exactly.
        bool ok = ::fchmod(fd.get(), 0600) == 0;
        for (std::size_t done = 0; ok && done < bytes.size();) {
            const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            ok = n > 0;
            if (ok)
                done += static_cast<std::size_t>(n);
        }
        ok = ok && ::fsync(fd.get()) == 0;
        if (!ok)
            error = std::strerror(errno);
        if (!fd.Close() && ok) {
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
    const std::string stamp = StampOfNow();
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        const std::filesystem::path aside = CopyName(file, stamp, attempt);
        // RENAME_NOREPLACE: a name that is already taken is never replaced.
        if (::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) {
            // A file moved aside is for its owner only, as a kept copy is. What is not a
            // regular file (a link, a FIFO) keeps its mode; nothing is followed or waited on.
            const UniqueFd fd(::open(aside.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
            struct stat st
            {};
            if (fd.get() >= 0 && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode))
                (void)::fchmod(fd.get(), 0600);
            return aside;
        }
        if (errno == EEXIST)
            continue;
        error = std::strerror(errno);
        return {};
    }
    error = "no free name beside the file";
    return {};
}

} // namespace common
