#pragma once

// The boundary to the engineering data repository. Nothing outside this folder touches
// the repository by any other way. The interfaces are abstract so that another
// implementation can take the place of the embedded one without changing callers.
//
// Threads: a core is shared by every thread of the program. Opening sessions, resolving,
// listing and reading are safe from any number of threads at once; one session object is
// used by one thread at a time.

#include <boost/uuid/uuid.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace vadro {
using Uuid = boost::uuids::uuid;
// A fresh random identifier.
Uuid GenerateUuid();
} // namespace vadro

namespace vadro_cm {

// Where a repository is. The embedded repository reads `host` as the folder of this
// machine that holds it; `port` is kept but unused.
struct ServerAddress
{
    std::wstring host;
    std::uint16_t port = 0;
    bool operator==(const ServerAddress& o) const { return host == o.host && port == o.port; }
};
using Address = std::optional<ServerAddress>;

struct LoginPassword
{
    std::wstring login;
    std::wstring password;
    bool operator==(const LoginPassword& o) const { return login == o.login && password == o.password; }
};
// No credentials, a login with a password, or one narrow token.
using Credentials = std::variant<std::monostate, LoginPassword, std::string>;

// A saved repository connection. A new one carries a fresh identifier and an empty name.
struct Connection
{
    vadro::Uuid id = vadro::GenerateUuid();
    std::wstring name;
    Address address;
    Credentials credentials;
    std::uint8_t flags = 0;
    bool operator==(const Connection& o) const
    {
        return id == o.id && name == o.name && address == o.address && credentials == o.credentials && flags == o.flags;
    }
};

} // namespace vadro_cm

namespace vadro {

// Identifiers that lead from the repository root to an item, one per path component.
using IdPath = std::vector<Uuid>;

// An error of the repository; the description is a readable (Russian) text.
class VadroError : public std::exception
{
public:
    explicit VadroError(std::wstring description);
    const std::wstring& GetDescription() const noexcept { return description_; }
    const char* what() const noexcept override { return utf8_.c_str(); }

private:
    std::wstring description_;
    std::string utf8_;
};

// The file or directory of this machine that holds an item, for repositories kept in the
// local file system: lets a caller tell that a local path is the item itself.
struct LocalIdentity
{
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const LocalIdentity& o) const { return device == o.device && inode == o.inode; }
    bool operator!=(const LocalIdentity& o) const { return !(*this == o); }
};

struct ItemInfo
{
    Uuid id{};
    std::wstring name;
    bool isDocument = false;
    // Nanoseconds since the Unix epoch; empty when the repository has no valid time.
    std::optional<std::int64_t> modified;
    // Empty for a repository that is not kept in this machine's file system.
    std::optional<LocalIdentity> local;
    // A document's size in bytes; empty when the repository does not tell it.
    std::optional<std::uint64_t> size{};
};

// An entry of a folder that cannot be an item.
struct UnlistedEntry
{
    std::wstring name; // with one U+FFFD per byte that is not UTF-8
    int error = 0;     // why it could not be examined (an errno value); 0 when its name is not UTF-8
};

// Current content of a document, read chunk by chunk; a chunk of length 0 ends it.
class IContentReader
{
public:
    virtual ~IContentReader() = default;
    // Fills up to `size` bytes; returns the count, 0 at the end. Throws VadroError on a read error.
    virtual std::size_t ReadChunk(char* buffer, std::size_t size) = 0;
    // Writes the rest of the content into the open file `fd`; false when writing failed
    // (errno tells why) or when `stop` was set, which is looked at between chunks.
    // Reads chunk by chunk; an implementation may copy without passing through memory.
    // Throws VadroError on a read error.
    virtual bool CopyTo(int fd, const std::atomic<bool>& stop);
    bool CopyTo(int fd);
    // The local file the content is read from, as opened; empty when there is none.
    virtual std::optional<LocalIdentity> Identity() const { return std::nullopt; }
};

class IPathResolver
{
public:
    virtual ~IPathResolver() = default;
    // Identifiers of the leading components that exist, one per name; stops at the first
    // missing one, so a shorter answer means the path does not exist.
    virtual IdPath ResolvePath(const std::vector<std::wstring>& names) = 0;
    // Names of the items along an identifier path; throws VadroError for an unknown identifier.
    virtual std::vector<std::wstring> GetPathNames(const IdPath& ids) = 0;
};

class ISession
{
public:
    virtual ~ISession() = default;
    virtual std::shared_ptr<IPathResolver> GetPathResolver() = 0;
    // The item at the end of `path` (the root folder for an empty path). Throws VadroError.
    virtual ItemInfo GetItem(const IdPath& path) = 0;
    // Direct children of a folder, in a stable order (folders and documents by name). Throws VadroError.
    virtual std::vector<ItemInfo> ListChildren(const IdPath& folder) = 0;
    // The same children; besides, adds to `unlisted` the folder's entries that cannot be items
    // (in a local repository, file names that are not UTF-8 and entries that cannot be
    // examined), so that a caller copying the folder can count them.
    virtual std::vector<ItemInfo> ListAllChildren(const IdPath& folder, std::vector<UnlistedEntry>& unlisted)
    {
        (void)unlisted;
        return ListChildren(folder);
    }
    // The current content of a document, or null when it has none. Throws VadroError.
    virtual std::unique_ptr<IContentReader> OpenContent(const IdPath& document) = 0;
};

class ICore
{
public:
    virtual ~ICore() = default;
    // Connects to the repository that the address names. Throws VadroError on failure.
    virtual std::shared_ptr<ISession> OpenSession(const vadro_cm::Address& address,
                                                  const vadro_cm::Credentials& credentials) = 0;
};

// The default core: the embedded repository, where a repository is a folder of this machine.
std::shared_ptr<ICore> CreateCore();

} // namespace vadro
