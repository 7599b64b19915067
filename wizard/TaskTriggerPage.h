#pragma once

// Page 1 of the task wizard: when the task starts and how it repeats.

#include "model/TaskInfo.h"
#include "wizard/WizardContext.h"

#include <QWizardPage>

#include <array>
#include <memory>

class QCheckBox;
class QTimer;

namespace Ui {
class TaskTriggerPage;
}

class TaskTriggerPage : public QWizardPage
{
    Q_OBJECT

public:
    // Starts with today's date and the current time, the weekday panel hidden.
    explicit TaskTriggerPage(QWidget* parent = nullptr);
    ~TaskTriggerPage() override;

    // Connects the widgets to the working copy of `task`, which outlives the page.
    void ConnectHandlers(TaskInfo& task, const WizardContext& context);

    void initializePage() override;
    bool isComplete() const override;

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
    // Shows the next runs of the task as it stands, from the context's current instant on,
    // and arms the refresh for the moment the first of them passes.
    void UpdateNextRuns();

    std::unique_ptr<Ui::TaskTriggerPage> ui_;
    TaskInfo* task_ = nullptr;
    std::function<bool(const TaskInfo&)> canRunOnlyOnWorkingDays_;
    std::function<Instant(const TaskInfo&, Instant)> nextRun_;
    std::function<Instant()> now_;
    QTimer* nextRunsTimer_ = nullptr;
};
