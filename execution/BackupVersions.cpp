#include "execution/BackupVersions.h"

#include "common/Utf8.h"
#include "execution/BackupFiles.h"
#include "execution/RunTexts.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace execution::backup {

struct LedgerEntry
{
    std::string state;
    std::string name;
    std::string source; // UTF-8 repository path
};

namespace {

// Versions are named after the run's local start; an unfinished one is hidden and marked.
constexpr char kVersionShape[] = "dddd-dd-dd_dd-dd-dd";
constexpr char kPartialSuffix[] = ".partial";
constexpr char kLatest[] = "latest";

bool IsVersionName(const std::string& name)
{
    if (name.size() != sizeof kVersionShape - 1)
        return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (kVersionShape[i] == 'd' ? name[i] < '0' || name[i] > '9' : name[i] != kVersionShape[i])
            return false;
    return true;
}

// The ledger in the destination lists the versions that runs made, one a line: its state
// ("partial", "complete" or "deleting"), its name and the source it copies, in the order the
// versions completed. Only what it lists is ever taken for a version, linked against or removed.
constexpr char kLedger[] = ".kalvor-versions";
constexpr char kDeletingSuffix[] = ".deleting";
constexpr char kPartialState[] = "partial";
constexpr char kCompleteState[] = "complete";
constexpr char kDeletingState[] = "deleting";

// Reads the ledger of the destination open as `destination`; none yet is an empty one. False
// with errno set when it cannot be read (ELOOP for a link, EINVAL for what is not a file).
bool ReadLedger(int destination, std::vector<LedgerEntry>& ledger)
{
    ledger.clear();
    common::UniqueFd fd(::openat(destination, kLedger, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0)
        return errno == ENOENT;
    struct stat st
    {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return false;
    }
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd.get(), buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno != EINTR)
            return false;
        if (n > 0)
            text.append(buffer, static_cast<std::size_t>(n));
    }
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        const std::size_t first = line.find(' '), second = line.find(' ', first + 1);
        if (first == std::string::npos || second == std::string::npos)
            continue;
        LedgerEntry entry{line.substr(0, first), line.substr(first + 1, second - first - 1), {}};
        // The source is written with "\\" and "\n" escaped.
        for (std::size_t i = second + 1; i < line.size(); ++i)
            entry.source += line[i] == '\\' && i + 1 < line.size() ? (line[++i] == 'n' ? '\n' : line[i]) : line[i];
        ledger.push_back(std::move(entry));
    }
    return true;
}

// Replaces the ledger at once with `ledger`: written whole to a temporary file, then renamed.
bool WriteLedger(int destination, const std::vector<LedgerEntry>& ledger)
{
    std::string text;
    for (const LedgerEntry& entry : ledger) {
        text += entry.state + ' ' + entry.name + ' ';
        for (const char c : entry.source)
            text += c == '\n' ? std::string("\\n") : c == '\\' ? std::string("\\\\") : std::string(1, c);
        text += '\n';
    }
    const std::string temp = TempName();
    common::UniqueFd fd(
        ::openat(destination, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (fd.get() < 0)
        return false;
    bool written = true;
    for (std::size_t done = 0; written && done < text.size();) {
        const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        written = n > 0 || (n < 0 && errno == EINTR);
        done += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    written = written && ::fsync(fd.get()) == 0 && fd.Close() &&
              ::renameat(destination, temp.c_str(), destination, kLedger) == 0;
    if (!written) {
        const int error = errno;
        ::unlinkat(destination, temp.c_str(), 0);
        errno = error;
    }
    return written;
}

// Holds the ledger of the destination open as `destination` for one reading and writing.
class LedgerLock
{
public:
    explicit LedgerLock(int destination)
        : fd_(destination)
    {
        while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~LedgerLock() { ::flock(fd_, LOCK_UN); }
    LedgerLock(const LedgerLock&) = delete;
    LedgerLock& operator=(const LedgerLock&) = delete;

private:
    int fd_;
};

} // namespace

std::string VersionName(std::time_t started)
{
    std::tm local{};
    char text[32] = {};
    if (::localtime_r(&started, &local) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%d_%H-%M-%S", &local) == 0 || !IsVersionName(text))
        return {};
    return text;
}

// Links the copy of `child` in the newest complete version's folder `previous` into
// `directory` when the document has not changed since: same size, same modification time.
bool LinkUnchanged(int previous, int directory, const std::string& name, const vadro::ItemInfo& child)
{
    if (previous < 0 || !child.modified || !child.size)
        return false;
    struct stat st
    {};
    if (::fstatat(previous, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::uint64_t>(st.st_size) != *child.size || Nanoseconds(st.st_mtim) != *child.modified)
        return false;
    // A "copy" that is the document itself would change with it.
    if (child.local && IdentityOf(st) == *child.local)
        return false;
    // Where no link can be made (another file system, a link count limit) the document is copied.
    return ::linkat(previous, name.c_str(), directory, name.c_str(), 0) == 0;
}

BackupVersions::BackupVersions(BackupResult& result, std::filesystem::path destination, std::uint32_t keep,
                               std::string source, std::string version)
    : result_(result)
    , path_(std::move(destination))
    , keep_(keep)
    , source_(std::move(source))
    , version_(std::move(version))
{}

std::wstring BackupVersions::Shown(const std::string& name) const
{
    return common::fromUtf8((path_ / name).string());
}

void BackupVersions::Complete()
{
    if (folder_.get() < 0 || !result_.reason.empty() || result_.failed > 0)
        return;
    const int destination = destination_;
    const LedgerLock lock(destination);
    std::vector<LedgerEntry> ledger;
    if (!ReadLedger(destination, ledger) || !RenameNoReplace(destination, '.' + version_ + kPartialSuffix, version_)) {
        result_.reason =
            RunTexts::Text("не удалось завершить версию %1", common::fromUtf8(version_)) + L": " + ErrorText(errno);
        return;
    }
    folder_.reset();
    result_.version = common::fromUtf8(version_);
    // The ledger keeps the order in which versions completed, whatever the clock did.
    ledger.erase(
        std::remove_if(ledger.begin(), ledger.end(), [&](const LedgerEntry& entry) { return entry.name == version_; }),
        ledger.end());
    std::vector<std::size_t> older;
    for (std::size_t i = 0; i < ledger.size(); ++i)
        if (ledger[i].source == source_ && ledger[i].state == kCompleteState)
            older.push_back(i);
    ledger.push_back({kCompleteState, version_, source_});
    const std::size_t kept = std::min<std::size_t>(older.size(), keep_ - 1);
    older.resize(older.size() - kept);
    // A version is marked and hidden before its contents go, so that one half removed never
    // looks complete; what a killed run left so the next run removes.
    for (const std::size_t i : older)
        ledger[i].state = kDeletingState;
    if (!WriteLedger(destination, ledger)) {
        CountFailure(result_, Shown(kLedger), ErrorText(errno));
        return;
    }
    for (const std::size_t i : older)
        RemoveVersion(ledger[i]);
    ledger.erase(
        std::remove_if(ledger.begin(), ledger.end(), [](const LedgerEntry& entry) { return entry.name.empty(); }),
        ledger.end());
    if (!WriteLedger(destination, ledger))
        CountFailure(result_, Shown(kLedger), ErrorText(errno));
    PointLatest();
}

// Makes the run's unfinished version, recorded in the ledger before it is made and locked
// while the run writes it, after removing what interrupted runs of this source left; opens
// this source's newest complete version. False, with the run's reason set, when the
// version cannot be made.
bool BackupVersions::Start(int destination)
{
    destination_ = destination;
    if (version_.empty()) {
        result_.reason = RunTexts::Text("не удалось определить местное время запуска");
        return false;
    }
    const LedgerLock lock(destination);
    std::vector<LedgerEntry> ledger;
    if (!ReadLedger(destination, ledger)) {
        result_.reason =
            RunTexts::Text("не удалось прочитать список версий %1", Shown(kLedger)) + L": " + ErrorText(errno);
        return false;
    }
    RemoveUnfinished(ledger);
    // A name that is taken (a run of the same second, a folder of the user's) gets a number.
    const std::string stamp = version_;
    for (int n = 2; Taken(ledger, version_) && n < 1000; ++n)
        version_ = stamp + '_' + std::to_string(n);
    if (Taken(ledger, version_)) {
        result_.reason = RunTexts::Text("версия %1 уже есть в папке назначения", common::fromUtf8(stamp));
        return false;
    }
    const std::string partial = '.' + version_ + kPartialSuffix;
    ledger.push_back({kPartialState, version_, source_});
    common::UniqueFd fd;
    if (WriteLedger(destination, ledger)) {
        // Made and locked under a temporary name, so that no other run takes it for a leftover.
        std::string temp;
        for (int attempt = 0; attempt < 16 && fd.get() < 0; ++attempt) {
            temp = TempName();
            if (::mkdirat(destination, temp.c_str(), 0777) != 0) {
                if (errno == EEXIST)
                    continue;
                break;
            }
            fd = common::UniqueFd(::openat(destination, temp.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (fd.get() < 0 || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 ||
                !RenameNoReplace(destination, temp, partial)) {
                const int error = errno;
                ::unlinkat(destination, temp.c_str(), AT_REMOVEDIR);
                errno = error;
                fd.reset();
                break;
            }
        }
    }
    if (fd.get() < 0) {
        result_.reason = RunTexts::Text("не удалось создать папку %1", Shown(partial)) + L": " + ErrorText(errno);
        return false;
    }
    for (auto entry = ledger.rbegin(); entry != ledger.rend() && previous_.get() < 0; ++entry)
        if (entry->source == source_ && entry->state == kCompleteState)
            previous_ = common::UniqueFd(
                ::openat(destination, entry->name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    folder_ = std::move(fd);
    return true;
}

// Whether `name` cannot name a new version: the ledger lists it, or something in the
// destination bears it or its hidden forms.
bool BackupVersions::Taken(const std::vector<LedgerEntry>& ledger, const std::string& name) const
{
    if (std::any_of(ledger.begin(), ledger.end(), [&](const LedgerEntry& entry) { return entry.name == name; }))
        return true;
    struct stat st
    {};
    for (const std::string& form : {name, '.' + name + kPartialSuffix, '.' + name + kDeletingSuffix})
        if (::fstatat(destination_, form.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            return true;
    return false;
}

// Removes the version of `entry`, marked as being removed, and clears the entry's name
// once nothing of it stays; what stays is counted as failed and tried again by the next run.
void BackupVersions::RemoveVersion(LedgerEntry& entry)
{
    const int destination = destination_;
    const std::string hidden = '.' + entry.name + kDeletingSuffix;
    if (!RenameNoReplace(destination, entry.name, hidden) && errno != ENOENT) {
        CountFailure(result_, Shown(entry.name),
                     RunTexts::Text("не удалось удалить старую версию") + L": " + ErrorText(errno));
        return;
    }
    struct stat st
    {};
    if (::fstatat(destination, hidden.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
        !RemoveTree(destination, hidden)) {
        CountFailure(result_, Shown(entry.name),
                     RunTexts::Text("не удалось удалить старую версию") + L": " + ErrorText(errno));
        return;
    }
    entry.name.clear();
}

// Removes what ended runs of this source left, as the ledger lists it: unfinished versions
// that no run holds, and versions a run began to remove. Nothing the ledger does not list
// is touched.
void BackupVersions::RemoveUnfinished(std::vector<LedgerEntry>& ledger)
{
    const int destination = destination_;
    const std::size_t failed = result_.failed;
    const std::vector<BackupFailure> failures = result_.failures;
    bool changed = false;
    for (LedgerEntry& entry : ledger) {
        if (entry.source != source_)
            continue;
        if (entry.state == kDeletingState) {
            RemoveVersion(entry);
            changed = true;
        } else if (entry.state == kPartialState) {
            const std::string partial = '.' + entry.name + kPartialSuffix;
            common::UniqueFd fd(
                ::openat(destination, partial.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (fd.get() < 0 ? errno == ENOENT || errno == ELOOP || errno == ENOTDIR
                             : ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 && RemoveTree(destination, partial))
                entry.name.clear();
            changed = true;
        }
    }
    // A leftover that stays is no failure of this run.
    result_.failed = failed;
    result_.failures = failures;
    ledger.erase(
        std::remove_if(ledger.begin(), ledger.end(), [](const LedgerEntry& entry) { return entry.name.empty(); }),
        ledger.end());
    if (changed)
        WriteLedger(destination, ledger); // written again with the run's own entry
}

// Points the symbolic link "latest" at the run's version, replacing the previous link at
// once; a file or folder of the user's that bears the name stays.
void BackupVersions::PointLatest()
{
    const int destination = destination_;
    struct stat st
    {};
    if (::fstatat(destination, kLatest, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISLNK(st.st_mode))
        return;
    std::string temp;
    for (int attempt = 0; attempt < 16; ++attempt) {
        temp = TempName();
        if (::symlinkat(version_.c_str(), destination, temp.c_str()) == 0)
            break;
        temp.clear();
        if (errno != EEXIST)
            break;
    }
    if (!temp.empty() && ::renameat(destination, temp.c_str(), destination, kLatest) == 0)
        return;
    const int error = errno;
    if (!temp.empty())
        ::unlinkat(destination, temp.c_str(), 0);
    CountFailure(result_, Shown(kLatest), ErrorText(error));
}

} // namespace execution::backup
