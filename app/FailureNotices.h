#pragma once

// What the user is told about failed runs, decided apart from how it is shown. Failures
// that come close together make one notice (a burst), a burst of several tasks one summary.
// A task's failure stays unread, and the tray icon warns, until its log is opened or its
// next run succeeds; the runs whose log was opened are remembered across starts (in the
// application's settings). The window shows the notices and the warning; the clock comes
// in, so the timing is decided without waiting. GUI thread only.

#include "model/TaskInfo.h"

#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <set>
#include <utility>
#include <vector>

class FailureNotices
{
    Q_DECLARE_TR_FUNCTIONS(FailureNotices)

public:
    // Milliseconds on a monotonic clock.
    using Clock = std::function<qint64()>;
    // How long a notice waits for more failures after one, and at most in all.
    static constexpr qint64 kBurstQuietMs = 2000;
    static constexpr qint64 kBurstLimitMs = 10000;
    // A summary names this many tasks, then says how many more there are.
    static constexpr int kNamesInSummary = 3;

    struct Notice
    {
        const TaskInfo* task = nullptr; // the one task named; null for a summary
        QString title;
        QString text;
    };

    explicit FailureNotices(Clock clock);

    // A task as the program starts: a failure kept from before is unread unless its log
    // was opened before this object was made.
    void Restore(const TaskInfo* task, const LastRun& lastRun);
    // A run of `task` ended. A failure is unread and waits for the next notice; a success
    // reads its task's failure. Tells whether the warning changed.
    bool RunEnded(const TaskInfo* task, bool succeeded, const QString& reason);
    // When the notice of the failures waiting is due (on the clock), or none.
    std::optional<qint64> DueAt() const { return due_; }
    // Takes the failures waiting: one named with its reason, or one summary. Tasks for
    // which `stored` is false (removed meanwhile) are left out; none when none is left.
    // `nameOf` gives a task's name as the notice shows it.
    std::optional<Notice> TakeNotice(const std::function<bool(const TaskInfo*)>& stored,
                                     const std::function<QString(const TaskInfo*)>& nameOf);
    // The user opened the log of `task`, whose last run is `lastRun`: its failure is read,
    // now and at later starts. Tells whether the warning changed.
    bool LogOpened(const TaskInfo* task, const LastRun& lastRun);
    // Forgets tasks that are no longer stored. Tells whether the warning changed.
    bool Prune(const std::function<bool(const TaskInfo*)>& stored);

    // The tasks whose failure is unread; the tray icon warns while there is one.
    std::size_t UnreadCount() const { return unread_.size(); }

private:
    Clock clock_;
    QStringList seenAtStart_;
    std::set<const TaskInfo*> unread_;
    // Failures waiting for the notice, in the order they came; one entry per task.
    std::vector<std::pair<const TaskInfo*, QString>> pending_;
    qint64 burstStart_ = 0;
    std::optional<qint64> due_;
};
