#pragma once

// The item model behind the task list: one row per task stored in the task storage
// service, with the task's name and a Russian sentence describing its trigger. It is the
// only way the user interface adds, changes, removes and runs tasks; each request goes
// to the service and the model adjusts its rows around the call. Rows point at records
// the service owns; the model owns none. GUI thread only.

#include "model/TaskInfo.h"

#include <QAbstractItemModel>
#include <QString>

#include <memory>
#include <vector>

class TasksListModel : public QAbstractItemModel
{
    Q_OBJECT

public:
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

    // The Russian sentence for a task's trigger in the local zone; empty for monthly ones.
    static QString triggerDescription(const TaskInfo& task);

private:
    struct TaskNode
    {
        std::vector<std::unique_ptr<TaskNode>> children;
        const TaskInfo* task = nullptr;
        TaskNode* parent = nullptr;
    };

    TaskNode* nodeOf(const QModelIndex& index) const;

    std::unique_ptr<TaskNode> root_;
};
