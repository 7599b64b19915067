#include "TaskListColumns.h"

#include "TasksListModel.h"

#include <QCoreApplication>
#include <QFontMetrics>
#include <QHeaderView>
#include <QStyle>
#include <QTreeView>

#include <algorithm>

int TypicalColumnWidth(const QTreeView& view, int column)
{
    const QFontMetrics metrics(view.font());
    const int padding = 2 * metrics.averageCharWidth();
    const int icon =
        view.iconSize().isValid() ? view.iconSize().width() : view.style()->pixelMetric(QStyle::PM_SmallIconSize);
    int width = 0;
    switch (column) {
    case TasksListModel::NameColumn:
        width = metrics.horizontalAdvance(QCoreApplication::translate("MainWindow", "Резервное копирование проектов")) +
                icon + padding;
        break;
    case TasksListModel::TriggerColumn: {
        TaskInfo typical;
        WeeklyTrigger weekly;
        weekly.weekdays = {1, 3, 5};
        typical.trigger = weekly;
        width = metrics.horizontalAdvance(TasksListModel::triggerDescription(typical)) + padding;
        break;
    }
    case TasksListModel::NextRunColumn:
    case TasksListModel::LastRunColumn:
        width = metrics.horizontalAdvance(QStringLiteral("00.00.0000 00:00")) + padding;
        break;
    case TasksListModel::ResultColumn:
        width = metrics.horizontalAdvance(TasksListModel::OutcomeText(RunOutcome::Running)) + icon + padding;
        break;
    default:
        break;
    }
    return std::max(width, view.header()->sectionSizeHint(column));
}

bool RestoreColumns(QTreeView& view, const QByteArray& state, int savedColumns)
{
    QHeaderView* header = view.header();
    int typicalFrom = 0;
    const bool restored = header->restoreState(state);
    // The columns added since get typical widths, and so does the former last column:
    // it was stretched to the window's edge and would push the new ones out of sight.
    if (restored)
        typicalFrom = savedColumns < header->count() ? std::max(1, savedColumns - 1) : header->count();
    for (int column = typicalFrom; column < header->count(); ++column)
        header->resizeSection(column, TypicalColumnWidth(view, column));
    return restored;
}

void FitColumnsToView(QTreeView& view)
{
    QHeaderView* header = view.header();
    int excess = -view.viewport()->width();
    for (int column = 0; column < header->count(); ++column)
        excess += header->isSectionHidden(column) ? 0 : header->sectionSize(column);
    for (const int column : {int(TasksListModel::TriggerColumn), int(TasksListModel::NameColumn)}) {
        if (excess <= 0)
            break;
        const int size = header->sectionSize(column);
        const int cut = std::min(excess, std::max(0, size - header->sectionSizeHint(column)));
        header->resizeSection(column, size - cut);
        excess -= cut;
    }
}
