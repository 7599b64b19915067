#include "scheduler/StoreKeeper.h"

#include "common/Logging.h"
#include "common/RegularFile.h"
#include "model/StoreSalvage.h"

#include <boost/property_tree/xml_parser.hpp>

#include <algorithm>
#include <cctype>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Removes the temporary files `prefix` + six letters or digits in `folder` that a save of
// the store or a log's rotation leaves when it is cut short (regular files of ours only).
void RemoveLeftovers(const std::filesystem::path& folder, const std::string& prefix)
{
    constexpr std::size_t kRandom = 6;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() != prefix.size() + kRandom || name.compare(0, prefix.size(), prefix) != 0 ||
            !std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                         [](unsigned char c) { return std::isalnum(c) != 0; }))
            continue;
        struct stat st
        {};
        if (::lstat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid())
            continue;
        if (::unlink(it->path().c_str()) == 0)
            qCInfo(lcScheduler, "Removed %s, left by an interrupted write.", it->path().c_str());
    }
}

} // namespace

StoreKeeper::StoreKeeper(StoredTasks& tasks, TaskEvents& events, std::filesystem::path storePath,
                         std::filesystem::path logDirectory, std::chrono::milliseconds runStateDelay,
                         std::chrono::milliseconds saveRetryDelay)
    : tasks_(tasks)
    , events_(events)
    , storePath_(std::move(storePath))
    , logDirectory_(std::move(logDirectory))
    , saver_(std::make_unique<StoreSaver>([this] { return SaveChanges(); }, runStateDelay, saveRetryDelay))
{}

std::vector<store::ParsedTask> StoreKeeper::Read()
{
    if (!store::CreateFolderOf(storePath_))
        return {};
    RemoveLeftovers(storePath_.parent_path(), storePath_.filename().string() + ".");
    RemoveLeftovers(logDirectory_, ".log-rotate.");
    // A store beyond the bound is never read: it is moved aside at the first save.
    common::FileRead file = common::ReadRegularFile(storePath_, store::kMaxStoreBytes);
    if (file.state == common::FileRead::State::Missing)
        return {};
    std::lock_guard<std::mutex> storeLock(mutex_);
    std::vector<store::ParsedTask> parsed;
    if (file.state == common::FileRead::State::Refused) {
        damage_.reason = "cannot be read: " + file.error;
        damagedUnreadable_ = true;
    } else {
        store::Salvage salvage = store::SalvageStore(file.bytes);
        damage_.recovered = salvage.Recovered();
        damage_.dropped = salvage.Dropped();
        if (!salvage.Whole() || salvage.Dropped() > 0) {
            damage_.reason = salvage.Whole() ? "tasks that cannot be read" : salvage.damage;
            damagedBytes_ = std::move(file.bytes);
        }
        parsed = std::move(salvage.tasks);
    }
    if (!damage_.reason.empty())
        qCWarning(lcScheduler,
                  "The task store %s is damaged (%s): %zu tasks loaded, %zu dropped. The file is kept beside "
                  "it before the first change is saved.",
                  storePath_.c_str(), damage_.reason.c_str(), damage_.recovered, damage_.dropped);
    return parsed;
}

void StoreKeeper::MarkRead()
{
    std::lock_guard<std::mutex> storeLock(mutex_);
    std::lock_guard<std::mutex> lock(tasks_.Mutex());
    savedChanges_ = tasks_.ChangesLocked();
}

bool StoreKeeper::Save()
{
    QString failed;
    try {
        failed = SaveLocked();
    } catch (const std::exception& e) {
        qCWarning(lcScheduler, "The task store was not saved: %s", e.what());
        failed = tr("Список заданий не сохранён: %1").arg(QString::fromLocal8Bit(e.what()));
    }
    unsaved_ = !failed.isEmpty();
    // Told outside the locks: a receiver on this thread is called at once and may ask the
    // service for more.
    if (failed.isEmpty()) {
        emit events_.saved();
        return true;
    }
    saver_->RetryLater();
    emit events_.saveFailed(failed);
    return false;
}

bool StoreKeeper::SaveChanges()
{
    {
        std::lock_guard<std::mutex> storeLock(mutex_);
        std::lock_guard<std::mutex> lock(tasks_.Mutex());
        if (tasks_.ChangesLocked() == savedChanges_ && !unsaved_)
            return true; // an edit's own save wrote it already
    }
    return Save();
}

QString StoreKeeper::SaveLocked()
{
    std::lock_guard<std::mutex> storeLock(mutex_);
    if (!store::CreateFolderOf(storePath_))
        return tr("Не удалось создать папку %1.").arg(QString::fromStdString(storePath_.parent_path().string()));
    std::wstring document;
    std::uint64_t covered = 0;
    try {
        // Copied under the state lock and written out without it, so a run never waits for
        // the store to be formatted.
        std::vector<TaskInfo> copies;
        {
            std::lock_guard<std::mutex> lock(tasks_.Mutex());
            copies.reserve(tasks_.List().size());
            for (const auto& t : tasks_.List())
                copies.push_back(*t);
            covered = tasks_.ChangesLocked();
        }
        std::vector<const TaskInfo*> list;
        list.reserve(copies.size());
        for (const TaskInfo& t : copies)
            list.push_back(&t);
        document = store::WriteTasks(list);
    } catch (const boost::property_tree::xml_parser_error& e) {
        qCWarning(lcScheduler, "The task store was not saved: %s", e.what());
        return tr("Список заданий не сохранён: %1").arg(QString::fromLocal8Bit(e.what()));
    }
    // A damaged store is never replaced before it is kept: when keeping it fails, this
    // save is given up and the next one tries again.
    if (!damage_.reason.empty() && damage_.keptAs.empty()) {
        std::string error;
        damage_.keptAs = damagedUnreadable_ ? store::MoveDamagedAside(storePath_, error)
                                            : store::KeepDamagedCopy(storePath_, damagedBytes_, error);
        if (damage_.keptAs.empty()) {
            qCWarning(lcScheduler, "The task store was not saved: the damaged %s could not be kept: %s",
                      storePath_.c_str(), error.c_str());
            return tr("Не удалось сохранить копию повреждённого файла заданий %1: %2")
                .arg(QString::fromStdString(storePath_.string()), QString::fromLocal8Bit(error.c_str()));
        }
        std::string().swap(damagedBytes_);
        qCWarning(lcScheduler, "The damaged task store was kept as %s", damage_.keptAs.c_str());
    }
    // A failed save leaves the previous file whole.
    std::string error;
    if (!store::WriteFile(storePath_, document, &error)) {
        qCWarning(lcScheduler, "The task store could not be written: %s: %s", storePath_.c_str(), error.c_str());
        return tr("Не удалось записать файл заданий %1: %2")
            .arg(QString::fromStdString(storePath_.string()), QString::fromStdString(error));
    }
    savedChanges_ = covered;
    return {};
}

StoreDamage StoreKeeper::Damage() const
{
    std::lock_guard<std::mutex> storeLock(mutex_);
    return damage_;
}
