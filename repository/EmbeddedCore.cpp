// The embedded repository: a repository is a folder of this machine, its folders are
// directories and its documents regular files.
//
// Thread safety: the core holds no state. Each session owns the canonical root folder
// (fixed at construction, with a descriptor that documents are opened beneath) and a table from the identifiers it
// handed out to their names; that table is the only thing a session changes after construction and every access to it
// holds the session's mutex, so even one session may be shared between threads. File system calls run outside the lock,
// and distinct sessions share nothing at all.

#include "common/OpenBeneath.h"
#include "common/UniqueFd.h"
#include "common/Utf8.h"
#include "repository/Vadro.h"

#include <boost/uuid/name_generator_sha1.hpp>
#include <boost/uuid/nil_generator.hpp>
#include <boost/uuid/uuid_hash.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <limits>
#include <mutex>
#include <system_error>
#include <unordered_map>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vadro {

namespace {

namespace fs = std::filesystem;

// Items are named by identifiers derived from their path inside the repository, so the same
// item has the same identifier in every session and every run.
constexpr Uuid kItemNamespace = {
    {0x3f, 0x6c, 0x1a, 0x52, 0x9e, 0x0b, 0x4d, 0x27, 0x8a, 0x41, 0x7c, 0xd2, 0x05, 0xe9, 0xb3, 0x6e}};

Uuid ItemId(const std::string& relativePath)
{
    static const boost::uuids::name_generator_sha1 generator(kItemNamespace);
    return generator(relativePath);
}

std::wstring SystemErrorText(int error)
{
    return common::fromUtf8(std::generic_category().message(error));
}

bool IsValidName(std::wstring_view name)
{
    return !name.empty() && name != L"." && name != L".." && name.find(L'/') == std::wstring_view::npos &&
           name.find(L'\0') == std::wstring_view::npos;
}

bool IsInside(const fs::path& root, const fs::path& candidate)
{
    const auto [rootEnd, candidateEnd] = std::mismatch(root.begin(), root.end(), candidate.begin(), candidate.end());
    (void)candidateEnd;
    return rootEnd == root.end();
}

std::optional<std::int64_t> ModificationTime(const struct stat& st)
{
    constexpr std::int64_t kNano = 1'000'000'000;
    const std::int64_t seconds = st.st_mtim.tv_sec;
    if (seconds > std::numeric_limits<std::int64_t>::max() / kNano - 1 ||
        seconds < std::numeric_limits<std::int64_t>::min() / kNano + 1)
        return std::nullopt;
    return seconds * kNano + st.st_mtim.tv_nsec;
}

LocalIdentity IdentityOf(const struct stat& st)
{
    return LocalIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

struct Entry
{
    bool isDocument = false;
    std::optional<std::int64_t> modified;
    // The file whose bytes are the document's content: the entry itself, or the target of a link.
    fs::path content;
    LocalIdentity identity;
    std::uint64_t size = 0;
};

// What a directory entry is to the repository. A symbolic link counts as the document it
// points to when that is a regular file inside the repository; links to folders and links
// leading outside are left out, so that a walk of the tree neither loops nor leaves the folder.
// An entry that cannot be examined is left out with `unexamined` set to the errno, when given.
std::optional<Entry> Classify(const fs::path& root, const fs::path& full, int* unexamined = nullptr)
{
    struct stat st
    {};
    if (::lstat(full.c_str(), &st) != 0) {
        if (unexamined)
            *unexamined = errno;
        return std::nullopt;
    }
    if (S_ISDIR(st.st_mode))
        return Entry{false, ModificationTime(st), {}, IdentityOf(st), 0};
    if (S_ISREG(st.st_mode))
        return Entry{true, ModificationTime(st), full, IdentityOf(st), static_cast<std::uint64_t>(st.st_size)};
    if (!S_ISLNK(st.st_mode))
        return std::nullopt;
    std::error_code error;
    fs::path target = fs::canonical(full, error);
    if (error || !IsInside(root, target) || ::stat(target.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return Entry{true, ModificationTime(st), std::move(target), IdentityOf(st), static_cast<std::uint64_t>(st.st_size)};
}

// Opens `relative` below the folder `root` for reading without following any symbolic
// link, so a link swapped in after the entry was classified is refused, not followed.
// Non-blocking, so a FIFO swapped in does not hang the open. Returns -1 with errno set.
int OpenBeneath(int root, const fs::path& rootPath, const fs::path& relative)
{
    const int fd = common::OpenBeneath(root, relative.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd >= 0 || errno != ENOSYS)
        return fd;
    // Kernels without openat2: at least the last component is not followed.
    return ::open((rootPath / relative).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
}

class ContentReader final : public IContentReader
{
public:
    ContentReader(common::UniqueFd fd, LocalIdentity identity, std::wstring displayName)
        : fd_(std::move(fd))
        , identity_(identity)
        , displayName_(std::move(displayName))
    {}
    ContentReader(const ContentReader&) = delete;
    ContentReader& operator=(const ContentReader&) = delete;

    std::size_t ReadChunk(char* buffer, std::size_t size) override
    {
        for (;;) {
            const ssize_t count = ::read(fd_.get(), buffer, size);
            if (count >= 0)
                return static_cast<std::size_t>(count);
            if (errno != EINTR)
                throw VadroError(L"Не удалось прочитать документ " + displayName_ + L": " + SystemErrorText(errno));
        }
    }

    std::optional<LocalIdentity> Identity() const override { return identity_; }

    // Copies inside the kernel where the file systems allow it, in steps small enough that
    // a stop request is seen within a fraction of a second.
    bool CopyTo(int out, const std::atomic<bool>& stop) override
    {
        for (;;) {
            if (stop.load(std::memory_order_relaxed)) {
                errno = ECANCELED;
                return false;
            }
            const ssize_t n = ::copy_file_range(fd_.get(), nullptr, out, nullptr, 64 << 20, 0);
            if (n == 0)
                return true;
            if (n > 0)
                continue;
            if (errno == EINTR)
                continue;
            if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)
                return IContentReader::CopyTo(out, stop);
            if (errno == EIO)
                throw VadroError(L"Не удалось прочитать документ " + displayName_ + L": " + SystemErrorText(errno));
            return false;
        }
    }

private:
    common::UniqueFd fd_;
    LocalIdentity identity_;
    std::wstring displayName_;
};

class Session final : public ISession, public IPathResolver, public std::enable_shared_from_this<Session>
{
public:
    Session(fs::path root, common::UniqueFd rootFd)
        : root_(std::move(root))
        , rootFd_(rootFd.release())
    {}

    std::shared_ptr<IPathResolver> GetPathResolver() override { return shared_from_this(); }

    IdPath ResolvePath(const std::vector<std::wstring>& names) override
    {
        IdPath ids;
        ids.reserve(names.size());
        std::string relative;
        fs::path full = root_;
        Uuid parent = boost::uuids::nil_uuid();
        for (const std::wstring& name : names) {
            // A name that could lead elsewhere never names an item.
            if (!IsValidName(name))
                break;
            const std::string utf8 = common::toUtf8(name);
            full /= utf8;
            const std::optional<Entry> entry = Classify(root_, full);
            if (!entry)
                break;
            relative = relative.empty() ? utf8 : relative + '/' + utf8;
            const Uuid id = ItemId(relative);
            Remember(id, parent, utf8);
            ids.push_back(id);
            parent = id;
            if (entry->isDocument)
                break;
        }
        return ids;
    }

    std::vector<std::wstring> GetPathNames(const IdPath& ids) override { return Locate(ids).names; }

    ItemInfo GetItem(const IdPath& path) override
    {
        const Located located = Locate(path);
        const Entry entry = Existing(located);
        ItemInfo info;
        info.id = path.empty() ? boost::uuids::nil_uuid() : path.back();
        info.name = path.empty() ? common::fromUtf8(root_.filename().string()) : located.names.back();
        info.isDocument = entry.isDocument;
        info.modified = entry.modified;
        info.local = entry.identity;
        if (entry.isDocument)
            info.size = entry.size;
        return info;
    }

    std::vector<ItemInfo> ListChildren(const IdPath& folder) override
    {
        std::vector<UnlistedEntry> unlisted;
        return ListAllChildren(folder, unlisted);
    }

    std::vector<ItemInfo> ListAllChildren(const IdPath& folder, std::vector<UnlistedEntry>& unlisted) override
    {
        const Located located = Locate(folder);
        if (Existing(located).isDocument)
            throw VadroError(L"Элемент не является папкой: " + located.Display());

        std::error_code error;
        fs::directory_iterator it(located.full, error);
        if (error)
            throw VadroError(L"Не удалось прочитать папку " + located.Display() + L": " +
                             common::fromUtf8(error.message()));

        std::vector<ItemInfo> children;
        std::vector<std::pair<Uuid, std::string>> names;
        for (; it != fs::directory_iterator(); it.increment(error)) {
            std::string utf8 = it->path().filename().string();
            int unexamined = 0;
            const std::optional<Entry> entry = Classify(root_, it->path(), &unexamined);
            // An entry removed meanwhile is simply gone.
            if (!entry && unexamined != 0 && unexamined != ENOENT)
                unlisted.push_back({common::fromUtf8(utf8), unexamined});
            if (!entry)
                continue;
            // A file name that is not UTF-8 has no wide name that would lead back to it.
            std::optional<std::wstring> name = common::fromUtf8Strict(utf8);
            if (!name) {
                unlisted.push_back({common::fromUtf8(utf8), 0});
                continue;
            }
            const Uuid id = ItemId(located.relative.empty() ? utf8 : located.relative + '/' + utf8);
            children.push_back(ItemInfo{id, std::move(*name), entry->isDocument, entry->modified, entry->identity,
                                        entry->isDocument ? std::optional<std::uint64_t>(entry->size) : std::nullopt});
            names.emplace_back(id, std::move(utf8));
        }
        if (error)
            throw VadroError(L"Не удалось прочитать папку " + located.Display() + L": " +
                             common::fromUtf8(error.message()));

        const Uuid parent = folder.empty() ? boost::uuids::nil_uuid() : folder.back();
        {
            std::lock_guard lock(mutex_);
            for (auto& [id, name] : names)
                nodes_.insert_or_assign(id, Node{parent, std::move(name)});
        }
        std::sort(children.begin(), children.end(), [](const ItemInfo& a, const ItemInfo& b) {
            return a.isDocument != b.isDocument ? b.isDocument : a.name < b.name;
        });
        return children;
    }

    std::unique_ptr<IContentReader> OpenContent(const IdPath& document) override
    {
        const Located located = Locate(document);
        // A regular file opened beneath the root without following a link is the document
        // itself; anything else (a link to a document, a folder, nothing) is classified first.
        common::UniqueFd fd(OpenBeneath(rootFd_.get(), root_, located.relative));
        struct stat st
        {};
        if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            const Entry entry = Existing(located);
            if (!entry.isDocument)
                throw VadroError(L"Элемент не является документом: " + located.Display());
            fd = common::UniqueFd(OpenBeneath(rootFd_.get(), root_, entry.content.lexically_relative(root_)));
            if (fd.get() < 0)
                throw VadroError(L"Не удалось открыть документ " + located.Display() + L": " + SystemErrorText(errno));
            if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
                throw VadroError(L"Элемент не является документом: " + located.Display());
        }
        // O_NONBLOCK stays: it changes nothing for a regular file.
        return std::make_unique<ContentReader>(std::move(fd), IdentityOf(st), located.Display());
    }

private:
    struct Node
    {
        Uuid parent;
        std::string name;
    };

    struct Located
    {
        std::string relative;
        fs::path full;
        std::vector<std::wstring> names;

        std::wstring Display() const
        {
            std::wstring text = L"/";
            for (std::size_t i = 0; i < names.size(); ++i)
                text += (i > 0 ? L"/" : L"") + names[i];
            return text;
        }
    };

    void Remember(const Uuid& id, const Uuid& parent, const std::string& name)
    {
        std::lock_guard lock(mutex_);
        nodes_.insert_or_assign(id, Node{parent, name});
    }

    std::optional<std::string> Lookup(const Uuid& id, const Uuid& parent) const
    {
        std::lock_guard lock(mutex_);
        const auto found = nodes_.find(id);
        if (found == nodes_.end() || found->second.parent != parent)
            return std::nullopt;
        return found->second.name;
    }

    // Learns the identifiers of a folder's children, for identifiers that another session handed out.
    void LearnChildren(const Located& folder, const Uuid& parent)
    {
        std::error_code error;
        std::vector<std::pair<Uuid, std::string>> found;
        for (fs::directory_iterator it(folder.full, error), end; !error && it != end; it.increment(error)) {
            std::string utf8 = it->path().filename().string();
            if (!common::fromUtf8Strict(utf8))
                continue;
            found.emplace_back(ItemId(folder.relative.empty() ? utf8 : folder.relative + '/' + utf8), std::move(utf8));
        }
        std::lock_guard lock(mutex_);
        for (auto& [id, name] : found)
            nodes_.insert_or_assign(id, Node{parent, std::move(name)});
    }

    Located Locate(const IdPath& ids)
    {
        Located located{{}, root_, {}};
        Uuid parent = boost::uuids::nil_uuid();
        for (const Uuid& id : ids) {
            std::optional<std::string> name = Lookup(id, parent);
            if (!name) {
                LearnChildren(located, parent);
                name = Lookup(id, parent);
            }
            if (!name)
                throw VadroError(L"Неизвестный идентификатор элемента: " + boost::uuids::to_wstring(id));
            located.relative = located.relative.empty() ? *name : located.relative + '/' + *name;
            located.full /= *name;
            located.names.push_back(common::fromUtf8(*name));
            parent = id;
        }
        return located;
    }

    Entry Existing(const Located& located) const
    {
        if (located.names.empty()) {
            struct stat st
            {};
            if (::stat(root_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
                throw VadroError(L"Хранилище данных не найдено: " + common::fromUtf8(root_.string()));
            return Entry{false, ModificationTime(st), {}, IdentityOf(st), 0};
        }
        std::optional<Entry> entry = Classify(root_, located.full);
        if (!entry)
            throw VadroError(L"Элемент не найден: " + located.Display());
        return std::move(*entry);
    }

    const fs::path root_;
    const common::UniqueFd rootFd_;
    mutable std::mutex mutex_;
    std::unordered_map<Uuid, Node> nodes_;
};

class EmbeddedCore final : public ICore
{
public:
    std::shared_ptr<ISession> OpenSession(const vadro_cm::Address& address,
                                          const vadro_cm::Credentials& /*credentials*/) override
    {
        if (!address || address->host.empty())
            throw VadroError(L"Не задан адрес хранилища данных");
        std::error_code error;
        fs::path root = fs::canonical(fs::path(common::toUtf8(address->host)), error);
        if (error || !fs::is_directory(root, error))
            throw VadroError(L"Хранилище данных не найдено: " + address->host);
        if (::access(root.c_str(), R_OK | X_OK) != 0)
            throw VadroError(L"Нет доступа к хранилищу данных: " + address->host);
        common::UniqueFd rootFd(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (rootFd.get() < 0)
            throw VadroError(L"Нет доступа к хранилищу данных: " + address->host);
        return std::make_shared<Session>(std::move(root), std::move(rootFd));
    }
};

} // namespace

std::shared_ptr<ICore> CreateCore()
{
    return std::make_shared<EmbeddedCore>();
}

} // namespace vadro
