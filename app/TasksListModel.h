#pragma once

// The item model behind the task list: one row per task stored in the task storage
// service, with the task's name (and an icon for its kind of action), a Russian sentence
// describing its trigger, its next run and the start and outcome of its last run. It is the
// only way the user interface adds, changes, removes and runs tasks; each request goes
// to the service and the model adjusts its rows around the call. Rows point at records
// the service owns; the model owns none. GUI thread only.
//
// The run columns are kept per row and refreshed only when the service reports a change
// (RefreshTask), so painting never takes the service's lock and nothing polls.

#include "model/TaskInfo.h"

#include <QAbstractItemModel>
#include <QString>

#include <memory>
#include <vector>

class TasksListModel : public QAbstractItemModel
{
    Q_OBJECT

public:
    enum Column
    {
        NameColumn,
        TriggerColumn,
        NextRunColumn,
        LastRunColumn,
        ResultColumn,
        ColumnCount
    };

    explicit TasksListModel(QObject* parent = nullptr);
    ~TasksListModel() override;

    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& index) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    bool removeRows(int row, int count, const QModelIndex& parent = QModelIndex()) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // The stored task of a row; null for an invalid index.
    const TaskInfo* taskAt(const QModelIndex& index) const;
    // Stores a copy of `task` in the service and shows it at `row` under `parent`. A row
    // outside 0..rowCount is refused before anything is stored.
    bool insertTask(int row, const QModelIndex& parent, const TaskInfo& task);
    // Replaces the stored task of `index` with `task`; the row stays where it is.
    void updateTask(const QModelIndex& index, const TaskInfo& task);
    // Has the service run the task of `index` at once, without waiting for it.
    void runTask(const QModelIndex& index);

    // The last run of a row's task as the row shows it.
    const LastRun& LastRunAt(const QModelIndex& index) const { return NodeOf(index)->lastRun; }
    // Whether a row's task is paused, as the row shows it.
    bool PausedAt(const QModelIndex& index) const { return NodeOf(index)->paused; }
    // Pauses or resumes the task of `index` and repaints its row.
    void SetPaused(const QModelIndex& index, bool paused);
    // Stops what the task of `index` runs now; false when nothing of it runs.
    bool StopTask(const QModelIndex& index);
    // Re-reads the next run and the last run of a stored task and repaints its row; a task
    // that no row shows is ignored.
    void RefreshTask(const TaskInfo* task);

    // The word for an outcome in the result column; empty before the first run.
    static QString OutcomeText(RunOutcome outcome);
    // The Russian sentence for a task's trigger in the local zone; empty for monthly ones.
    static QString triggerDescription(const TaskInfo& task);

private:
    // The trigger's sentence without what follows a failure.
    static QString ScheduleDescription(const TaskInfo& task);

    struct TaskNode
    {
        std::vector<std::unique_ptr<TaskNode>> children;
        const TaskInfo* task = nullptr;
        TaskNode* parent = nullptr;
        // Copied from the service when the row is made and at each reported change.
        std::size_t actionKind = 0;
        Instant nextRun = kNeverInstant;
        LastRun lastRun;
        bool paused = false;
    };

    TaskNode* NodeOf(const QModelIndex& index) const;
    // Fills a node's copied run state from the service.
    static void ReadRunState(TaskNode& node);
    // The row of a stored task under the root; -1 when no row shows it.
    int RowOf(const TaskInfo* task) const;

    std::unique_ptr<TaskNode> root_;
};
