#include "execution/BackupRun.h"

#include "common/Utf8.h"
#include "execution/BackupFiles.h"
#include "execution/RunTexts.h"

#include <QString>

#include <algorithm>
#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace execution::backup {
namespace {

// The file a document's copy is written into: without a name, or under `temp` until it is whole.
struct CopyFile
{
    common::UniqueFd fd;
    std::string temp;
};

// Opens a new copy file in `folder`: unnamed where the file system allows it, so that a kill
// leaves nothing behind, else under a temporary name. False with errno set when it cannot.
bool OpenCopyFile(int folder, CopyFile& copy)
{
    copy.fd = common::UniqueFd(::openat(folder, ".", O_WRONLY | O_TMPFILE | O_CLOEXEC, 0666));
    return copy.fd.get() >= 0 || CreateTemp(folder, copy.fd, copy.temp);
}

// Copies the content into the copy file; false with `error` or `reason` set when it fails.
bool WriteContent(vadro::IContentReader& content, const CopyFile& copy, const std::atomic<bool>& stop, int& error,
                  std::wstring& reason)
{
    try {
        const bool written = content.CopyTo(copy.fd.get(), stop);
        error = errno;
        return written;
    } catch (const vadro::VadroError& e) {
        reason = e.GetDescription();
        return false;
    }
}

// Gives the whole copy the document's name in `folder`, replacing a previous copy but never
// the file the content was read from (`source`). False with `error` or `reason` set when it
// fails; a temporary name it leaves is the caller's to remove.
bool PlaceCopy(CopyFile& copy, int folder, const std::string& name, const std::optional<vadro::LocalIdentity>& source,
               int& error, std::wstring& reason)
{
    if (copy.temp.empty()) {
        // A name that is free takes the copy at once; an existing copy is replaced below
        // through a temporary name.
        if (LinkUnnamed(copy.fd.get(), folder, name.c_str())) {
            if (copy.fd.Close())
                return true;
            error = errno;
            ::unlinkat(folder, name.c_str(), 0);
            return false;
        }
        if (errno != EEXIST || !LinkTemp(copy.fd.get(), folder, copy.temp)) {
            error = errno;
            return false;
        }
    }
    if (!copy.fd.Close()) {
        error = errno;
        return false;
    }
    // What holds the name is replaced, never written into or followed.
    struct stat present
    {};
    if (::fstatat(folder, name.c_str(), &present, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(present.st_mode)) {
            reason = RunTexts::Text("на месте документа находится символическая ссылка");
            return false;
        }
        if (source && IdentityOf(present) == *source) {
            reason = RunTexts::Text("копия совпадает с самим документом");
            return false;
        }
    }
    if (::renameat(folder, copy.temp.c_str(), folder, name.c_str()) != 0) {
        error = errno;
        return false;
    }
    return true;
}

const char kLinkAtFolder[] = "на месте папки находится символическая ссылка";

// Why the folder `relative` below the destination could not be opened (with `error`).
std::wstring OpenFailure(int destination, const std::string& relative, int error)
{
    struct stat st
    {};
    if ((error == ELOOP || error == ENOTDIR) &&
        ::fstatat(destination, relative.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        return RunTexts::Text(kLinkAtFolder);
    return ErrorText(error);
}

} // namespace

BackupRun::BackupRun(vadro::ISession& session, const std::atomic<bool>& stop, BackupResult& result,
                     std::filesystem::path destination, std::vector<vadro::LocalIdentity> sourceAndHolders,
                     std::uint32_t keepVersions, std::string source, std::string version)
    : session_(session)
    , stop_(stop)
    , result_(result)
    , destination_(std::move(destination))
    , sourceAndHolders_(std::move(sourceAndHolders))
    , keepVersions_(keepVersions)
    , versions_(result, destination_, keepVersions, std::move(source), std::move(version))
{}

void BackupRun::CopyAll(const vadro::IdPath& ids, const std::wstring& repositoryPath)
{
    // A version is made also for an empty source: it tells that nothing was there.
    if (keepVersions_ > 0 && !MakeDestination())
        return;
    std::vector<Pending> stack{{ids, {}, repositoryPath}};
    while (!stack.empty() && result_.reason.empty() && !Stopped()) {
        const Pending folder = std::move(stack.back());
        stack.pop_back();
        CopyFolder(folder, stack);
    }
}

void BackupRun::Finish()
{
    if (!Stopped())
        versions_.Complete();
}

// Copies one folder's direct children, pushing its sub-folders on the stack.
void BackupRun::CopyFolder(const Pending& folder, std::vector<Pending>& stack)
{
    std::vector<vadro::ItemInfo> children;
    std::vector<vadro::UnlistedEntry> unlisted;
    try {
        children = session_.ListAllChildren(folder.ids, unlisted);
    } catch (const vadro::VadroError& e) {
        CountFailure(result_, folder.repositoryPath, e.GetDescription());
        return;
    }
    for (const vadro::UnlistedEntry& entry : unlisted)
        CountFailure(result_, folder.repositoryPath + L"/" + entry.name,
                     entry.error != 0 ? ErrorText(entry.error) : RunTexts::Text("имя файла не в кодировке UTF-8"));
    if (children.empty() || !MakeDestination())
        return;
    common::UniqueFd directory(OpenBelow(Root(), folder.relative));
    if (directory.get() < 0) {
        CountFailure(result_, folder.repositoryPath, OpenFailure(Root(), folder.relative, errno));
        return;
    }
    // The same folder in the newest complete version, whose unchanged copies are linked.
    common::UniqueFd previous(versions_.Previous() >= 0 ? OpenBelow(versions_.Previous(), folder.relative) : -1);
    RemoveLeftovers(directory.get(), children);
    for (const vadro::ItemInfo& child : children) {
        if (Stopped())
            return;
        CopyChild(folder, directory.get(), previous.get(), child, stack);
    }
}

// Creates and opens the destination with its parents just before the first entry is
// written; false, with the run's reason set, when that fails or the destination turns out
// to hold the source.
bool BackupRun::MakeDestination()
{
    if (destinationFd_.get() >= 0)
        return result_.reason.empty();
    const std::wstring shown = common::fromUtf8(destination_.string());
    // Nothing is made on a path that another user could redirect.
    std::wstring foreign = ForeignComponent(destination_);
    if (!foreign.empty()) {
        result_.reason = RunTexts::Text("папка назначения %1 отклонена", shown) + L": " + foreign;
        return false;
    }
    std::error_code ec;
    fs::create_directories(destination_, ec);
    if (ec) {
        result_.reason = RunTexts::Text("не удалось создать папку %1", shown) + L": " +
                         QString::fromLocal8Bit(ec.message().c_str()).toStdWString();
        return false;
    }
    // Checked again on what was made, and opened as checked.
    foreign = ForeignComponent(destination_);
    if (!foreign.empty()) {
        result_.reason = RunTexts::Text("папка назначения %1 отклонена", shown) + L": " + foreign;
        return false;
    }
    const fs::path resolved = fs::canonical(fs::absolute(destination_, ec), ec);
    common::UniqueFd fd(ec ? -1 : OpenOwned(resolved));
    if (ec)
        errno = ec.value();
    else if (fd.get() < 0 && errno == EPERM) {
        result_.reason = RunTexts::Text("папка назначения %1 отклонена", shown) + L": " +
                         RunTexts::Text("папка %1 принадлежит другому пользователю", shown);
        return false;
    }
    struct stat st
    {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        result_.reason = RunTexts::Text("не удалось открыть папку %1", shown) + L": " + ErrorText(errno);
        return false;
    }
    const auto holder = std::find(sourceAndHolders_.begin(), sourceAndHolders_.end(), IdentityOf(st));
    if (holder != sourceAndHolders_.end()) {
        result_.reason = holder == sourceAndHolders_.begin()
                             ? RunTexts::Text("папка назначения %1 совпадает с копируемой папкой", shown)
                             : RunTexts::Text("папка назначения %1 содержит копируемую папку", shown);
        return false;
    }
    // The path was judged before it was opened; what was opened is judged again.
    if (!sourceAndHolders_.empty() && OpensInside(fd.get(), sourceAndHolders_.front())) {
        result_.reason = RunTexts::Text("папка назначения %1 находится внутри копируемой папки", shown);
        return false;
    }
    destinationIdentity_ = IdentityOf(st);
    destinationFd_ = std::move(fd);
    return keepVersions_ == 0 || versions_.Start(destinationFd_.get());
}

// Copies one child of `folder`, open as `directory` (as `previous` in the newest complete
// version, or -1): a document at once, a sub-folder made here and pushed on the stack.
void BackupRun::CopyChild(const Pending& folder, int directory, int previous, const vadro::ItemInfo& child,
                          std::vector<Pending>& stack)
{
    const std::wstring childPath = folder.repositoryPath + L"/" + child.name;
    if (!IsSafeName(child.name)) {
        CountFailure(result_, childPath, RunTexts::Text("недопустимое имя"));
        return;
    }
    // The backup itself never becomes part of what it copies.
    if (!child.isDocument && child.local && child.local == destinationIdentity_)
        return;
    vadro::IdPath childIds = folder.ids;
    childIds.push_back(child.id);
    const std::string name = common::toUtf8(child.name);
    if (child.isDocument) {
        if (LinkUnchanged(previous, directory, name, child)) {
            ++result_.linked;
            return;
        }
        std::wstring reason;
        if (CopyDocument(childIds, directory, name, keepVersions_ > 0 ? child.modified : std::nullopt, reason))
            ++result_.documents;
        else if (!Stopped())
            CountFailure(result_, childPath, reason);
        return;
    }
    if (MakeFolder(directory, name, childPath))
        stack.push_back(
            {std::move(childIds), folder.relative.empty() ? name : folder.relative + '/' + name, childPath});
}

// Makes the sub-folder `name` unless it is there; false, counted as failed, when it cannot
// be made or a file or a symbolic link holds its name.
bool BackupRun::MakeFolder(int directory, const std::string& name, const std::wstring& path)
{
    if (::mkdirat(directory, name.c_str(), 0777) == 0)
        return true;
    if (errno != EEXIST) {
        CountFailure(result_, path, ErrorText(errno));
        return false;
    }
    struct stat st
    {};
    if (::fstatat(directory, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        CountFailure(result_, path, ErrorText(errno));
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        CountFailure(result_, path, RunTexts::Text(kLinkAtFolder));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        CountFailure(result_, path, RunTexts::Text("на месте папки находится файл"));
        return false;
    }
    return true;
}

// Writes one document into `folder` under `name`, with the modification time `modified`
// when given. Returns false when it failed, with the reason in `reason`; a document
// without content is skipped and counts as done.
bool BackupRun::CopyDocument(const vadro::IdPath& ids, int folder, const std::string& name,
                             const std::optional<std::int64_t>& modified, std::wstring& reason)
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
    CopyFile copy;
    if (!OpenCopyFile(folder, copy)) {
        reason = ErrorText(errno);
        return false;
    }
    int error = 0;
    bool written = WriteContent(*content, copy, stop_, error, reason);
    content.reset();
    // The copy keeps the document's time, by which the next version knows it unchanged.
    if (written && modified && !KeepModified(copy.fd.get(), *modified)) {
        error = errno;
        written = false;
    }
    written = written && PlaceCopy(copy, folder, name, source, error, reason);
    if (!written && !copy.temp.empty())
        ::unlinkat(folder, copy.temp.c_str(), 0);
    if (!written && reason.empty())
        reason = ErrorText(error);
    return written;
}

} // namespace execution::backup
