#include "app/TasksListModel.h"
#include "scheduler/TaskStorage.h"
#include "support/Service.h"

#include <QAbstractItemModelTester>
#include <QDateTime>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <iterator>
#include <limits>

using testsupport::clearService;
using testsupport::taskNames;

namespace {

QString S(const char* text)
{
    return QString::fromUtf8(text);
}

// 08:30 local time on 2 March 2026, as the trigger sentences show it.
Instant exampleStart()
{
    return QDateTime(QDate(2026, 3, 2), QTime(8, 30)).toMSecsSinceEpoch() * kNanosPerMilli;
}

TaskInfo taskNamed(const QString& name)
{
    TaskInfo task;
    task.name = name.toStdWString();
    task.starting_point = exampleStart();
    return task;
}

QStringList namesOf(const TasksListModel& model)
{
    QStringList names;
    for (int row = 0; row < model.rowCount(); ++row)
        names << model.index(row, 0).data().toString();
    return names;
}

} // namespace

class TestTasksListModel : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void triggerDescription_data();
    void triggerDescription();
    void rowsFollowServiceOrder();
    void headerData_data();
    void headerData();
    void structure();
    void removeRows_data();
    void removeRows();
    void insertTask_data();
    void insertTask();
    void updateTaskKeepsRow();
    void runColumnsFollowTheService();
};

void TestTasksListModel::init()
{
    clearService();
}

void TestTasksListModel::triggerDescription_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<qint64>("interval");
    QTest::addColumn<QList<int>>("days");
    QTest::addColumn<QString>("expected");

    const QList<int> none;
    const struct
    {
        qint64 n;
        const char* phrase;
    } daily[] = {
        {1, "каждый день"},       {2, "каждые 2 дня"},    {4, "каждые 4 дня"},      {5, "каждые 5 дней"},
        {11, "каждые 11 дней"},   {12, "каждые 12 дней"}, {14, "каждые 14 дней"},   {21, "каждый 21 день"},
        {22, "каждые 22 дня"},    {25, "каждые 25 дней"}, {101, "каждый 101 день"}, {111, "каждые 111 дней"},
        {112, "каждые 112 дней"},
    };
    for (const auto& row : daily)
        QTest::addRow("daily %lld", static_cast<long long>(row.n))
            << S("daily") << row.n << none
            << QStringLiteral("В 08:30 %1, начиная с 02-03-2026").arg(QString::fromUtf8(row.phrase));

    const struct
    {
        qint64 n;
        const char* phrase;
    } weekly[] = {
        {1, "каждую неделю"},       {2, "каждые 2 недели"},     {3, "каждые 3 недели"},   {4, "каждые 4 недели"},
        {5, "каждые 5 недель"},     {11, "каждые 11 недель"},   {12, "каждые 12 недель"}, {14, "каждые 14 недель"},
        {21, "каждую 21 неделю"},   {22, "каждые 22 недели"},   {25, "каждые 25 недель"}, {101, "каждую 101 неделю"},
        {111, "каждые 111 недель"}, {112, "каждые 112 недель"},
    };
    for (const auto& row : weekly)
        QTest::addRow("weekly %lld", static_cast<long long>(row.n))
            << S("weekly") << row.n << QList<int>{1}
            << QStringLiteral("В 08:30 в понедельник %1, начиная с 02-03-2026").arg(QString::fromUtf8(row.phrase));

    QTest::newRow("Monday and Friday") << S("weekly") << qint64(1) << QList<int>{5, 1}
                                       << S("В 08:30 в понедельник, пятницу каждую неделю, начиная с 02-03-2026");
    QTest::newRow("Sunday and Wednesday") << S("weekly") << qint64(3) << QList<int>{3, 0}
                                          << S("В 08:30 в воскресенье, среду каждые 3 недели, начиная с 02-03-2026");
    QTest::newRow("Tuesday") << S("weekly") << qint64(11) << QList<int>{2}
                             << S("В 08:30 во вторник каждые 11 недель, начиная с 02-03-2026");
    QTest::newRow("Sunday first, Saturday last")
        << S("weekly") << qint64(1) << QList<int>{6, 0}
        << S("В 08:30 в воскресенье, субботу каждую неделю, начиная с 02-03-2026");
    QTest::newRow("every day of the week")
        << S("weekly") << qint64(2) << QList<int>{0, 1, 2, 3, 4, 5, 6}
        << S("В 08:30 в воскресенье, понедельник, вторник, среду, четверг, пятницу, субботу каждые 2 недели, начиная "
             "с 02-03-2026");
    // Rules that never repeat say that they run only at their start.
    const QString noDay = S("Один запуск в 08:30 02-03-2026, без повторения: в правиле нет ни одного допустимого дня");
    const QString noInterval = S("Один запуск в 08:30 02-03-2026, без повторения: интервал повторения меньше 1");
    QTest::newRow("daily 0") << S("daily") << qint64(0) << none << noInterval;
    QTest::newRow("daily -22") << S("daily") << qint64(-22) << none << noInterval;
    QTest::newRow("weekly 0") << S("weekly") << qint64(0) << QList<int>{1} << noInterval;
    QTest::newRow("no weekdays") << S("weekly") << qint64(1) << none << noDay;
    QTest::newRow("only a weekday out of range") << S("weekly") << qint64(2) << QList<int>{7} << noDay;
    QTest::newRow("weekday out of range")
        << S("weekly") << qint64(1) << QList<int>{7, 4} << S("В 08:30 в четверг каждую неделю, начиная с 02-03-2026");
    QTest::newRow("Tuesday and Thursday") << S("weekly") << qint64(1) << QList<int>{4, 2}
                                          << S("В 08:30 во вторник, четверг каждую неделю, начиная с 02-03-2026");
    // Monthly: the list holds days, the interval column the month (0 for none).
    QTest::newRow("monthly, no days, no months")
        << S("monthly") << qint64(0) << none << S("В 08:30 2 числа каждого месяца, начиная с 02-03-2026");
    QTest::newRow("monthly, days in January") << S("monthly") << qint64(1) << QList<int>{30, 15, 15}
                                              << S("В 08:30 30, 15 числа в январе, начиная с 02-03-2026");
    QTest::newRow("monthly, December, unusable day left out")
        << S("monthly") << qint64(12) << QList<int>{40, 1} << S("В 08:30 1 числа в декабре, начиная с 02-03-2026");
    QTest::newRow("monthly, no usable month") << S("monthly") << qint64(13) << QList<int>{1} << noDay;
}

void TestTasksListModel::triggerDescription()
{
    QFETCH(QString, kind);
    QFETCH(qint64, interval);
    QFETCH(QList<int>, days);
    QFETCH(QString, expected);

    TaskInfo task = taskNamed(QStringLiteral("t"));
    if (kind == QLatin1String("daily")) {
        task.trigger = DailyTrigger{interval};
    } else if (kind == QLatin1String("weekly")) {
        WeeklyTrigger weekly;
        weekly.repeat_interval = interval;
        for (int day : days)
            weekly.weekdays.insert(static_cast<Weekday>(day));
        task.trigger = weekly;
    } else {
        MonthlyTrigger monthly;
        if (interval != 0)
            monthly.months.push_back(static_cast<MonthOfYear>(interval));
        for (int day : days)
            monthly.days.push_back(static_cast<DayOfMonth>(day));
        task.trigger = monthly;
    }
    QCOMPARE(TasksListModel::triggerDescription(task), expected);

    // The list shows the same sentence in its second column.
    TasksListModel model;
    QVERIFY(model.insertTask(0, {}, task));
    QCOMPARE(model.index(0, 1).data().toString(), expected);
    QCOMPARE(model.index(0, 0).data().toString(), QStringLiteral("t"));
}

void TestTasksListModel::rowsFollowServiceOrder()
{
    for (const char* name : {"первая", "вторая", "третья"})
        TaskStorage::Instance().AddTask(taskNamed(QString::fromUtf8(name)));
    TasksListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QCOMPARE(namesOf(model), taskNames(TaskStorage::Instance()));
    int row = 0;
    for (const auto& task : TaskStorage::Instance().Tasks())
        QCOMPARE(model.taskAt(model.index(row++, 1)), task.get());
}

void TestTasksListModel::headerData_data()
{
    QTest::addColumn<int>("section");
    QTest::addColumn<int>("orientation");
    QTest::addColumn<int>("role");
    QTest::addColumn<QVariant>("expected");

    QTest::newRow("name") << 0 << int(Qt::Horizontal) << int(Qt::DisplayRole) << QVariant(QStringLiteral("Название"));
    QTest::newRow("trigger") << 1 << int(Qt::Horizontal) << int(Qt::DisplayRole) << QVariant(QStringLiteral("Триггер"));
    QTest::newRow("next run") << 2 << int(Qt::Horizontal) << int(Qt::DisplayRole)
                              << QVariant(QStringLiteral("Следующий запуск"));
    QTest::newRow("last run") << 3 << int(Qt::Horizontal) << int(Qt::DisplayRole)
                              << QVariant(QStringLiteral("Последний запуск"));
    QTest::newRow("result") << 4 << int(Qt::Horizontal) << int(Qt::DisplayRole)
                            << QVariant(QStringLiteral("Результат"));
    QTest::newRow("sixth section") << 5 << int(Qt::Horizontal) << int(Qt::DisplayRole) << QVariant();
    QTest::newRow("vertical") << 0 << int(Qt::Vertical) << int(Qt::DisplayRole) << QVariant();
    QTest::newRow("tool tip") << 0 << int(Qt::Horizontal) << int(Qt::ToolTipRole) << QVariant();
    QTest::newRow("edit role") << 1 << int(Qt::Horizontal) << int(Qt::EditRole) << QVariant();
}

void TestTasksListModel::headerData()
{
    QFETCH(int, section);
    QFETCH(int, orientation);
    QFETCH(int, role);
    QFETCH(QVariant, expected);
    TasksListModel model;
    QCOMPARE(model.headerData(section, Qt::Orientation(orientation), role), expected);
}

void TestTasksListModel::structure()
{
    TaskStorage::Instance().AddTask(taskNamed(QStringLiteral("a")));
    TasksListModel model;
    const QModelIndex name = model.index(0, 0);
    const QModelIndex trigger = model.index(0, 1);
    QVERIFY(name.isValid() && trigger.isValid());
    QCOMPARE(model.rowCount(trigger), 0);
    QCOMPARE(model.rowCount(name), 0);
    QCOMPARE(model.columnCount(), 5);
    QCOMPARE(model.flags(QModelIndex()), Qt::NoItemFlags);
    QCOMPARE(model.flags(name), Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    QVERIFY(!model.parent(name).isValid());
    QVERIFY(!model.index(1, 0).isValid());
    QVERIFY(!model.index(0, 5).isValid());
    QCOMPARE(model.index(0, 1).data(Qt::ToolTipRole), model.index(0, 1).data());
    QVERIFY(!model.index(0, 0).data(Qt::EditRole).isValid());
    QCOMPARE(model.taskAt(QModelIndex()), nullptr);
}

void TestTasksListModel::removeRows_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("remaining");

    const QStringList all{QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"),
                          QStringLiteral("4")};
    QTest::newRow("first") << 0 << 1 << true << QStringList(all.mid(1));
    QTest::newRow("middle two") << 1 << 2 << true
                                << QStringList{QStringLiteral("0"), QStringLiteral("3"), QStringLiteral("4")};
    QTest::newRow("last") << 4 << 1 << true << QStringList(all.mid(0, 4));
    QTest::newRow("all") << 0 << 5 << true << QStringList();
    QTest::newRow("count zero") << 2 << 0 << true << all;
    QTest::newRow("negative count") << 2 << -1 << true << all;
    QTest::newRow("beyond the end") << 4 << 2 << false << all;
    QTest::newRow("row past the end") << 6 << 0 << false << all;
    QTest::newRow("negative row") << -1 << 1 << false << all;
    // Only the end of the range counts: a negative count brings it back inside the rows.
    QTest::newRow("row past the end, negative count") << 7 << -3 << true << all;
    QTest::newRow("huge count") << 1 << std::numeric_limits<int>::max() << false << all;
}

void TestTasksListModel::removeRows()
{
    QFETCH(int, row);
    QFETCH(int, count);
    QFETCH(bool, result);
    QFETCH(QStringList, remaining);

    for (int i = 0; i < 5; ++i)
        TaskStorage::Instance().AddTask(taskNamed(QString::number(i)));
    TasksListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);

    QCOMPARE(model.removeRows(row, count), result);
    QCOMPARE(namesOf(model), remaining);
    QCOMPARE(taskNames(TaskStorage::Instance()), remaining);
    QCOMPARE(removed.count(), remaining.size() < 5 ? 1 : 0);
}

void TestTasksListModel::insertTask_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("rows");

    QTest::newRow("front") << 0 << true
                           << QStringList{QStringLiteral("new"), QStringLiteral("0"), QStringLiteral("1"),
                                          QStringLiteral("2")};
    QTest::newRow("middle") << 2 << true
                            << QStringList{QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("new"),
                                           QStringLiteral("2")};
    QTest::newRow("end") << 3 << true
                         << QStringList{QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("2"),
                                        QStringLiteral("new")};
    QTest::newRow("past the end") << 4 << false
                                  << QStringList{QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("2")};
    QTest::newRow("negative") << -1 << false
                              << QStringList{QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("2")};
}

void TestTasksListModel::insertTask()
{
    QFETCH(int, row);
    QFETCH(bool, result);
    QFETCH(QStringList, rows);

    for (int i = 0; i < 3; ++i)
        TaskStorage::Instance().AddTask(taskNamed(QString::number(i)));
    TasksListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);

    QCOMPARE(model.insertTask(row, {}, taskNamed(QStringLiteral("new"))), result);
    QCOMPARE(namesOf(model), rows);
    // The service stores the task at the same place, so the next start shows the same
    // order; a refused row stores nothing.
    QCOMPARE(taskNames(TaskStorage::Instance()), rows);
    QCOMPARE(namesOf(TasksListModel()), rows);
    if (result)
        QCOMPARE(model.taskAt(model.index(row, 0)), std::next(TaskStorage::Instance().Tasks().begin(), row)->get());
}

void TestTasksListModel::updateTaskKeepsRow()
{
    for (int i = 0; i < 3; ++i)
        TaskStorage::Instance().AddTask(taskNamed(QString::number(i)));
    TasksListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);

    const QModelIndex index = model.index(1, 0);
    const TaskInfo* stored = model.taskAt(index);
    TaskInfo edited = *stored;
    edited.name = L"изменённая";
    edited.trigger = DailyTrigger{22};
    model.updateTask(index, edited);

    // A view repaints only the cells a change names: every column of the row must be named.
    for (int column = 0; column < model.columnCount(); ++column) {
        const bool announced = std::any_of(changed.begin(), changed.end(), [column](const QList<QVariant>& args) {
            const QModelIndex from = args.at(0).toModelIndex();
            const QModelIndex to = args.at(1).toModelIndex();
            return from.row() <= 1 && 1 <= to.row() && from.column() <= column && column <= to.column();
        });
        QVERIFY2(announced, qPrintable(QStringLiteral("column %1 is not repainted").arg(column)));
    }
    QCOMPARE(removed.count(), 0);
    QCOMPARE(inserted.count(), 0);
    QCOMPARE(model.taskAt(model.index(1, 0)), stored);
    QCOMPARE(model.index(1, 0).data().toString(), QStringLiteral("изменённая"));
    QCOMPARE(model.index(1, 1).data().toString(), QStringLiteral("В 08:30 каждые 22 дня, начиная с 02-03-2026"));
    QCOMPARE(namesOf(model), (QStringList{QStringLiteral("0"), QStringLiteral("изменённая"), QStringLiteral("2")}));
}

void TestTasksListModel::runColumnsFollowTheService()
{
    // Due in a second, then daily: the timer fires, the task runs and is armed for tomorrow.
    TaskInfo task = taskNamed(QStringLiteral("скоро"));
    const qint64 dueMs = (QDateTime::currentMSecsSinceEpoch() / 1000 + 2) * 1000;
    task.starting_point = dueMs * kNanosPerMilli;
    CommandAction command;
    command.executable = "/bin/true";
    task.action = command;
    TaskStorage::Instance().AddTask(task);
    TasksListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    const auto cell = [&model](int column) { return model.index(0, column).data().toString(); };
    const auto local = [](qint64 ms) {
        return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("dd.MM.yyyy hh:mm"));
    };
    QCOMPARE(cell(TasksListModel::NextRunColumn), local(dueMs));
    QCOMPARE(cell(TasksListModel::LastRunColumn), QString());
    QCOMPARE(cell(TasksListModel::ResultColumn), QString());

    QTRY_COMPARE_WITH_TIMEOUT(cell(TasksListModel::ResultColumn), QStringLiteral("Успешно"), 10000);
    QCOMPARE(cell(TasksListModel::LastRunColumn), local(dueMs));
    QTRY_COMPARE(cell(TasksListModel::NextRunColumn),
                 local(QDateTime::fromMSecsSinceEpoch(dueMs).addDays(1).toMSecsSinceEpoch()));

    // A task that never runs again says so.
    TaskInfo never = task;
    never.trigger = MonthlyTrigger{1, {2}, {30}}; // 30 February
    model.updateTask(model.index(0, 0), never);
    QCOMPARE(cell(TasksListModel::NextRunColumn), QStringLiteral("—"));
}

QTEST_MAIN(TestTasksListModel)
#include "TasksListModel.moc"
