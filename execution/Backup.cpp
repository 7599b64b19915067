#include "execution/Backup.h"

#include "common/UniqueFd.h"
#include "common/Utf8.h"
#include "execution/Actions.h"
#include "execution/RunTexts.h"
#include "repository/Connections.h"
#include "repository/VadroPath.h"

#include <QString>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace execution {
namespace {

namespace fs = std::filesystem;

std::wstring errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error)).toStdWString();
}

// Temporary files of a run are named with this prefix and suffix, so that the next run
// recognises what an interrupted one left behind.
constexpr char kTempPrefix[] = ".kalvor-backup-";
constexpr char kTempSuffix[] = ".tmp";

bool isTempName(const char* name)
{
    const std::size_t length = std::strlen(name);
    const std::size_t prefix = sizeof kTempPrefix - 1, suffix = sizeof kTempSuffix - 1;
    return length > prefix + suffix && std::strncmp(name, kTempPrefix, prefix) == 0 &&
           std::strcmp(name + length - suffix, kTempSuffix) == 0;
}

std::string tempName()
{
    thread_local std::mt19937_64 random{std::random_device{}()};
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(random()));
    return kTempPrefix + std::string(text) + kTempSuffix;
}

// Removes the temporary files that an interrupted run left in a folder. A file that a run
// still writes holds a lock and stays.
void removeLeftovers(int folder)
{
    const int copy = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return;
    DIR* dir = ::fdopendir(copy);
    if (dir == nullptr) {
        ::close(copy);
        return;
    }
    std::vector<std::string> leftovers;
    while (const dirent* entry = ::readdir(dir))
        if (isTempName(entry->d_name))
            leftovers.emplace_back(entry->d_name);
    ::closedir(dir);
    for (const std::string& name : leftovers) {
        common::UniqueFd file(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st
        {};
        if (file.get() >= 0 && ::fstat(file.get(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::flock(file.get(), LOCK_EX | LOCK_NB) == 0)
            ::unlinkat(folder, name.c_str(), 0);
    }
}

// Gives the unnamed file open as `fd` the name `name` in `folder`; fails with EEXIST when
// the name is taken.
bool linkUnnamed(int fd, int folder, const char* name)
{
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, self.c_str(), folder, name, AT_SYMLINK_FOLLOW) == 0)
        return true;
    // Without /proc, a privileged process can still link the descriptor itself.
    return errno == ENOENT && ::linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0;
}

// A name from the repository becomes one path component, never more and never a step up.
bool isSafeName(const std::wstring& name)
{
    return !name.empty() && name != L"." && name != L".." && name.find(L'/') == std::wstring::npos &&
           name.find(L'\0') == std::wstring::npos;
}

std::optional<vadro::LocalIdentity> localIdentity(const fs::path& path)
{
    struct stat st
    {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return vadro::LocalIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

enum class Overlap
{
    None,
    Same,
    Inside
};

// Whether the destination is the source folder or lies inside it, judged by the identity
// of the destination's existing ancestors both as written and as resolved.
Overlap overlap(const fs::path& destination, const vadro::LocalIdentity& source)
{
    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(destination, error);
    for (const fs::path& start : {destination, error ? destination : resolved}) {
        bool first = true;
        for (fs::path p = start; !p.empty(); p = p.parent_path()) {
            if (localIdentity(p) == source)
                return first && localIdentity(start) ? Overlap::Same : Overlap::Inside;
            first = false;
            if (p == p.parent_path())
                break;
        }
    }
    return Overlap::None;
}

struct Pending
{
    vadro::IdPath ids;
    fs::path directory;
    std::wstring repositoryPath;
};

class Run
{
public:
    Run(vadro::ISession& session, const std::atomic<bool>& stop, BackupResult& result)
        : session_(session)
        , stop_(stop)
        , result_(result)
    {}

    void Fail(const std::wstring& path, const std::wstring& reason)
    {
        ++result_.failed;
        if (result_.failures.size() < kReportedBackupFailures)
            result_.failures.push_back({path, reason});
    }

    // Writes one document into `folder` under `name`. Returns false when it failed, with
    // the reason in `reason`; a document without content is skipped and counts as done.
    bool CopyDocument(const vadro::IdPath& ids, int folder, const std::string& name, std::wstring& reason)
    {
        std::unique_ptr<vadro::IContentReader> content;
        try {
            content = session_.OpenContent(ids);
        } catch (const vadro::VadroError& e) {
            reason = e.GetDescription();
            return false;
        }
        if (!content)
            return true;
        const std::optional<vadro::LocalIdentity> source = content->Identity();

        // The copy is written into a file without a name where the file system allows it,
        // so that a kill leaves nothing behind; else into a named temporary file.
        std::string temp;
        common::UniqueFd out(::openat(folder, ".", O_WRONLY | O_TMPFILE | O_CLOEXEC, 0666));
        if (out.get() < 0 && !CreateTemp(folder, out, temp)) {
            reason = errorText(errno);
            return false;
        }
        // Marks the file as in use, so that a run into the same folder leaves it alone.
        (void)::flock(out.get(), LOCK_EX | LOCK_NB);
        bool written = false;
        int error = 0;
        try {
            written = content->CopyTo(out.get(), stop_);
            error = errno;
        } catch (const vadro::VadroError& e) {
            reason = e.GetDescription();
        }
        content.reset();

        if (written && temp.empty()) {
            // A name that is free takes the copy at once; an existing copy is replaced below
            // through a temporary name.
            if (linkUnnamed(out.get(), folder, name.c_str())) {
                if (out.Close())
                    return true;
                error = errno;
                ::unlinkat(folder, name.c_str(), 0);
                written = false;
            } else if (errno != EEXIST || !LinkTemp(out.get(), folder, temp)) {
                error = errno;
                written = false;
            }
        }
        if (written && !out.Close()) {
            error = errno;
            written = false;
        }
        // Never replace the file the content is read from.
        if (written && source) {
            struct stat st
            {};
            if (::fstatat(folder, name.c_str(), &st, 0) == 0 &&
                vadro::LocalIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)} ==
                    *source) {
                reason = RunTexts::Text("копия совпадает с самим документом");
                written = false;
            }
        }
        if (written && ::renameat(folder, temp.c_str(), folder, name.c_str()) != 0) {
            error = errno;
            written = false;
        }
        if (!written) {
            if (!temp.empty())
                ::unlinkat(folder, temp.c_str(), 0);
            if (reason.empty())
                reason = errorText(error);
        }
        return written;
    }

    // Creates a named temporary file in `folder`; false with errno set when it cannot.
    static bool CreateTemp(int folder, common::UniqueFd& out, std::string& temp)
    {
        for (int attempt = 0; attempt < 16; ++attempt) {
            temp = tempName();
            out = common::UniqueFd(::openat(folder, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
            if (out.get() >= 0)
                return true;
            if (errno != EEXIST)
                break;
        }
        temp.clear();
        return false;
    }

    // Gives the unnamed file `fd` a temporary name in `folder`; false with errno set when it cannot.
    static bool LinkTemp(int fd, int folder, std::string& temp)
    {
        for (int attempt = 0; attempt < 16; ++attempt) {
            temp = tempName();
            if (linkUnnamed(fd, folder, temp.c_str()))
                return true;
            if (errno != EEXIST)
                break;
        }
        temp.clear();
        return false;
    }

    // Copies one folder's direct children, pushing its sub-folders on the stack.
    void CopyFolder(const Pending& folder, std::vector<Pending>& stack, bool& destinationMade,
                    const fs::path& destination)
    {
        std::vector<vadro::ItemInfo> children;
        try {
            children = session_.ListChildren(folder.ids);
        } catch (const vadro::VadroError& e) {
            Fail(folder.repositoryPath, e.GetDescription());
            return;
        }
        if (children.empty())
            return;
        if (!destinationMade) {
            std::error_code ec;
            fs::create_directories(destination, ec);
            if (ec) {
                result_.reason = RunTexts::Text("не удалось создать папку %1", common::fromUtf8(destination.string())) +
                                 L": " + QString::fromLocal8Bit(ec.message().c_str()).toStdWString();
                stack.clear();
                return;
            }
            destinationMade = true;
            destinationIdentity_ = localIdentity(destination);
        }
        common::UniqueFd directory(::open(folder.directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (directory.get() < 0) {
            Fail(folder.repositoryPath, errorText(errno));
            return;
        }
        removeLeftovers(directory.get());
        for (const vadro::ItemInfo& child : children) {
            if (stop_.load(std::memory_order_relaxed))
                return;
            const std::wstring childPath = folder.repositoryPath + L"/" + child.name;
            if (!isSafeName(child.name)) {
                Fail(childPath, RunTexts::Text("недопустимое имя"));
                continue;
            }
            // The backup itself never becomes part of what it copies.
            if (!child.isDocument && child.local && child.local == destinationIdentity_)
                continue;
            vadro::IdPath childIds = folder.ids;
            childIds.push_back(child.id);
            const std::string name = common::toUtf8(child.name);
            if (child.isDocument) {
                std::wstring reason;
                if (CopyDocument(childIds, directory.get(), name, reason))
                    ++result_.documents;
                else if (!stop_.load(std::memory_order_relaxed))
                    Fail(childPath, reason);
                continue;
            }
            struct stat st
            {};
            if (::mkdirat(directory.get(), name.c_str(), 0777) != 0 && errno != EEXIST) {
                Fail(childPath, errorText(errno));
                continue;
            }
            if (::fstatat(directory.get(), name.c_str(), &st, 0) != 0 || !S_ISDIR(st.st_mode)) {
                Fail(childPath, RunTexts::Text("на месте папки находится файл"));
                continue;
            }
            stack.push_back({std::move(childIds), folder.directory / fs::u8path(name), childPath});
        }
    }

private:
    vadro::ISession& session_;
    const std::atomic<bool>& stop_;
    BackupResult& result_;
    std::optional<vadro::LocalIdentity> destinationIdentity_;
};

} // namespace

std::wstring DestinationOverlapProblem(const std::wstring& destination, const vadro::LocalIdentity& source)
{
    switch (overlap(fs::u8path(common::toUtf8(destination)), source)) {
    case Overlap::Same:
        return RunTexts::Text("папка назначения %1 совпадает с копируемой папкой", destination);
    case Overlap::Inside:
        return RunTexts::Text("папка назначения %1 находится внутри копируемой папки", destination);
    case Overlap::None:
        break;
    }
    return {};
}

BackupResult RunBackup(const BackupRequest& request, vadro::ICore& core, const std::filesystem::path& connectionsFile,
                       const std::atomic<bool>* stop)
{
    static const std::atomic<bool> never{false};
    const std::atomic<bool>& stopFlag = stop ? *stop : never;
    BackupResult result;
    try {
        std::wstring server;
        std::vector<std::wstring> components;
        std::optional<vadro::Uuid> id;
        if (!path::utils::ParseVadroPath(request.source_path, server, components, id, true)) {
            result.reason = RunTexts::Text("неверно задан путь %1", request.source_path);
            return result;
        }
        const auto connection = FindSavedConnection(request.connection_id, connectionsFile);
        if (!connection) {
            result.reason = RunTexts::Text("не найдено подключение к ХД для %1", request.source_path);
            return result;
        }
        const auto session = core.OpenSession(connection->address, connection->credentials);
        const vadro::IdPath ids = session->GetPathResolver()->ResolvePath(components);
        if (ids.size() != components.size()) {
            result.reason = RunTexts::Text("не найдена папка %1", request.source_path);
            return result;
        }
        if (request.destination_path.empty()) {
            result.reason = RunTexts::Text("не задана папка назначения");
            return result;
        }
        const auto destination = fs::u8path(common::toUtf8(request.destination_path));
        const vadro::ItemInfo source = session->GetItem(ids);
        if (source.local) {
            result.reason = DestinationOverlapProblem(request.destination_path, *source.local);
            if (!result.reason.empty())
                return result;
        }

        Run run(*session, stopFlag, result);
        bool destinationMade = false;
        std::vector<Pending> stack{{ids, destination, request.source_path}};
        while (!stack.empty() && result.reason.empty()) {
            if (stopFlag.load(std::memory_order_relaxed))
                break;
            const Pending folder = std::move(stack.back());
            stack.pop_back();
            run.CopyFolder(folder, stack, destinationMade, destination);
        }
        if (stopFlag.load(std::memory_order_relaxed) && result.reason.empty())
            result.reason = RunTexts::Text("прервано при завершении программы");
        result.ok = result.reason.empty() && result.failed == 0;
    } catch (const vadro::VadroError& e) {
        result.reason = e.GetDescription();
    } catch (const std::exception& e) {
        result.reason = QString::fromLocal8Bit(e.what()).toStdWString();
    }
    return result;
}

std::vector<std::wstring> BackupReport(const BackupResult& result)
{
    const auto text = [](const char* source) { return RunTexts::Translate(source); };
    const auto count = [](std::size_t n) { return static_cast<qulonglong>(n); };
    if (result.ok)
        return {text("Резервное копирование завершено: скопировано документов %1.")
                    .arg(count(result.documents))
                    .toStdWString()};
    const QString counts =
        text("скопировано документов %1, не скопировано %2.").arg(count(result.documents)).arg(count(result.failed));
    QString head = text("Резервное копирование не выполнено:") + QLatin1Char(' ');
    if (result.reason.empty())
        head += counts;
    else if (result.documents > 0 || result.failed > 0)
        head += QString::fromStdWString(result.reason) + QStringLiteral("; ") + counts;
    else
        head += QString::fromStdWString(result.reason);
    std::vector<std::wstring> lines{head.toStdWString()};
    for (const BackupFailure& failure : result.failures)
        lines.push_back(failure.path + L": " + failure.reason);
    return lines;
}

} // namespace execution
