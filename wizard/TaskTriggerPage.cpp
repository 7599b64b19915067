#include "wizard/TaskTriggerPage.h"

#include "common/FloorDiv.h"
#include "wizard/TaskWizard.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDateTime>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSpacerItem>
#include <QSpinBox>
#include <QTimeEdit>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int kDailyIndex = 0;
constexpr int kWeeklyIndex = 1;

// The spin box's range; a stored interval outside it is shown (and then stored) clamped.
int clampInterval(std::int64_t interval)
{
    return static_cast<int>(std::clamp<std::int64_t>(interval, 1, 99));
}

} // namespace

TaskTriggerPage::TaskTriggerPage(QWidget* parent)
    : QWizardPage(parent)
{
    setObjectName(QStringLiteral("TaskTriggerPage"));

    verticalLayout = new QVBoxLayout(this);
    verticalLayout->setObjectName(QStringLiteral("verticalLayout"));

    whenGroupBox = new QGroupBox(tr("Когда запускать задачу?"), this);
    whenGroupBox->setObjectName(QStringLiteral("whenGroupBox"));
    verticalLayout_3 = new QVBoxLayout(whenGroupBox);
    verticalLayout_3->setObjectName(QStringLiteral("verticalLayout_3"));
    triggerComboBox = new QComboBox(whenGroupBox);
    triggerComboBox->setObjectName(QStringLiteral("triggerComboBox"));
    triggerComboBox->addItem(tr("Каждый день"));
    triggerComboBox->addItem(tr("Каждую неделю"));
    verticalLayout_3->addWidget(triggerComboBox);
    verticalLayout->addWidget(whenGroupBox);

    everyDayGroupBox = new QGroupBox(tr("Настройки"), this);
    everyDayGroupBox->setObjectName(QStringLiteral("everyDayGroupBox"));
    verticalLayout_4 = new QVBoxLayout(everyDayGroupBox);
    verticalLayout_4->setObjectName(QStringLiteral("verticalLayout_4"));

    horizontalLayout_3 = new QHBoxLayout;
    horizontalLayout_3->setObjectName(QStringLiteral("horizontalLayout_3"));
    label = new QLabel(tr("Начало:"), everyDayGroupBox);
    label->setObjectName(QStringLiteral("label"));
    startDateEdit = new QDateEdit(everyDayGroupBox);
    startDateEdit->setObjectName(QStringLiteral("startDateEdit"));
    startDateEdit->setCalendarPopup(true);
    // The start is held in nanoseconds since 1970 in 64 bits: about 1677-09-22 to 2262-04-11.
    // A day's margin on both ends keeps every local time of the day inside the range.
    startDateEdit->setDateRange(QDate(1677, 9, 23), QDate(2262, 4, 10));
    startTimeEdit = new QTimeEdit(everyDayGroupBox);
    startTimeEdit->setObjectName(QStringLiteral("startTimeEdit"));
    label_2 = new QLabel(tr("Повторять каждые"), everyDayGroupBox);
    label_2->setObjectName(QStringLiteral("label_2"));
    repeatSpinBox = new QSpinBox(everyDayGroupBox);
    repeatSpinBox->setObjectName(QStringLiteral("repeatSpinBox"));
    repeatSpinBox->setMinimum(1);
    repeatSpinBox->setMaximum(99);
    label_2->setBuddy(repeatSpinBox);
    repeatLabel = new QLabel(tr("дней"), everyDayGroupBox);
    repeatLabel->setObjectName(QStringLiteral("repeatLabel"));
    horizontalLayout_3->addWidget(label);
    horizontalLayout_3->addWidget(startDateEdit);
    horizontalLayout_3->addWidget(startTimeEdit);
    horizontalLayout_3->addWidget(label_2);
    horizontalLayout_3->addWidget(repeatSpinBox);
    horizontalLayout_3->addWidget(repeatLabel);
    horizontalLayout_3->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    verticalLayout_4->addLayout(horizontalLayout_3);

    runOnlyOnWeekdays = new QCheckBox(tr("Запускать только по будням"), everyDayGroupBox);
    runOnlyOnWeekdays->setObjectName(QStringLiteral("runOnlyOnWeekdays"));
    verticalLayout_4->addWidget(runOnlyOnWeekdays);

    weekDaysWidget = new QWidget(everyDayGroupBox);
    weekDaysWidget->setObjectName(QStringLiteral("weekDaysWidget"));
    gridLayout = new QGridLayout(weekDaysWidget);
    gridLayout->setObjectName(QStringLiteral("gridLayout"));
    const auto addDay = [this](const char* name, const QString& text, int row, int column) {
        auto* box = new QCheckBox(text, weekDaysWidget);
        box->setObjectName(QString::fromLatin1(name));
        gridLayout->addWidget(box, row, column);
        return box;
    };
    mondayCheckBox = addDay("mondayCheckBox", tr("Понедельник"), 0, 0);
    mondayCheckBox->setChecked(true);
    wednesdayCheckBox = addDay("wednesdayCheckBox", tr("Среда"), 0, 1);
    fridayCheckBox = addDay("fridayCheckBox", tr("Пятница"), 0, 2);
    sundayCheckBox = addDay("sundayCheckBox", tr("Воскресенье"), 0, 3);
    gridLayout->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum), 0, 4);
    tuesdayCheckBox = addDay("tuesdayCheckBox", tr("Вторник"), 1, 0);
    thursdayCheckBox = addDay("thursdayCheckBox", tr("Четверг"), 1, 1);
    saturdayCheckBox = addDay("saturdayCheckBox", tr("Суббота"), 1, 2);
    verticalLayout_4->addWidget(weekDaysWidget);

    verticalLayout->addWidget(everyDayGroupBox);
    verticalLayout->addItem(new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding));
}

std::array<TaskTriggerPage::WeekdayBox, 7> TaskTriggerPage::WeekdayBoxes() const
{
    return {{{mondayCheckBox, 1},
             {tuesdayCheckBox, 2},
             {wednesdayCheckBox, 3},
             {thursdayCheckBox, 4},
             {fridayCheckBox, 5},
             {saturdayCheckBox, 6},
             {sundayCheckBox, 0}}};
}

void TaskTriggerPage::ConnectHandlers(TaskInfo& task)
{
    task_ = &task;
    // The kind changes before the widgets follow it: the second handler reads the new trigger.
    connect(triggerComboBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this](int index) { ChangeTriggerKind(index); });
    connect(triggerComboBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
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
    connect(repeatSpinBox, QOverload<int>::of(&QSpinBox::valueChanged), this, [this](int value) {
        std::visit([value](auto& trigger) { trigger.repeat_interval = value; }, task_->trigger);
        UpdateWorkingDaysBox();
    });
    connect(startDateEdit, &QDateEdit::dateChanged, this, [this] {
        StoreStartingPoint();
        UpdateWorkingDaysBox();
    });
    connect(startTimeEdit, &QTimeEdit::timeChanged, this, [this] {
        StoreStartingPoint();
        UpdateWorkingDaysBox();
    });
    connect(runOnlyOnWeekdays, &QCheckBox::stateChanged, this,
            [this](int state) { task_->SetRunOnlyOnWorkingDays(state != Qt::Unchecked); });
}

void TaskTriggerPage::ChangeTriggerKind(int index)
{
    if (index == static_cast<int>(task_->trigger.index()))
        return;
    if (index == kDailyIndex) {
        DailyTrigger daily;
        daily.repeat_interval = repeatSpinBox->value();
        task_->trigger = daily;
    } else if (index == kWeeklyIndex) {
        WeeklyTrigger weekly;
        weekly.repeat_interval = repeatSpinBox->value();
        for (const WeekdayBox& weekday : WeekdayBoxes())
            if (weekday.box->isChecked())
                weekly.weekdays.insert(weekday.day);
        task_->trigger = weekly;
    }
    emit completeChanged();
}

void TaskTriggerPage::UpdateKindWidgets(int index)
{
    weekDaysWidget->setVisible(index == kWeeklyIndex);
    if (index == kDailyIndex) {
        runOnlyOnWeekdays->setVisible(task_->CanRunOnlyOnWorkingDays());
        repeatLabel->setText(tr("дней"));
    } else if (index == kWeeklyIndex) {
        runOnlyOnWeekdays->setVisible(false);
        repeatLabel->setText(tr("недель"));
    } else {
        runOnlyOnWeekdays->setVisible(false);
    }
    TaskWizard::GrowToFit(this);
}

void TaskTriggerPage::UpdateWorkingDaysBox()
{
    runOnlyOnWeekdays->setVisible(task_->CanRunOnlyOnWorkingDays());
}

void TaskTriggerPage::StoreStartingPoint()
{
    // Seconds and milliseconds the time field may hold are dropped: runs start on a whole minute.
    const qint64 millis = QDateTime(startDateEdit->date(), startTimeEdit->time()).toMSecsSinceEpoch();
    task_->starting_point = common::floorDiv<qint64>(millis, 60'000) * 60'000 * kNanosPerMilli;
}

void TaskTriggerPage::initializePage()
{
    QWizardPage::initializePage();
    if (task_ == nullptr)
        return;
    triggerComboBox->setCurrentIndex(static_cast<int>(task_->trigger.index()));

    const QDateTime start = QDateTime::fromMSecsSinceEpoch(task_->starting_point / kNanosPerMilli);
    startDateEdit->setDate(start.date());
    startTimeEdit->setTime(start.time());
    // When neither field changed, their handlers did not run; the stored start is still
    // brought to the minute the fields show.
    StoreStartingPoint();

    runOnlyOnWeekdays->setChecked(task_->run_only_on_working_days);

    if (const auto* daily = std::get_if<DailyTrigger>(&task_->trigger)) {
        repeatSpinBox->setValue(clampInterval(daily->repeat_interval));
        repeatLabel->setText(tr("дней"));
    } else if (const auto* weekly = std::get_if<WeeklyTrigger>(&task_->trigger)) {
        repeatSpinBox->setValue(clampInterval(weekly->repeat_interval));
        repeatLabel->setText(tr("недель"));
        // Each box writes itself back as it is set; the set is read once, before the first change.
        const std::set<Weekday> days = weekly->weekdays;
        for (const WeekdayBox& weekday : WeekdayBoxes())
            weekday.box->setChecked(days.count(weekday.day) != 0);
    } else if (const auto* monthly = std::get_if<MonthlyTrigger>(&task_->trigger)) {
        repeatSpinBox->setValue(clampInterval(monthly->repeat_interval));
        repeatLabel->setText(tr("месяцев"));
    }
}

bool TaskTriggerPage::isComplete() const
{
    if (triggerComboBox->currentIndex() != kWeeklyIndex)
        return true;
    for (const WeekdayBox& weekday : WeekdayBoxes())
        if (weekday.box->isChecked())
            return true;
    return false;
}
