#pragma once

// Page 1 of the task wizard: when the task starts and how it repeats.

#include "model/TaskInfo.h"

#include <QWizardPage>

#include <array>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QGridLayout;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QSpinBox;
class QTimeEdit;
class QVBoxLayout;

class TaskTriggerPage : public QWizardPage
{
    Q_OBJECT

public:
    explicit TaskTriggerPage(QWidget* parent = nullptr);

    // Connects the widgets to the working copy of `task`, which outlives the page.
    void ConnectHandlers(TaskInfo& task);

    void initializePage() override;
    bool isComplete() const override;

    QVBoxLayout* verticalLayout;
    QGroupBox* whenGroupBox;
    QVBoxLayout* verticalLayout_3;
    QComboBox* triggerComboBox;
    QGroupBox* everyDayGroupBox;
    QVBoxLayout* verticalLayout_4;
    QHBoxLayout* horizontalLayout_3;
    QLabel* label;
    QDateEdit* startDateEdit;
    QTimeEdit* startTimeEdit;
    QLabel* label_2;
    QSpinBox* repeatSpinBox;
    QLabel* repeatLabel;
    QCheckBox* runOnlyOnWeekdays;
    QWidget* weekDaysWidget;
    QGridLayout* gridLayout;
    QCheckBox* mondayCheckBox;
    QCheckBox* wednesdayCheckBox;
    QCheckBox* fridayCheckBox;
    QCheckBox* sundayCheckBox;
    QCheckBox* tuesdayCheckBox;
    QCheckBox* thursdayCheckBox;
    QCheckBox* saturdayCheckBox;

private:
    struct WeekdayBox
    {
        QCheckBox* box;
        Weekday day;
    };
    // Monday to Sunday, the order in which the boxes are connected and loaded.
    std::array<WeekdayBox, 7> WeekdayBoxes() const;

    void ChangeTriggerKind(int index);
    void UpdateKindWidgets(int index);
    void UpdateWorkingDaysBox();
    void StoreStartingPoint();

    TaskInfo* task_ = nullptr;
};
