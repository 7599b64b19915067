#include "TasksListModel.h"

#include "common/DateTime.h"
#include "scheduler/TaskEvents.h"
#include "scheduler/TaskStorage.h"

#include <QApplication>
#include <QBrush>
#include <QDateTime>
#include <QIcon>
#include <QStringList>
#include <QStyle>

#include <algorithm>
#include <iterator>
#include <stdexcept>

namespace {

// Which of the three Russian plural forms goes with n.
enum class Plural
{
    One,  // 1, 21, 101: каждый ... день
    Few,  // 2-4, 22-24: каждые ... дня
    Many, // 0, 5-20, 111: каждые ... дней
};

Plural PluralOf(std::int64_t n)
{
    const std::int64_t mod10 = n % 10;
    const std::int64_t mod100 = n % 100;
    if (mod10 == 1 && mod100 != 11)
        return Plural::One;
    if (mod10 >= 2 && mod10 <= 4 && (mod100 < 10 || mod100 > 20))
        return Plural::Few;
    return Plural::Many;
}

QString LocalDateTime(Instant instant)
{
    return common::toDateTime(instant).toString(QStringLiteral("dd.MM.yyyy hh:mm"));
}

// The icon of an action kind, in the order of the Action variant: backup, export,
// command, check.
QIcon ActionIcon(std::size_t kind)
{
    static const QStyle::StandardPixmap kIcons[] = {QStyle::SP_DriveHDIcon, QStyle::SP_FileDialogDetailedView,
                                                    QStyle::SP_ComputerIcon, QStyle::SP_DialogApplyButton};
    if (kind >= std::size(kIcons))
        return {};
    return QApplication::style()->standardIcon(kIcons[kind]);
}

} // namespace

TasksListModel::TasksListModel(QObject* parent)
    : QAbstractItemModel(parent)
    , root_(std::make_unique<TaskNode>())
{
    const auto& tasks = TaskStorage::Instance().Tasks();
    root_->children.reserve(tasks.size());
    for (const auto& task : tasks) {
        auto node = std::make_unique<TaskNode>();
        node->task = task.get();
        node->parent = root_.get();
        ReadRunState(*node);
        root_->children.push_back(std::move(node));
    }
    TaskEvents& events = TaskStorage::Instance().Events();
    connect(&events, &TaskEvents::runStarted, this, &TasksListModel::RefreshTask);
    connect(&events, &TaskEvents::runEnded, this, &TasksListModel::RefreshTask);
    connect(&events, &TaskEvents::runStopped, this, &TasksListModel::RefreshTask);
    connect(&events, &TaskEvents::rearmed, this, &TasksListModel::RefreshTask);
}

TasksListModel::~TasksListModel() = default;

void TasksListModel::ReadRunState(TaskNode& node)
{
    TaskStorage& storage = TaskStorage::Instance();
    try {
        // A copy, taken under the service's lock: the worker writes the last run.
        const TaskInfo copy = storage.Copy(node.task);
        node.actionKind = copy.action.index();
        node.lastRun = copy.last_run;
        node.paused = copy.paused;
        node.nextRun = storage.ScheduledRun(node.task);
    } catch (const std::out_of_range&) {
        // No longer stored: the row is about to go.
    }
}

int TasksListModel::RowOf(const TaskInfo* task) const
{
    const auto& rows = root_->children;
    const auto it = std::find_if(rows.begin(), rows.end(), [task](const auto& node) { return node->task == task; });
    return it == rows.end() ? -1 : static_cast<int>(std::distance(rows.begin(), it));
}

void TasksListModel::RefreshTask(const TaskInfo* task)
{
    const int row = RowOf(task);
    if (row < 0)
        return;
    ReadRunState(*root_->children[row]);
    emit dataChanged(index(row, 0), index(row, ColumnCount - 1), {});
}

TasksListModel::TaskNode* TasksListModel::NodeOf(const QModelIndex& index) const
{
    if (index.isValid() && index.internalPointer())
        return static_cast<TaskNode*>(index.internalPointer());
    return root_.get();
}

QModelIndex TasksListModel::index(int row, int column, const QModelIndex& parent) const
{
    if (!hasIndex(row, column, parent))
        return {};
    const TaskNode* node = NodeOf(parent);
    if (row < static_cast<int>(node->children.size()) && node->children[row])
        return createIndex(row, column, node->children[row].get());
    return {};
}

QModelIndex TasksListModel::parent(const QModelIndex& index) const
{
    if (!index.isValid())
        return {};
    const TaskNode* parentNode = static_cast<TaskNode*>(index.internalPointer())->parent;
    if (!parentNode || parentNode == root_.get())
        return {};
    int row = 0;
    if (const TaskNode* grandParent = parentNode->parent) {
        const auto& siblings = grandParent->children;
        const auto it = std::find_if(siblings.begin(), siblings.end(),
                                     [parentNode](const auto& child) { return child.get() == parentNode; });
        row = it == siblings.end() ? -1 : static_cast<int>(std::distance(siblings.begin(), it));
    }
    return createIndex(row, 0, const_cast<TaskNode*>(parentNode));
}

int TasksListModel::rowCount(const QModelIndex& parent) const
{
    if (parent.column() > 0)
        return 0;
    return static_cast<int>(NodeOf(parent)->children.size());
}

int TasksListModel::columnCount(const QModelIndex&) const
{
    return ColumnCount;
}

QVariant TasksListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return {};
    const TaskNode* node = NodeOf(index);
    const TaskInfo* task = node->task;
    if (!task)
        return {};
    const bool failed = node->lastRun.outcome == RunOutcome::Failed;
    if (role == Qt::ForegroundRole) {
        // A paused row steps back; a failed one stands out in a long list.
        if (node->paused)
            return QApplication::palette().brush(QPalette::Disabled, QPalette::Text);
        if (failed)
            return QBrush(Qt::red);
        return {};
    }
    if (role == Qt::DecorationRole) {
        if (index.column() == NameColumn)
            return ActionIcon(node->actionKind);
        if (index.column() == ResultColumn && failed)
            return QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning);
        return {};
    }
    if (role == Qt::ToolTipRole && index.column() == ResultColumn && failed && !node->lastRun.reason.empty())
        return QString::fromStdWString(node->lastRun.reason);
    // A cell too narrow for its text shows it whole as a tooltip.
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return {};
    const bool ran = node->lastRun.outcome != RunOutcome::None;
    switch (index.column()) {
    case NameColumn:
        return QString::fromStdWString(task->name);
    case TriggerColumn:
        return triggerDescription(*task);
    case NextRunColumn:
        if (node->paused)
            return tr("Приостановлена");
        return node->nextRun == kNeverInstant ? QStringLiteral("—") : LocalDateTime(node->nextRun);
    case LastRunColumn:
        return ran ? LocalDateTime(node->lastRun.started) : QString();
    case ResultColumn:
        return OutcomeText(node->lastRun.outcome);
    default:
        return {};
    }
}

QString TasksListModel::OutcomeText(RunOutcome outcome)
{
    switch (outcome) {
    case RunOutcome::Running:
        return tr("Выполняется");
    case RunOutcome::Succeeded:
        return tr("Успешно");
    case RunOutcome::Failed:
        return tr("Ошибка");
    case RunOutcome::Unknown:
        return tr("Неизвестно");
    case RunOutcome::Stopped:
        return tr("Остановлено");
    case RunOutcome::None:
        break;
    }
    return {};
}

QVariant TasksListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case NameColumn:
        return tr("Название");
    case TriggerColumn:
        return tr("Триггер");
    case NextRunColumn:
        return tr("Следующий запуск");
    case LastRunColumn:
        return tr("Последний запуск");
    case ResultColumn:
        return tr("Результат");
    default:
        return {};
    }
}

bool TasksListModel::removeRows(int row, int count, const QModelIndex& parent)
{
    TaskNode* node = NodeOf(parent);
    const qint64 size = static_cast<qint64>(node->children.size());
    // The sum is taken in 64 bits so that no pair of ints overflows it.
    if (row < 0 || qint64(row) + count > size)
        return false;
    if (count <= 0)
        return true;
    beginRemoveRows(parent, row, row + count - 1);
    for (int i = 0; i < count; ++i) {
        TaskStorage::Instance().RemoveTask(node->children[row]->task);
        node->children.erase(node->children.begin() + row);
    }
    endRemoveRows();
    return true;
}

Qt::ItemFlags TasksListModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return QAbstractItemModel::flags(index);
}

const TaskInfo* TasksListModel::taskAt(const QModelIndex& index) const
{
    return NodeOf(index)->task;
}

bool TasksListModel::insertTask(int row, const QModelIndex& parent, const TaskInfo& task)
{
    TaskNode* node = NodeOf(parent);
    // Checked first, so the service never holds a task that no row shows.
    if (row < 0 || row > static_cast<int>(node->children.size()))
        return false;
    beginInsertRows(parent, row, row);
    auto child = std::make_unique<TaskNode>();
    // The service keeps the same order, so the store file and the next start show it too.
    child->task = TaskStorage::Instance().AddTask(task, static_cast<std::size_t>(row));
    child->parent = node;
    ReadRunState(*child);
    node->children.insert(node->children.begin() + row, std::move(child));
    endInsertRows();
    return true;
}

void TasksListModel::updateTask(const QModelIndex& index, const TaskInfo& task)
{
    TaskStorage::Instance().UpdateTask(taskAt(index), task);
    // Every column follows from the record and its new schedule.
    ReadRunState(*NodeOf(index));
    emit dataChanged(index.siblingAtColumn(0), index.siblingAtColumn(columnCount(index.parent()) - 1), {});
}

void TasksListModel::runTask(const QModelIndex& index)
{
    TaskStorage::Instance().RunNow(taskAt(index));
}

void TasksListModel::SetPaused(const QModelIndex& index, bool paused)
{
    // The service's notice repaints the row.
    TaskStorage::Instance().SetPaused(taskAt(index), paused);
}

bool TasksListModel::StopTask(const QModelIndex& index)
{
    return TaskStorage::Instance().Stop(taskAt(index));
}

QString TasksListModel::triggerDescription(const TaskInfo& task)
{
    const QString sentence = ScheduleDescription(task);
    if (task.retry_count <= 0 || sentence.isEmpty())
        return sentence;
    return sentence +
           tr(", при ошибке — до %1 повторов через %2 мин").arg(task.retry_count).arg(task.retry_interval_minutes);
}

QString TasksListModel::ScheduleDescription(const TaskInfo& task)
{
    const QDateTime start = common::toDateTime(task.starting_point);
    const QString time = start.toString(QStringLiteral("hh:mm"));
    const QString date = start.toString(QStringLiteral("dd-MM-yyyy"));
    // A rule that never repeats runs only at its start (when that is still ahead): it says
    // so, instead of a sentence that promises runs.
    const auto once = [&](const QString& why) {
        return tr("Один запуск в %1 %2, без повторения: %3").arg(time, date, why);
    };
    const QString noDay = tr("в правиле нет ни одного допустимого дня");
    const std::int64_t interval = std::visit([](const auto& rule) { return rule.repeat_interval; }, task.trigger);
    if (interval <= 0)
        return once(tr("интервал повторения меньше 1"));

    if (const auto* daily = std::get_if<DailyTrigger>(&task.trigger)) {
        const std::int64_t n = daily->repeat_interval;
        QString every;
        if (n == 1)
            every = tr("каждый день");
        else if (PluralOf(n) == Plural::One)
            every = tr("каждый %1 день").arg(n);
        else if (PluralOf(n) == Plural::Few)
            every = tr("каждые %1 дня").arg(n);
        else
            every = tr("каждые %1 дней").arg(n);
        return tr("В %1 %2, начиная с %3").arg(time, every, date);
    }

    if (const auto* weekly = std::get_if<WeeklyTrigger>(&task.trigger)) {
        // Accusative, lower case inside the sentence.
        static const char* const kDayNames[] = {
            QT_TR_NOOP("воскресенье"), QT_TR_NOOP("понедельник"), QT_TR_NOOP("вторник"), QT_TR_NOOP("среду"),
            QT_TR_NOOP("четверг"),     QT_TR_NOOP("пятницу"),     QT_TR_NOOP("субботу"),
        };
        QStringList names;
        Weekday first = 0;
        for (const Weekday day : weekly->weekdays) { // the set is ordered: Sunday first
            if (day < std::size(kDayNames)) {
                if (names.isEmpty())
                    first = day;
                names.append(tr(kDayNames[day]));
            }
        }
        if (names.isEmpty())
            return once(noDay);
        const std::int64_t n = weekly->repeat_interval;
        QString every;
        if (n == 1)
            every = tr("каждую неделю");
        else if (PluralOf(n) == Plural::One)
            every = tr("каждую %1 неделю").arg(n);
        else if (PluralOf(n) == Plural::Few)
            every = tr("каждые %1 недели").arg(n);
        else
            every = tr("каждые %1 недель").arg(n);
        // "во вторник": the preposition takes a vowel before the two consonants.
        const QString days = (first == 2 ? tr("во %1") : tr("в %1")).arg(names.join(QStringLiteral(", ")));
        return tr("В %1 %2 %3, начиная с %4").arg(time, days, every, date);
    }

    if (const auto* monthly = std::get_if<MonthlyTrigger>(&task.trigger)) {
        // Prepositional: "в январе, июле".
        static const char* const kMonthNames[] = {
            QT_TR_NOOP("январе"),   QT_TR_NOOP("феврале"), QT_TR_NOOP("марте"),  QT_TR_NOOP("апреле"),
            QT_TR_NOOP("мае"),      QT_TR_NOOP("июне"),    QT_TR_NOOP("июле"),   QT_TR_NOOP("августе"),
            QT_TR_NOOP("сентябре"), QT_TR_NOOP("октябре"), QT_TR_NOOP("ноябре"), QT_TR_NOOP("декабре"),
        };
        // Listed as the schedule reads them: days and months it cannot use are left out.
        QStringList days;
        for (const DayOfMonth day : monthly->days)
            if (day >= 1 && day <= 31 && !days.contains(QString::number(day)))
                days.append(QString::number(day));
        if (monthly->days.empty())
            days.append(QString::number(start.date().day()));
        QStringList months;
        for (const MonthOfYear month : monthly->months)
            if (month >= 1 && month <= 12 && !months.contains(tr(kMonthNames[month - 1])))
                months.append(tr(kMonthNames[month - 1]));
        if ((!monthly->days.empty() && days.isEmpty()) || (!monthly->months.empty() && months.isEmpty()))
            return once(noDay);
        const QString which =
            monthly->months.empty() ? tr("каждого месяца") : tr("в %1").arg(months.join(QStringLiteral(", ")));
        return tr("В %1 %2 числа %3, начиная с %4").arg(time, days.join(QStringLiteral(", ")), which, date);
    }

    return {};
}
