#include "WizardTestSupport.h"

#include "scheduler/NextRun.h"
#include "scheduler/TaskStorage.h"
#include "wizard/TaskActionPage.h"
#include "wizard/TaskBrowserPage.h"
#include "wizard/TaskInfoPage.h"
#include "wizard/TaskTriggerPage.h"
#include "wizard/TaskWizard.h"

#include "repository/widgets/BrowserWidget.h"
#include "repository/widgets/ConnectionsManagerWidget.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDirIterator>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimeEdit>
#include <QtTest>

#include <ctime>

namespace {

using wiztest::goTo;
using wiztest::namedTask;

QList<int> visitedPages(TaskWizard& wizard)
{
    QList<int> pages{wizard.currentId()};
    for (;;) {
        const int before = wizard.currentId();
        wizard.next();
        if (wizard.currentId() == before)
            return pages;
        pages << wizard.currentId();
    }
}

bool finishOffered(TaskWizard& wizard)
{
    QAbstractButton* finish = wizard.button(QWizard::FinishButton);
    return finish->isVisibleTo(&wizard) && finish->isEnabled();
}

// A Saturday and a Monday at 10:00 local time.
const QDateTime kSaturday(QDate(2026, 1, 3), QTime(10, 0));
const QDateTime kMonday(QDate(2026, 1, 5), QTime(10, 0));

} // namespace

class TaskWizardTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir repo_;
    QTemporaryDir work_;
    vadro_cm::Connection connection_;

    BackupAction backup() const
    {
        return BackupAction{connection_.id, L"", work_.filePath(QStringLiteral("копии")).toStdWString()};
    }

private slots:
    void initTestCase()
    {
        wiztest::setApplicationNames();
        QVERIFY(repo_.isValid() && work_.isValid());
        QVERIFY(wiztest::makeFile(repo_.filePath(QStringLiteral("Проекты/Мост/план.dwg"))));
        QVERIFY(wiztest::makeFile(repo_.filePath(QStringLiteral("Проекты/Мост/Разрезы/А-А.dwg"))));
        connection_ = wiztest::folderConnection(QStringLiteral("Хранилище"), repo_.path());
        wiztest::saveConnections({connection_});
    }

    void frame()
    {
        TaskInfo edited = namedTask(backup());
        TaskWizard wizard(edited, wiztest::storageContext());
        QCOMPARE(wizard.windowTitle(), QStringLiteral("Создание задачи"));
        QCOMPARE(wizard.wizardStyle(), QWizard::ClassicStyle);
        QCOMPARE(wizard.options(), QWizard::WizardOptions(QWizard::NoBackButtonOnStartPage));
        QCOMPARE(wizard.pageIds(), (QList<int>{0, 1, 2, 3}));
        QVERIFY(qobject_cast<TaskInfoPage*>(wizard.page(0)));
        QVERIFY(qobject_cast<TaskTriggerPage*>(wizard.page(1)));
        QVERIFY(qobject_cast<TaskActionPage*>(wizard.page(2)));
        QVERIFY(qobject_cast<TaskBrowserPage*>(wizard.page(3)));
        QCOMPARE(wizard.page(0)->title(), QStringLiteral("Создать задачу"));
        for (int id : {1, 2, 3})
            QVERIFY(wizard.page(id)->title().isEmpty() && wizard.page(id)->subTitle().isEmpty());
        TaskWizard editing(edited, wiztest::storageContext());
        editing.SetEditing();
        QCOMPARE(editing.page(0)->title(), QStringLiteral("Изменить задачу"));
        // Built from the record, not yet changed by any page.
        QVERIFY(wizard.GetTaskInfo() == edited);
        QVERIFY(wizard.GetConnection().name.empty() && !wizard.GetConnection().id.is_nil());
    }

    void pageFlow_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QList<int>>("pages");
        QTest::newRow("backup") << 0 << QList<int>{0, 1, 2, 3};
        QTest::newRow("export") << 1 << QList<int>{0, 1, 2, 3};
        QTest::newRow("command") << 2 << QList<int>{0, 1, 2};
        QTest::newRow("check") << 3 << QList<int>{0, 1, 2, 3};
    }

    void pageFlow()
    {
        QFETCH(int, kind);
        QFETCH(QList<int>, pages);
        ExportAction exportAction;
        exportAction.connection_id = connection_.id;
        exportAction.output_path = L"/tmp/out";
        CommandAction command;
        command.executable = "/bin/true";
        CheckAction check;
        check.ids_file = L"/tmp/a.ids";
        check.ifc_file = L"/tmp/a.ifc";
        const Action actions[] = {backup(), exportAction, command, check};
        TaskWizard wizard(namedTask(actions[kind]), wiztest::storageContext());
        wizard.show();
        QVERIFY(!wizard.button(QWizard::BackButton)->isVisibleTo(&wizard));
        QCOMPARE(visitedPages(wizard), pages);
        QVERIFY(finishOffered(wizard));
        QVERIFY(!wizard.button(QWizard::NextButton)->isVisibleTo(&wizard) ||
                !wizard.button(QWizard::NextButton)->isEnabled());
        QCOMPARE(static_cast<int>(wizard.GetTaskInfo().action.index()), kind);
    }

    void finishMovesWithTheCommandKind()
    {
        TaskWizard wizard(namedTask(backup()), wiztest::storageContext());
        wizard.show();
        goTo(wizard, 2);
        auto* page = qobject_cast<TaskActionPage*>(wizard.currentPage());
        QVERIFY(page && !finishOffered(wizard));
        child<QLineEdit>(page, "executableEdit")->setText(QStringLiteral("/bin/true"));
        child<QComboBox>(page, "actionComboBox")->setCurrentIndex(2);
        QCOMPARE(page->nextId(), -1);
        QVERIFY(page->isFinalPage());
        QVERIFY(finishOffered(wizard));
        child<QComboBox>(page, "actionComboBox")->setCurrentIndex(0);
        QCOMPARE(page->nextId(), 3);
        QVERIFY(!page->isFinalPage());
        QVERIFY(!finishOffered(wizard));
        wizard.next();
        QCOMPARE(wizard.currentId(), 3);
        QVERIFY(finishOffered(wizard));
    }

    void infoPage_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("complete");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("shown");
        const QString was = QStringLiteral("было");
        QTest::newRow("empty") << QString() << false << was << was;
        QTest::newRow("one space") << QStringLiteral(" ") << true << was << was;
        QTest::newRow("Cyrillic") << QStringLiteral("Ночная копия") << true << was << was;
        // Shown the box's way, kept as stored while not edited.
        QTest::newRow("line ends, no-break space")
            << QStringLiteral("Копия") << true << QStringLiteral("a\r\nb\rc\u2028d\u2029e\u00A0f")
            << QStringLiteral("a\nb\nc\nd\ne f");
    }

    void infoPage()
    {
        QFETCH(QString, name);
        QFETCH(bool, complete);
        QFETCH(QString, stored);
        QFETCH(QString, shown);
        TaskInfo task = namedTask(backup());
        task.description = stored.toStdWString();
        TaskWizard wizard(task, wiztest::storageContext());
        wizard.show();
        auto* page = qobject_cast<TaskInfoPage*>(wizard.currentPage());
        QCOMPARE(child<QLineEdit>(page, "nameEdit")->text(), QStringLiteral("Задача"));
        QCOMPARE(child<QPlainTextEdit>(page, "descriptionEdit")->toPlainText(), shown);
        QVERIFY(wizard.GetTaskInfo() == task);
        QVERIFY(child<QPlainTextEdit>(page, "descriptionEdit")->tabChangesFocus());
        QCOMPARE(child<QLabel>(page, "nameLabel")->buddy(), child<QLineEdit>(page, "nameEdit"));
        child<QLineEdit>(page, "nameEdit")->setText(name);
        child<QPlainTextEdit>(page, "descriptionEdit")->setPlainText(QStringLiteral("строка 1\nстрока 2"));
        QCOMPARE(page->isComplete(), complete);
        QCOMPARE(wizard.button(QWizard::NextButton)->isEnabled(), complete);
        QCOMPARE(QString::fromStdWString(wizard.GetTaskInfo().name), name);
        QVERIFY(wizard.GetTaskInfo().description == L"строка 1\nстрока 2");
        // Edited back to what was shown, it is the stored text again.
        child<QPlainTextEdit>(page, "descriptionEdit")->setPlainText(shown);
        QVERIFY(wizard.GetTaskInfo().description == task.description);
    }

    // A text holding a character that the store file cannot hold stops Next and Finish
    // with a message naming the field; without it the wizard goes on.
    void refusesTextsTheStoreCannotHold_data()
    {
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("label");
        QTest::newRow("name, on Next") << 0 << QStringLiteral("Название");
        QTest::newRow("arguments, on Finish") << 2 << QStringLiteral("Аргументы");
        // Filled only by the lookup: dropped, so that it can be looked up again.
        QTest::newRow("scheme code, on Next") << -1 << QStringLiteral("Схема соответствия");
    }
    void refusesTextsTheStoreCannotHold()
    {
        QFETCH(int, page);
        QFETCH(QString, label);
        const bool scheme = page < 0;
        ExportAction exportAction;
        exportAction.connection_id = connection_.id;
        exportAction.scheme_code = std::wstring(L"a") + wchar_t(1) + L"b";
        exportAction.scheme_name = L"Схема";
        TaskWizard wizard(scheme ? namedTask(exportAction) : namedTask(backup()), wiztest::storageContext());
        page = std::max(page, 0);
        wizard.show();
        QLineEdit* edit = nullptr;
        if (scheme) {
        } else if (page == 0) {
            edit = child<QLineEdit>(wizard.currentPage(), "nameEdit");
        } else {
            goTo(wizard, page);
            auto* actions = qobject_cast<TaskActionPage*>(wizard.currentPage());
            QVERIFY(actions);
            child<QComboBox>(actions, "actionComboBox")->setCurrentIndex(2);
            child<QLineEdit>(actions, "executableEdit")->setText(QStringLiteral("/bin/true"));
            edit = child<QLineEdit>(actions, "argumentsEdit");
        }
        const auto goOn = [&] {
            if (page == 0)
                wizard.next();
            else
                wizard.accept();
        };
        if (edit != nullptr)
            edit->setText(QStringLiteral("a") + QChar(0x1) + QStringLiteral("b"));
        auto seen = wiztest::closeNextMessageBox();
        goOn();
        *seen->armed = false;
        QVERIFY(seen->seen);
        QCOMPARE(seen->icon, QMessageBox::Warning);
        QVERIFY2(seen->text.contains(QStringLiteral("«") + label + QStringLiteral("»")) &&
                     seen->text.contains(QStringLiteral("U+0001")),
                 qPrintable(seen->text));
        QCOMPARE(wizard.currentId(), page);
        QVERIFY(wizard.isVisible());

        if (scheme) {
            const auto& stored = std::get<ExportAction>(wizard.GetTaskInfo().action);
            QVERIFY(stored.scheme_code.empty() && stored.scheme_name.empty());
        } else {
            edit->setText(QStringLiteral("a b"));
        }
        goOn();
        if (page == 0)
            QCOMPARE(wizard.currentId(), 1);
        else
            QCOMPARE(wizard.result(), int(QDialog::Accepted));
    }

    void newTaskStartsOnAWholeMinute()
    {
        TaskInfo task = namedTask(backup());
        // A start with seconds and nanoseconds, as a fresh record has.
        task.starting_point = kMonday.toMSecsSinceEpoch() * kNanosPerMilli + 37'123'456'789;
        TaskWizard wizard(task, wiztest::storageContext());
        wizard.show();
        wizard.next();
        QCOMPARE(wizard.GetTaskInfo().starting_point, kMonday.toMSecsSinceEpoch() * kNanosPerMilli);
        auto* page = qobject_cast<TaskTriggerPage*>(wizard.currentPage());
        child<QTimeEdit>(page, "startTimeEdit")->setTime(QTime(23, 59, 59, 999));
        QCOMPARE(wizard.GetTaskInfo().starting_point,
                 QDateTime(kMonday.date(), QTime(23, 59)).toMSecsSinceEpoch() * kNanosPerMilli);
        child<QDateEdit>(page, "startDateEdit")->setDate(kSaturday.date());
        QCOMPARE(wizard.GetTaskInfo().starting_point,
                 QDateTime(kSaturday.date(), QTime(23, 59)).toMSecsSinceEpoch() * kNanosPerMilli);
    }

    void startIsFlooredToTheMinute_data()
    {
        QTest::addColumn<QDate>("date");
        QTest::addColumn<QTime>("time");
        QTest::newRow("seconds and milliseconds") << kMonday.date() << QTime(23, 59, 59, 999);
        QTest::newRow("last millisecond of a minute before 1970") << QDate(1969, 12, 31) << QTime(23, 59, 59, 999);
        QTest::newRow("one second into a minute before 1970") << QDate(1960, 6, 1) << QTime(0, 0, 1);
        QTest::newRow("whole minute") << kSaturday.date() << QTime(7, 30);
    }

    void startIsFlooredToTheMinute()
    {
        QFETCH(QDate, date);
        QFETCH(QTime, time);
        TaskWizard wizard(namedTask(backup()), wiztest::storageContext());
        wizard.show();
        wizard.next();
        auto* page = qobject_cast<TaskTriggerPage*>(wizard.currentPage());
        child<QDateEdit>(page, "startDateEdit")->setDate(date);
        child<QTimeEdit>(page, "startTimeEdit")->setTime(time);
        const QDateTime minute(date, QTime(time.hour(), time.minute()));
        QCOMPARE(wizard.GetTaskInfo().starting_point, minute.toMSecsSinceEpoch() * kNanosPerMilli);
        // Shown again, the start stays on the same minute.
        wizard.back();
        wizard.next();
        QCOMPARE(child<QDateEdit>(page, "startDateEdit")->date(), date);
        QCOMPARE(wizard.GetTaskInfo().starting_point, minute.toMSecsSinceEpoch() * kNanosPerMilli);
    }

    // A start the clock skips is placed where the scheduler runs it, at the first instant
    // after the gap, and the fields show that.
    void startInAClockChangeGap()
    {
        const QByteArray zone = qgetenv("TZ");
        qputenv("TZ", "Europe/Berlin");
        ::tzset();
        const auto restore = qScopeGuard([&zone] {
            if (zone.isNull())
                qunsetenv("TZ");
            else
                qputenv("TZ", zone);
            ::tzset();
        });
        const date::time_zone* berlin = date::locate_zone("Europe/Berlin");
        WizardContext context = wiztest::storageContext();
        context.nextRun = [berlin](const TaskInfo& task, Instant now) { return schedule::NextRun(task, now, berlin); };
        TaskWizard wizard(namedTask(backup()), context);
        wizard.show();
        wizard.next();
        auto* page = qobject_cast<TaskTriggerPage*>(wizard.currentPage());
        child<QDateEdit>(page, "startDateEdit")->setDate(QDate(2027, 3, 28));
        child<QTimeEdit>(page, "startTimeEdit")->setTime(QTime(2, 30));
        const Instant afterGap =
            QDateTime(QDate(2027, 3, 28), QTime(1, 0), Qt::UTC).toMSecsSinceEpoch() * kNanosPerMilli;
        QCOMPARE(wizard.GetTaskInfo().starting_point, afterGap);
        QCOMPARE(child<QTimeEdit>(page, "startTimeEdit")->time(), QTime(3, 0));
        QCOMPARE(child<QDateEdit>(page, "startDateEdit")->date(), QDate(2027, 3, 28));
        QCOMPARE(schedule::NextRun(wizard.GetTaskInfo(), afterGap - 60 * kNanosPerSecond, berlin), afterGap);
    }

    // The preview drops a run once it has passed, with no field changed.
    void nextRunsRefreshWhenTheFirstPasses()
    {
        TaskInfo task = namedTask(backup());
        task.starting_point = QDateTime(QDate(2030, 1, 7), QTime(10, 0)).toMSecsSinceEpoch() * kNanosPerMilli;
        task.trigger = DailyTrigger{1};
        auto clock = std::make_shared<Instant>(task.starting_point - 50 * kNanosPerMilli);
        WizardContext context = wiztest::storageContext();
        context.now = [clock] { return *clock; };
        TaskWizard wizard(task, context);
        wizard.show();
        wizard.next();
        auto* shown = child<QLabel>(wizard.currentPage(), "nextRunsLabel");
        QVERIFY2(shown->text().startsWith(QStringLiteral("07.01.2030")), qPrintable(shown->text()));
        *clock = task.starting_point + kNanosPerMilli;
        QTRY_VERIFY2(shown->text().startsWith(QStringLiteral("08.01.2030")), qPrintable(shown->text()));
    }

    void startBeyondTheInstantRange_data()
    {
        QTest::addColumn<QDate>("date");
        QTest::newRow("year 2500") << QDate(2500, 12, 7);
        QTest::newRow("year 9999") << QDate(9999, 12, 31);
        QTest::newRow("year 1600") << QDate(1600, 1, 1);
    }

    // The field offers only dates the start can hold: what it shows is what is stored.
    void startBeyondTheInstantRange()
    {
        QFETCH(QDate, date);
        TaskWizard wizard(namedTask(backup()), wiztest::storageContext());
        wizard.show();
        wizard.next();
        auto* page = qobject_cast<TaskTriggerPage*>(wizard.currentPage());
        child<QDateEdit>(page, "startDateEdit")->setDate(date);
        const QDate shown = child<QDateEdit>(page, "startDateEdit")->date();
        QVERIFY(shown.isValid());
        QCOMPARE(QDateTime::fromMSecsSinceEpoch(wizard.GetTaskInfo().starting_point / kNanosPerMilli).date(), shown);
    }

    void kindSwitchSetsTheWorkingDaysBox_data()
    {
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");
        QTest::addColumn<QDateTime>("start");
        QTest::addColumn<int>("interval");
        QTest::addColumn<bool>("shown");
        QTest::addColumn<QString>("label");
        // The box follows the trigger the first handler has just made.
        QTest::newRow("weekly to daily, Monday") << 1 << 0 << kMonday << 7 << true << QStringLiteral("дней");
        QTest::newRow("weekly to daily, Saturday, 7") << 1 << 0 << kSaturday << 7 << false << QStringLiteral("дней");
        QTest::newRow("weekly to daily, Saturday, 6") << 1 << 0 << kSaturday << 6 << true << QStringLiteral("дней");
        QTest::newRow("monthly to daily, Monday") << 2 << 0 << kMonday << 3 << true << QStringLiteral("дней");
        QTest::newRow("daily to weekly") << 0 << 1 << kMonday << 2 << false << QStringLiteral("недель");
        QTest::newRow("monthly to weekly") << 2 << 1 << kMonday << 2 << false << QStringLiteral("недель");
    }

    void kindSwitchSetsTheWorkingDaysBox()
    {
        QFETCH(int, from);
        QFETCH(int, to);
        QFETCH(QDateTime, start);
        QFETCH(int, interval);
        QFETCH(bool, shown);
        QFETCH(QString, label);
        TaskInfo task = namedTask(backup());
        task.starting_point = start.toMSecsSinceEpoch() * kNanosPerMilli;
        const Trigger triggers[] = {DailyTrigger{interval}, WeeklyTrigger{interval, {3}},
                                    MonthlyTrigger{interval, {1}, {1}}};
        task.trigger = triggers[from];
        TaskWizard wizard(task, wiztest::storageContext());
        wizard.show();
        wizard.next();
        auto* page = qobject_cast<TaskTriggerPage*>(wizard.currentPage());
        child<QComboBox>(page, "triggerComboBox")->setCurrentIndex(to);
        QCOMPARE(static_cast<int>(wizard.GetTaskInfo().trigger.index()), to);
        std::visit([interval](const auto& trigger) { QCOMPARE(trigger.repeat_interval, std::int64_t(interval)); },
                   wizard.GetTaskInfo().trigger);
        QCOMPARE(!child<QCheckBox>(page, "runOnlyOnWeekdays")->isHidden(), shown);
        QCOMPARE(child<QWidget>(page, "weekDaysWidget")->isHidden(), to != 1);
        QCOMPARE(child<QLabel>(page, "repeatLabel")->text(), label);
    }

    void triggerKinds()
    {
        TaskInfo task = namedTask(backup());
        task.trigger = DailyTrigger{3};
        TaskWizard wizard(task, wiztest::storageContext());
        wizard.show();
        wizard.next();
        auto* page = qobject_cast<TaskTriggerPage*>(wizard.currentPage());
        QCOMPARE(child<QSpinBox>(page, "repeatSpinBox")->value(), 3);
        QCOMPARE(child<QLabel>(page, "repeatLabel")->text(), QStringLiteral("дней"));
        QVERIFY(child<QWidget>(page, "weekDaysWidget")->isHidden());

        child<QComboBox>(page, "triggerComboBox")->setCurrentIndex(1);
        const auto* weekly = std::get_if<WeeklyTrigger>(&wizard.GetTaskInfo().trigger);
        QVERIFY(weekly);
        QCOMPARE(weekly->repeat_interval, std::int64_t(3));
        QVERIFY(weekly->weekdays == std::set<Weekday>{1});
        QCOMPARE(child<QLabel>(page, "repeatLabel")->text(), QStringLiteral("недель"));
        QVERIFY(!child<QWidget>(page, "weekDaysWidget")->isHidden());
        QVERIFY(child<QCheckBox>(page, "runOnlyOnWeekdays")->isHidden());

        child<QCheckBox>(page, "fridayCheckBox")->setChecked(true);
        child<QCheckBox>(page, "sundayCheckBox")->setChecked(true);
        child<QCheckBox>(page, "mondayCheckBox")->setChecked(false);
        QVERIFY(std::get<WeeklyTrigger>(wizard.GetTaskInfo().trigger).weekdays == (std::set<Weekday>{0, 5}));
        child<QCheckBox>(page, "fridayCheckBox")->setChecked(false);
        child<QCheckBox>(page, "sundayCheckBox")->setChecked(false);
        QVERIFY(!page->isComplete());
        QVERIFY(!wizard.button(QWizard::NextButton)->isEnabled());
        child<QCheckBox>(page, "saturdayCheckBox")->setChecked(true);
        QVERIFY(wizard.button(QWizard::NextButton)->isEnabled());

        child<QSpinBox>(page, "repeatSpinBox")->setValue(5);
        child<QComboBox>(page, "triggerComboBox")->setCurrentIndex(0);
        QVERIFY(std::get<DailyTrigger>(wizard.GetTaskInfo().trigger) == DailyTrigger{5});
        QVERIFY(page->isComplete());

        // Back and forward again shows the same.
        wizard.back();
        wizard.next();
        QCOMPARE(child<QComboBox>(page, "triggerComboBox")->currentIndex(), 0);
        QCOMPARE(child<QSpinBox>(page, "repeatSpinBox")->value(), 5);
    }

    void weeklyTaskLoadsItsDays()
    {
        TaskInfo task = namedTask(backup());
        task.trigger = WeeklyTrigger{2, {0, 3, 6}};
        TaskWizard wizard(task, wiztest::storageContext());
        wizard.show();
        wizard.next();
        auto* page = qobject_cast<TaskTriggerPage*>(wizard.currentPage());
        QVERIFY(!child<QCheckBox>(page, "mondayCheckBox")->isChecked());
        QVERIFY(child<QCheckBox>(page, "sundayCheckBox")->isChecked() &&
                child<QCheckBox>(page, "wednesdayCheckBox")->isChecked() &&
                child<QCheckBox>(page, "saturdayCheckBox")->isChecked());
        QVERIFY(std::get<WeeklyTrigger>(wizard.GetTaskInfo().trigger) == (WeeklyTrigger{2, {0, 3, 6}}));
    }

    void monthlyAndLargeIntervals_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("comboIndex");
        QTest::addColumn<QString>("label");
        QTest::addColumn<int>("stored");
        QTest::addColumn<int>("shown");
        QTest::newRow("monthly") << 2 << -1 << QStringLiteral("месяцев") << 150 << 99;
        QTest::newRow("daily") << 0 << 0 << QStringLiteral("дней") << 150 << 99;
        // The spin box shows 1 already: no change of its value writes the interval.
        QTest::newRow("daily, zero") << 0 << 0 << QStringLiteral("дней") << 0 << 1;
        QTest::newRow("weekly, in range") << 1 << 1 << QStringLiteral("недель") << 7 << 7;
    }

    // An interval outside what the field holds is shown as the nearest it holds, the page
    // says so, and the task keeps what the page shows.
    void monthlyAndLargeIntervals()
    {
        QFETCH(int, kind);
        QFETCH(int, comboIndex);
        QFETCH(QString, label);
        QFETCH(int, stored);
        QFETCH(int, shown);
        TaskInfo task = namedTask(backup());
        if (kind == 2)
            task.trigger = MonthlyTrigger{stored, {1, 3, 3}, {15}};
        else if (kind == 1)
            task.trigger = WeeklyTrigger{stored, {1}};
        else
            task.trigger = DailyTrigger{stored};
        TaskWizard wizard(task, wiztest::storageContext());
        wizard.show();
        wizard.next();
        auto* page = qobject_cast<TaskTriggerPage*>(wizard.currentPage());
        QCOMPARE(child<QComboBox>(page, "triggerComboBox")->currentIndex(), comboIndex);
        QCOMPARE(child<QLabel>(page, "repeatLabel")->text(), label);
        QCOMPARE(child<QSpinBox>(page, "repeatSpinBox")->value(), shown);
        QVERIFY(page->isComplete());
        QCOMPARE(static_cast<int>(wizard.GetTaskInfo().trigger.index()), kind);
        std::visit([shown](const auto& trigger) { QCOMPARE(trigger.repeat_interval, std::int64_t(shown)); },
                   wizard.GetTaskInfo().trigger);
        auto* outside = child<QLabel>(page, "intervalRangeLabel");
        QCOMPARE(outside->isVisibleTo(page), stored != shown);
        if (stored != shown)
            QVERIFY2(outside->text().contains(QString::number(stored)) &&
                         outside->text().contains(QStringLiteral("1–99")),
                     qPrintable(outside->text()));
        if (kind == 2) {
            const auto& monthly = std::get<MonthlyTrigger>(wizard.GetTaskInfo().trigger);
            QVERIFY(monthly.months == (std::vector<MonthOfYear>{1, 3, 3}));
            QVERIFY(monthly.days == (std::vector<DayOfMonth>{15}));
        }
    }

    void workingDaysBox_data()
    {
        QTest::addColumn<QDateTime>("start");
        QTest::addColumn<int>("interval");
        QTest::addColumn<bool>("shown");
        QTest::newRow("Saturday, 7 days") << kSaturday << 7 << false;
        QTest::newRow("Saturday, 14 days") << kSaturday << 14 << false;
        QTest::newRow("Saturday, 6 days") << kSaturday << 6 << true;
        QTest::newRow("Monday, 7 days") << kMonday << 7 << true;
    }

    void workingDaysBox()
    {
        QFETCH(QDateTime, start);
        QFETCH(int, interval);
        QFETCH(bool, shown);
        TaskInfo task = namedTask(backup());
        task.starting_point = kMonday.toMSecsSinceEpoch() * kNanosPerMilli;
        TaskWizard wizard(task, wiztest::storageContext());
        wizard.show();
        wizard.next();
        auto* page = qobject_cast<TaskTriggerPage*>(wizard.currentPage());
        child<QCheckBox>(page, "runOnlyOnWeekdays")->setChecked(true);
        QVERIFY(wizard.GetTaskInfo().RunOnlyOnWorkingDays());
        child<QSpinBox>(page, "repeatSpinBox")->setValue(interval);
        child<QDateEdit>(page, "startDateEdit")->setDate(start.date());
        QCOMPARE(!child<QCheckBox>(page, "runOnlyOnWeekdays")->isHidden(), shown);
        // Hiding the box keeps the flag; the next-run computation ignores a flag the rule refuses.
        QVERIFY(wizard.GetTaskInfo().RunOnlyOnWorkingDays());
        QVERIFY(wizard.GetTaskInfo().NextRun(kMonday.toMSecsSinceEpoch() * kNanosPerMilli) != kNeverInstant);
        // Where the rule refuses, the box no longer changes the flag.
        child<QCheckBox>(page, "runOnlyOnWeekdays")->setChecked(false);
        QCOMPARE(wizard.GetTaskInfo().RunOnlyOnWorkingDays(), !shown);
    }

    void nextRunsFollowTheFields_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("interval");
        QTest::addColumn<QDateTime>("start");
        QTest::addColumn<QString>("change");
        QTest::addColumn<QStringList>("runs");
        // Wednesday 2026-01-07: the week of Monday the 5th counts, its Monday lies before the start.
        const QDateTime wednesday(QDate(2026, 1, 7), QTime(10, 0));
        QTest::newRow("every two weeks on Monday starts the week after next")
            << 1 << 1 << wednesday << QStringLiteral("interval 2")
            << QStringList{
                   QStringLiteral("19.01.2026, понедельник, 10:00"), QStringLiteral("02.02.2026, понедельник, 10:00"),
                   QStringLiteral("16.02.2026, понедельник, 10:00"), QStringLiteral("02.03.2026, понедельник, 10:00"),
                   QStringLiteral("16.03.2026, понедельник, 10:00")};
        QTest::newRow("working days skip the weekend on the two-day grid")
            << 0 << 2 << QDateTime(QDate(2026, 1, 5), QTime(8, 0)) << QStringLiteral("working days")
            << QStringList{QStringLiteral("07.01.2026, среда, 08:00"), QStringLiteral("09.01.2026, пятница, 08:00"),
                           QStringLiteral("13.01.2026, вторник, 08:00"), QStringLiteral("15.01.2026, четверг, 08:00"),
                           QStringLiteral("19.01.2026, понедельник, 08:00")};
        QTest::newRow("a week without days never runs")
            << 1 << 1 << wednesday << QStringLiteral("untick Monday") << QStringList{QStringLiteral("Никогда")};
    }

    // The page shows the scheduler's next five runs from the wizard's current instant (an
    // hour after the start here) and follows a change of the fields at once.
    void nextRunsFollowTheFields()
    {
        QFETCH(int, kind);
        QFETCH(int, interval);
        QFETCH(QDateTime, start);
        QFETCH(QString, change);
        QFETCH(QStringList, runs);
        TaskInfo task = namedTask(backup());
        task.starting_point = start.toMSecsSinceEpoch() * kNanosPerMilli;
        if (kind == 0)
            task.trigger = DailyTrigger{interval};
        else
            task.trigger = WeeklyTrigger{interval, {1}};
        WizardContext context = wiztest::storageContext();
        const Instant now = start.addSecs(3600).toMSecsSinceEpoch() * kNanosPerMilli;
        context.now = [now] { return now; };
        TaskWizard wizard(task, context);
        wizard.show();
        wizard.next();
        auto* page = qobject_cast<TaskTriggerPage*>(wizard.currentPage());
        auto* shown = child<QLabel>(page, "nextRunsLabel");
        // Five runs before the change, in every case.
        QCOMPARE(shown->text().count(QLatin1Char('\n')), 4);
        if (change == QLatin1String("interval 2"))
            child<QSpinBox>(page, "repeatSpinBox")->setValue(2);
        else if (change == QLatin1String("working days"))
            child<QCheckBox>(page, "runOnlyOnWeekdays")->setChecked(true);
        else if (change == QLatin1String("untick Monday"))
            child<QCheckBox>(page, "mondayCheckBox")->setChecked(false);
        QCOMPARE(shown->text().split(QLatin1Char('\n')), runs);
    }

    void runMissedIsKeptThroughTheWizard_data()
    {
        QTest::addColumn<bool>("stored");
        QTest::newRow("off, ticked") << false;
        QTest::newRow("on, unticked") << true;
    }

    void runMissedIsKeptThroughTheWizard()
    {
        QFETCH(bool, stored);
        CommandAction command;
        command.executable = "/bin/true";
        TaskInfo task = namedTask(command);
        task.run_missed = stored;
        TaskWizard wizard(task, wiztest::storageContext());
        wizard.show();
        wizard.next();
        auto* box = child<QCheckBox>(wizard.currentPage(), "runMissedCheckBox");
        QCOMPARE(box->text(), QStringLiteral("Выполнить пропущенный запуск"));
        QCOMPARE(box->isChecked(), stored);
        box->click();
        // Shown again, the page reads the task's flag back.
        wizard.back();
        wizard.next();
        QCOMPARE(box->isChecked(), !stored);
        wizard.next();
        QVERIFY(finishOffered(wizard));
        wizard.button(QWizard::FinishButton)->click();
        QCOMPARE(wizard.result(), int(QDialog::Accepted));
        QCOMPARE(wizard.GetTaskInfo().run_missed, !stored);
    }

    void foldersPageKeepsTheRecordedTimes_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("export") << 1;
        QTest::newRow("check") << 3;
    }

    // The only-changed box shows the stored setting without counting as a change of it.
    void foldersPageKeepsTheRecordedTimes()
    {
        QFETCH(int, kind);
        const ModificationTimes times{{L"Проекты/Мост/план.dwg", 5}};
        ExportAction exportAction;
        exportAction.connection_id = connection_.id;
        exportAction.output_path = work_.path().toStdWString();
        exportAction.only_changed_documents = true;
        exportAction.modification_times = times;
        CheckAction check;
        check.ids_file = L"/tmp/a.ids";
        check.ifc_file = L"/tmp/a.ifc";
        check.only_changed_documents = true;
        check.modification_times = times;
        TaskWizard wizard(namedTask(kind == 1 ? Action(exportAction) : Action(check)), wiztest::storageContext());
        wizard.show();
        goTo(wizard, 3);
        QCOMPARE(wizard.currentId(), 3);
        QVERIFY(child<QCheckBox>(wizard.currentPage(), "onlyChangedDocsCheckBox")->isChecked());
        const Action& action = wizard.GetTaskInfo().action;
        QCOMPARE(kind == 1 ? std::get<ExportAction>(action).modification_times
                           : std::get<CheckAction>(action).modification_times,
                 times);
    }

    void geometryIsKeptOnCancel()
    {
        QSettings().remove(QStringLiteral("TaskWizard/geometry"));
        {
            // The first wizard ever: no key, the default geometry, no error.
            TaskWizard wizard(namedTask(backup()), wiztest::storageContext());
            wizard.show();
            wizard.resize(701, 533);
            wizard.move(40, 50);
            wizard.reject();
        }
        QVERIFY(!QSettings().value(QStringLiteral("TaskWizard/geometry")).toByteArray().isEmpty());
        TaskWizard next(namedTask(backup()), wiztest::storageContext());
        QCOMPARE(next.size(), QSize(701, 533));
    }

    void cancelLeavesTheStoredTaskUntouched()
    {
        TaskStorage& storage = TaskStorage::Instance();
        TaskInfo original = namedTask(backup());
        original.trigger = WeeklyTrigger{1, {2}};
        const TaskInfo* stored = storage.AddTask(original);
        const TaskInfo before = *stored;
        QFile store(QString::fromStdString(storage.StorePath().string()));
        QVERIFY(store.open(QIODevice::ReadOnly));
        const QByteArray storedBytes = store.readAll();
        store.close();
        {
            TaskWizard wizard(*stored, wiztest::storageContext());
            wizard.show();
            child<QLineEdit>(wizard.currentPage(), "nameEdit")->setText(QStringLiteral("другое"));
            wizard.next();
            auto* trigger = qobject_cast<TaskTriggerPage*>(wizard.currentPage());
            child<QComboBox>(trigger, "triggerComboBox")->setCurrentIndex(0);
            child<QSpinBox>(trigger, "repeatSpinBox")->setValue(9);
            wizard.next();
            auto* action = qobject_cast<TaskActionPage*>(wizard.currentPage());
            child<QLineEdit>(action, "backupToolDestinationEdit")->setText(QStringLiteral("/elsewhere"));
            wizard.next();
            QCOMPARE(wizard.currentId(), 3);
            child<QLineEdit>(wizard.currentPage(), "pathsLineEdit")->setText(QStringLiteral("vadro://x/y"));
            QVERIFY(wizard.GetTaskInfo() != before);
            wizard.reject();
        }
        QVERIFY(*stored == before);
        QVERIFY(store.open(QIODevice::ReadOnly));
        QCOMPARE(store.readAll(), storedBytes);
        storage.RemoveTask(stored);
    }

    void removedConnectionIsSavedOnlyOnFinish_data()
    {
        QTest::addColumn<bool>("finish");
        QTest::newRow("finish") << true;
        QTest::newRow("cancel") << false;
    }

    // The removal is asked on the action page, naming the stored task that uses the
    // connection, and reaches the saved-connections file only with the finished task.
    void removedConnectionIsSavedOnlyOnFinish()
    {
        QFETCH(bool, finish);
        TaskStorage& storage = TaskStorage::Instance();
        const vadro_cm::Connection old = wiztest::folderConnection(QStringLiteral("Старое"), repo_.path());
        wiztest::saveConnections({connection_, old});
        // Backups and exports on the removed connection count, those on another do not.
        ExportAction exportAction;
        exportAction.connection_id = old.id;
        std::vector<std::pair<std::wstring, Action>> tasks{
            {L"Ночная копия", BackupAction{old.id, L"vadro://Старое/Проекты", L"/tmp/x"}},
            {L"Другая копия", backup()},
            {L"Выгрузка", exportAction},
        };
        exportAction.connection_id = connection_.id;
        tasks.emplace_back(L"Другая выгрузка", exportAction);
        std::vector<const TaskInfo*> stored;
        for (const auto& [name, taskAction] : tasks) {
            TaskInfo task = namedTask(taskAction);
            task.name = name;
            stored.push_back(storage.AddTask(task));
        }
        QFile file(QString::fromStdString(SavedConnectionsPath().string()));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray saved = file.readAll();
        file.close();
        {
            TaskWizard wizard(namedTask(backup()), wiztest::storageContext());
            wizard.show();
            goTo(wizard, 2);
            auto* action = qobject_cast<TaskActionPage*>(wizard.currentPage());
            QVERIFY(action);
            action->ConnectionsManager()->SelectConnection(old.id);
            auto question = wiztest::closeNextMessageBox(QMessageBox::Yes);
            child<QPushButton>(action, "removeConnectionButton")->click();
            *question->armed = false;
            QCOMPARE(
                question->text,
                QStringLiteral("Удалить соединение «Старое»?\nЕго используют задачи (2): «Ночная копия», «Выгрузка»."));
            QCOMPARE(action->ConnectionsManager()->GetEditedConnections().size(), std::size_t(1));
            action->ConnectionsManager()->SelectConnection(connection_.id);
            wizard.next();
            QCOMPARE(wizard.currentId(), 3);
            auto* browserPage = qobject_cast<TaskBrowserPage*>(wizard.currentPage());
            child<QLineEdit>(browserPage, "pathsLineEdit")->setText(QStringLiteral("vadro://Хранилище/Проекты"));
            // Nothing is written on the way.
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), saved);
            file.close();
            if (finish)
                wizard.accept();
            else
                wizard.reject();
            QCOMPARE(wizard.result(), int(finish ? QDialog::Accepted : QDialog::Rejected));
        }
        QVERIFY(file.open(QIODevice::ReadOnly));
        if (finish) {
            QVERIFY(!FindSavedConnection(old.id));
            QVERIFY(FindSavedConnection(connection_.id) == connection_);
        } else {
            QCOMPARE(file.readAll(), saved);
        }
        file.close();
        for (const TaskInfo* task : stored)
            storage.RemoveTask(task);
        wiztest::saveConnections({connection_});
    }

    void backupIntoItsSourceIsRefusedAtFinish_data()
    {
        QTest::addColumn<QString>("destination");
        QTest::addColumn<QString>("reason");
        QTest::newRow("the source itself") << QStringLiteral("@/Проекты/Мост") << QStringLiteral("совпадает с");
        QTest::newRow("its subfolder") << QStringLiteral("@/Проекты/Мост/Разрезы") << QStringLiteral("внутри");
        QTest::newRow("a new folder inside") << QStringLiteral("@/Проекты/Мост/копии/2026") << QStringLiteral("внутри");
        QTest::newRow("through a link") << QStringLiteral("~/ссылка/копии") << QStringLiteral("внутри");
        QTest::newRow("its parent") << QStringLiteral("@/Проекты") << QString();
        QTest::newRow("a sibling") << QStringLiteral("@/Проекты/Тоннель") << QString();
        QTest::newRow("elsewhere") << QStringLiteral("~/резерв") << QString();
    }

    // "@" is the repository folder, "~" a work folder holding a link to the source.
    void backupIntoItsSourceIsRefusedAtFinish()
    {
        QFETCH(QString, destination);
        QFETCH(QString, reason);
        QVERIFY(wiztest::makeFile(repo_.filePath(QStringLiteral("Проекты/Тоннель/схема.dxf"))));
        const QString link = work_.filePath(QStringLiteral("ссылка"));
        QFile::remove(link);
        QVERIFY(QFile::link(repo_.filePath(QStringLiteral("Проекты/Мост")), link));
        destination.replace(QLatin1Char('@'), repo_.path()).replace(QLatin1Char('~'), work_.path());
        TaskWizard wizard(
            namedTask(BackupAction{connection_.id, L"vadro://Хранилище/Проекты/Мост", destination.toStdWString()}),
            wiztest::storageContext());
        wizard.show();
        goTo(wizard, 3);
        QCOMPARE(wizard.currentId(), 3);
        auto seen = wiztest::closeNextMessageBox();
        wizard.accept();
        *seen->armed = false;
        QCOMPARE(wizard.result(), int(reason.isEmpty() ? QDialog::Accepted : QDialog::Rejected));
        QCOMPARE(seen->seen, !reason.isEmpty());
        if (!reason.isEmpty()) {
            QCOMPARE(seen->icon, QMessageBox::Warning);
            QVERIFY2(seen->text.contains(reason) && seen->text.contains(destination), qPrintable(seen->text));
            QVERIFY(wizard.isVisible());
        }
        // Nothing was created on the way.
        QVERIFY(!QFileInfo::exists(repo_.filePath(QStringLiteral("Проекты/Мост/копии"))));
    }

    void createdTaskIsStoredArmedAndRuns()
    {
        TaskStorage& storage = TaskStorage::Instance();
        const QString destination = work_.filePath(QStringLiteral("резерв"));
        TaskWizard wizard(TaskInfo{}, wiztest::storageContext());
        wizard.show();
        child<QLineEdit>(wizard.currentPage(), "nameEdit")->setText(QStringLiteral("Копия моста"));
        wizard.next();
        wizard.next();
        auto* action = qobject_cast<TaskActionPage*>(wizard.currentPage());
        QVERIFY(action);
        action->ConnectionsManager()->SelectConnection(connection_.id);
        child<QLineEdit>(action, "backupToolDestinationEdit")->setText(destination);
        wizard.next();
        QCOMPARE(wizard.currentId(), 3);
        auto* browserPage = qobject_cast<TaskBrowserPage*>(wizard.currentPage());
        const auto resolver =
            storage.Core()->OpenSession(connection_.address, connection_.credentials)->GetPathResolver();
        browserPage->Browser()->ExpandPath(resolver->ResolvePath({L"Проекты"}));
        browserPage->Browser()->SelectFile(L"Мост");
        QCOMPARE(child<QLineEdit>(browserPage, "pathsLineEdit")->text(),
                 QStringLiteral("vadro://Хранилище/Проекты/Мост"));
        QVERIFY(finishOffered(wizard));
        wizard.accept();
        QCOMPARE(wizard.result(), int(QDialog::Accepted));

        const TaskInfo created = wizard.GetTaskInfo();
        QVERIFY(created.name == L"Копия моста");
        const auto& backupAction = std::get<BackupAction>(created.action);
        QVERIFY(backupAction.connection_id == connection_.id);
        QVERIFY(backupAction.source_path == L"vadro://Хранилище/Проекты/Мост");
        QCOMPARE(QString::fromStdWString(backupAction.destination_path), destination);
        QCOMPARE(created.starting_point % (60 * kNanosPerSecond), Instant(0));

        const Instant before = CurrentInstant();
        const TaskInfo* stored = storage.AddTask(created);
        QVERIFY(*stored == created);
        // Armed at the record's next run.
        QVERIFY(storage.ScheduledRun(stored) > before);
        QCOMPARE(storage.ScheduledRun(stored), stored->NextRun(before));
        storage.RunNow(stored);
        const auto copied = [&destination] {
            QDirIterator it(destination, QDir::Files, QDirIterator::Subdirectories);
            QStringList names;
            while (it.hasNext())
                names << QFileInfo(it.next()).fileName();
            names.sort();
            return names;
        };
        QTRY_COMPARE_WITH_TIMEOUT(copied(), (QStringList{QStringLiteral("А-А.dwg"), QStringLiteral("план.dwg")}),
                                  10000);
        storage.RemoveTask(stored);
    }
};

QTEST_MAIN(TaskWizardTest)
#include "TaskWizardTest.moc"
