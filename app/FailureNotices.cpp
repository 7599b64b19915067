#include "FailureNotices.h"

#include <QSettings>
#include <QStringList>

#include <algorithm>

namespace {

// The start instants of failed runs whose log the user opened; a run's start tells it apart.
const QString kSeenFailuresKey = QStringLiteral("SeenFailedRuns");
constexpr int kSeenFailuresKept = 1000;

} // namespace

FailureNotices::FailureNotices(Clock clock)
    : clock_(std::move(clock))
    , seenAtStart_(QSettings().value(kSeenFailuresKey).toStringList())
{}

void FailureNotices::Restore(const TaskInfo* task, const LastRun& lastRun)
{
    if (lastRun.outcome != RunOutcome::Failed)
        return;
    if (!seenAtStart_.contains(QString::number(lastRun.started)))
        unread_.insert(task);
}

bool FailureNotices::RunEnded(const TaskInfo* task, bool succeeded, const QString& reason)
{
    if (succeeded)
        return unread_.erase(task) != 0;
    const bool changed = unread_.insert(task).second;
    const auto pending =
        std::find_if(pending_.begin(), pending_.end(), [task](const auto& failure) { return failure.first == task; });
    if (pending != pending_.end())
        pending->second = reason;
    else
        pending_.emplace_back(task, reason);
    // Failures that come close together wait for each other, but not for ever.
    const qint64 now = clock_();
    if (!due_)
        burstStart_ = now;
    due_ = now + std::max<qint64>(0, std::min(kBurstQuietMs, kBurstLimitMs - (now - burstStart_)));
    return changed;
}

std::optional<FailureNotices::Notice> FailureNotices::TakeNotice(const std::function<bool(const TaskInfo*)>& stored,
                                                                 const std::function<QString(const TaskInfo*)>& nameOf)
{
    due_.reset();
    std::vector<std::pair<const TaskInfo*, QString>> failures;
    failures.swap(pending_);
    failures.erase(std::remove_if(failures.begin(), failures.end(),
                                  [&stored](const auto& failure) { return !stored(failure.first); }),
                   failures.end());
    if (failures.empty())
        return std::nullopt;
    Notice notice;
    if (failures.size() == 1) {
        notice.task = failures.front().first;
        notice.title = tr("Задача «%1» не выполнена").arg(nameOf(notice.task));
        notice.text = failures.front().second;
        return notice;
    }
    notice.title = tr("Не выполнено задач: %1").arg(failures.size());
    QStringList names;
    for (std::size_t i = 0; i < failures.size() && i < kNamesInSummary; ++i)
        names << QStringLiteral("«%1»").arg(nameOf(failures[i].first));
    notice.text = names.join(QStringLiteral(", "));
    if (failures.size() > kNamesInSummary)
        notice.text += tr(" и ещё %1").arg(failures.size() - kNamesInSummary);
    return notice;
}

bool FailureNotices::LogOpened(const TaskInfo* task, const LastRun& lastRun)
{
    if (lastRun.outcome == RunOutcome::Failed) {
        QSettings settings;
        QStringList seen = settings.value(kSeenFailuresKey).toStringList();
        const QString started = QString::number(lastRun.started);
        if (!seen.contains(started)) {
            seen.append(started);
            settings.setValue(kSeenFailuresKey, QStringList(seen.mid(std::max(0, seen.size() - kSeenFailuresKept))));
        }
    }
    return unread_.erase(task) != 0;
}

bool FailureNotices::Prune(const std::function<bool(const TaskInfo*)>& stored)
{
    const auto before = unread_.size();
    for (auto it = unread_.begin(); it != unread_.end();)
        it = stored(*it) ? std::next(it) : unread_.erase(it);
    return unread_.size() != before;
}
