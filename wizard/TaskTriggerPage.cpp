#include "wizard/TaskTriggerPage.h"

#include "common/DateTime.h"
#include "common/FloorDiv.h"
#include "wizard/TaskWizard.h"

#include "ui_TaskTriggerPage.h"

#include <QDateTime>
#include <QLocale>
#include <QSignalBlocker>
#include <QStringList>
#include <QTimer>

#include <algorithm>

namespace {

constexpr int kDailyIndex = 0;
constexpr int kWeeklyIndex = 1;

// The spin box's range; a stored interval outside it is shown (and then stored) clamped.
int ClampInterval(std::int64_t interval)
{
    return static_cast<int>(std::clamp<std::int64_t>(interval, 1, 99));
}

// How many runs the page shows ahead.
constexpr int kShownRuns = 5;

// The longest wait the preview's timer is armed for; a later first run is looked at again then.
constexpr Instant kLongestPreviewWait = Instant(24) * 3600 * 1000 * kNanosPerMilli;

} // namespace

TaskTriggerPage::TaskTriggerPage(QWidget* parent)
    : QWizardPage(parent)
    , ui_(std::make_unique<Ui::TaskTriggerPage>())
{
    // The form limits the date to what nanoseconds since 1970 in 64 bits hold (about
    // 1677-09-22 to 2262-04-11), a day inside both ends so every local time of a day fits.
    ui_->setupUi(this);
    ui_->weekDaysWidget->hide();
    ui_->intervalRangeLabel->hide();
    // Refreshes the preview once its first run has passed.
    nextRunsTimer_ = new QTimer(this);
    nextRunsTimer_->setObjectName(QStringLiteral("nextRunsTimer"));
    nextRunsTimer_->setSingleShot(true);
    connect(nextRunsTimer_, &QTimer::timeout, this, [this] { UpdateNextRuns(); });
    // Set before the handlers are connected: these values do not reach the task.
    ui_->startDateEdit->setDate(QDate::currentDate());
    ui_->startTimeEdit->setTime(QTime::currentTime());
}

TaskTriggerPage::~TaskTriggerPage() = default;

std::array<TaskTriggerPage::WeekdayBox, 7> TaskTriggerPage::WeekdayBoxes() const
{
    return {{{ui_->mondayCheckBox, 1},
             {ui_->tuesdayCheckBox, 2},
             {ui_->wednesdayCheckBox, 3},
             {ui_->thursdayCheckBox, 4},
             {ui_->fridayCheckBox, 5},
             {ui_->saturdayCheckBox, 6},
             {ui_->sundayCheckBox, 0}}};
}

void TaskTriggerPage::ConnectHandlers(TaskInfo& task, const WizardContext& context)
{
    task_ = &task;
    canRunOnlyOnWorkingDays_ = context.canRunOnlyOnWorkingDays;
    nextRun_ = context.nextRun;
    now_ = context.now;
    // The kind changes before the widgets follow it: the second handler reads the new trigger.
    connect(ui_->triggerComboBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this](int index) { ChangeTriggerKind(index); });
    connect(ui_->triggerComboBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this](int index) { UpdateKindWidgets(index); });
    for (const WeekdayBox& weekday : WeekdayBoxes()) {
        connect(weekday.box, &QCheckBox::toggled, this, [this, day = weekday.day](bool checked) {
            if (auto* weekly = std::get_if<WeeklyTrigger>(&task_->trigger)) {
                if (checked)
                    weekly->weekdays.insert(day);
                else
                    weekly->weekdays.erase(day);
            }
            emit completeChanged();
        });
    }
    connect(ui_->repeatSpinBox, QOverload<int>::of(&QSpinBox::valueChanged), this, [this](int value) {
        std::visit([value](auto& trigger) { trigger.repeat_interval = value; }, task_->trigger);
        ui_->intervalRangeLabel->hide();
        UpdateWorkingDaysBox();
    });
    connect(ui_->startDateEdit, &QDateEdit::dateChanged, this, [this] {
        StoreStartingPoint();
        UpdateWorkingDaysBox();
    });
    connect(ui_->startTimeEdit, &QTimeEdit::timeChanged, this, [this] {
        StoreStartingPoint();
        UpdateWorkingDaysBox();
    });
    // The flag changes only where the rule allows it, as TaskInfo::SetRunOnlyOnWorkingDays does.
    connect(ui_->runOnlyOnWeekdays, &QCheckBox::stateChanged, this, [this](int state) {
        if (canRunOnlyOnWorkingDays_(*task_))
            task_->run_only_on_working_days = state != Qt::Unchecked;
    });
    connect(ui_->runMissedCheckBox, &QCheckBox::toggled, this, [this](bool checked) { task_->run_missed = checked; });
    connect(ui_->retryCountSpinBox, QOverload<int>::of(&QSpinBox::valueChanged), this, [this](int value) {
        task_->retry_count = value;
        ui_->retryIntervalSpinBox->setEnabled(value > 0);
    });
    connect(ui_->retryIntervalSpinBox, QOverload<int>::of(&QSpinBox::valueChanged), this,
            [this](int value) { task_->retry_interval_minutes = value; });

    // Connected after the handlers above, so the runs shown follow the task they have changed.
    const auto showRuns = [this] { UpdateNextRuns(); };
    connect(ui_->triggerComboBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this, showRuns);
    for (const WeekdayBox& weekday : WeekdayBoxes())
        connect(weekday.box, &QCheckBox::toggled, this, showRuns);
    connect(ui_->repeatSpinBox, QOverload<int>::of(&QSpinBox::valueChanged), this, showRuns);
    connect(ui_->startDateEdit, &QDateEdit::dateChanged, this, showRuns);
    connect(ui_->startTimeEdit, &QTimeEdit::timeChanged, this, showRuns);
    connect(ui_->runOnlyOnWeekdays, &QCheckBox::stateChanged, this, showRuns);
}

void TaskTriggerPage::ChangeTriggerKind(int index)
{
    if (index == static_cast<int>(task_->trigger.index()))
        return;
    if (index == kDailyIndex) {
        DailyTrigger daily;
        daily.repeat_interval = ui_->repeatSpinBox->value();
        task_->trigger = daily;
    } else if (index == kWeeklyIndex) {
        WeeklyTrigger weekly;
        weekly.repeat_interval = ui_->repeatSpinBox->value();
        for (const WeekdayBox& weekday : WeekdayBoxes())
            if (weekday.box->isChecked())
                weekly.weekdays.insert(weekday.day);
        task_->trigger = weekly;
    }
    emit completeChanged();
}

void TaskTriggerPage::UpdateKindWidgets(int index)
{
    ui_->weekDaysWidget->setVisible(index == kWeeklyIndex);
    if (index == kDailyIndex) {
        ui_->runOnlyOnWeekdays->setVisible(canRunOnlyOnWorkingDays_(*task_));
        ui_->repeatLabel->setText(tr("дней"));
    } else if (index == kWeeklyIndex) {
        ui_->runOnlyOnWeekdays->setVisible(false);
        ui_->repeatLabel->setText(tr("недель"));
    } else {
        ui_->runOnlyOnWeekdays->setVisible(false);
    }
    TaskWizard::GrowToFit(this);
}

void TaskTriggerPage::UpdateWorkingDaysBox()
{
    ui_->runOnlyOnWeekdays->setVisible(canRunOnlyOnWorkingDays_(*task_));
}

void TaskTriggerPage::StoreStartingPoint()
{
    // Seconds and milliseconds the time field may hold are dropped: runs start on a whole minute.
    const QDate date = ui_->startDateEdit->date();
    const QTime time = ui_->startTimeEdit->time();
    const QTime minute(time.hour(), time.minute());
    const qint64 millis = QDateTime(date, time).toMSecsSinceEpoch();
    task_->starting_point = common::floorDiv<qint64>(millis, 60'000) * 60'000 * kNanosPerMilli;
    const QDateTime stored = common::toDateTime(task_->starting_point);
    if ((stored.date() == date && stored.time() == minute) || !nextRun_)
        return;
    // The clock skips this local time. The start is placed as the scheduler places a weekly
    // run at such a time (at the first instant after the gap): the run a week after the
    // same weekday and time the week before.
    TaskInfo probe;
    probe.trigger = WeeklyTrigger{1, {static_cast<Weekday>(date.dayOfWeek() % 7)}};
    probe.starting_point = QDateTime(date.addDays(-7), minute).toMSecsSinceEpoch() * kNanosPerMilli;
    const Instant start = nextRun_(probe, probe.starting_point);
    if (start == kNeverInstant)
        return;
    task_->starting_point = start;
    // The fields show the start that is stored.
    const QDateTime shown = common::toDateTime(start);
    const QSignalBlocker blockDate(ui_->startDateEdit);
    const QSignalBlocker blockTime(ui_->startTimeEdit);
    ui_->startDateEdit->setDate(shown.date());
    ui_->startTimeEdit->setTime(shown.time());
}

void TaskTriggerPage::UpdateNextRuns()
{
    // Each run is the scheduler's next run after the one before, as the timer re-arms.
    const QLocale russian(QLocale::Russian, QLocale::Russia);
    QStringList lines;
    Instant after = now_();
    for (int i = 0; i < kShownRuns; ++i) {
        const Instant run = nextRun_(*task_, after);
        if (run == kNeverInstant)
            break;
        const QDateTime local = common::toDateTime(run);
        lines << russian.toString(local, QStringLiteral("dd.MM.yyyy, dddd, HH:mm"));
        if (i == 0) {
            const Instant wait = std::min(run - after, kLongestPreviewWait);
            nextRunsTimer_->start(static_cast<int>(wait / kNanosPerMilli + 1));
        }
        after = run;
    }
    if (lines.isEmpty())
        nextRunsTimer_->stop();
    ui_->nextRunsLabel->setText(lines.isEmpty() ? tr("Никогда") : lines.join(QLatin1Char('\n')));
}

void TaskTriggerPage::initializePage()
{
    QWizardPage::initializePage();
    if (task_ == nullptr)
        return;
    // Read before the spin box's handler can write it.
    const std::int64_t storedInterval =
        std::visit([](const auto& trigger) { return trigger.repeat_interval; }, task_->trigger);
    ui_->triggerComboBox->setCurrentIndex(static_cast<int>(task_->trigger.index()));

    const QDateTime start = common::toDateTime(task_->starting_point);
    ui_->startDateEdit->setDate(start.date());
    ui_->startTimeEdit->setTime(start.time());
    // When neither field changed, their handlers did not run; the stored start is still
    // brought to the minute the fields show.
    StoreStartingPoint();

    ui_->runOnlyOnWeekdays->setChecked(task_->run_only_on_working_days);

    if (const auto* daily = std::get_if<DailyTrigger>(&task_->trigger)) {
        ui_->repeatSpinBox->setValue(ClampInterval(daily->repeat_interval));
        ui_->repeatLabel->setText(tr("дней"));
    } else if (const auto* weekly = std::get_if<WeeklyTrigger>(&task_->trigger)) {
        ui_->repeatSpinBox->setValue(ClampInterval(weekly->repeat_interval));
        ui_->repeatLabel->setText(tr("недель"));
        // Each box writes itself back as it is set; the set is read once, before the first change.
        const std::set<Weekday> days = weekly->weekdays;
        for (const WeekdayBox& weekday : WeekdayBoxes())
            weekday.box->setChecked(days.count(weekday.day) != 0);
    } else if (const auto* monthly = std::get_if<MonthlyTrigger>(&task_->trigger)) {
        ui_->repeatSpinBox->setValue(ClampInterval(monthly->repeat_interval));
        ui_->repeatLabel->setText(tr("месяцев"));
    }
    // A stored interval the field cannot show is replaced by the one it shows, and the page
    // says so; the spin box's handler did not run when the value it showed stayed.
    const int shownInterval = ui_->repeatSpinBox->value();
    std::visit([shownInterval](auto& trigger) { trigger.repeat_interval = shownInterval; }, task_->trigger);
    if (storedInterval != shownInterval)
        ui_->intervalRangeLabel->setText(tr("Сохранённый интервал %1 вне диапазона 1–99; будет сохранено значение %2.")
                                             .arg(storedInterval)
                                             .arg(shownInterval));
    ui_->intervalRangeLabel->setVisible(storedInterval != shownInterval);
    ui_->runMissedCheckBox->setChecked(task_->run_missed);
    // Shown within the fields' ranges, as the store reads them.
    ui_->retryIntervalSpinBox->setValue(std::clamp(task_->retry_interval_minutes, 1, kMaxRetryIntervalMinutes));
    ui_->retryCountSpinBox->setValue(std::clamp(task_->retry_count, 0, kMaxRetryCount));
    task_->retry_count = ui_->retryCountSpinBox->value();
    task_->retry_interval_minutes = ui_->retryIntervalSpinBox->value();
    ui_->retryIntervalSpinBox->setEnabled(task_->retry_count > 0);
    // When no field changed, no handler has shown the runs yet.
    UpdateNextRuns();
}

bool TaskTriggerPage::isComplete() const
{
    if (ui_->triggerComboBox->currentIndex() != kWeeklyIndex)
        return true;
    for (const WeekdayBox& weekday : WeekdayBoxes())
        if (weekday.box->isChecked())
            return true;
    return false;
}
