#include "wizard/TaskWizard.h"

#include "scheduler/TaskStorage.h"
#include "wizard/TaskActionPage.h"
#include "wizard/TaskBrowserPage.h"
#include "wizard/TaskInfoPage.h"
#include "wizard/TaskTriggerPage.h"

#include <QCheckBox>
#include <QDate>
#include <QDateEdit>
#include <QSettings>
#include <QTime>
#include <QTimeEdit>

namespace {
const QString kGeometryKey = QStringLiteral("TaskWizard/geometry");
}

TaskWizard::TaskWizard(const TaskInfo& task, QWidget* parent)
    : QWizard(parent)
    , task_(task)
{
    setWindowTitle(tr("Создание задачи"));
    setWizardStyle(QWizard::ClassicStyle);
    setOptions(QWizard::NoBackButtonOnStartPage);

    const std::shared_ptr<vadro::ICore> core = TaskStorage::Instance().Core();

    auto* infoPage = new TaskInfoPage(this);
    infoPage->ConnectHandlers(task_);
    setPage(InfoPageId, infoPage);

    auto* triggerPage = new TaskTriggerPage(this);
    triggerPage->weekDaysWidget->hide();
    // Set before the handlers are connected: these values do not reach the task.
    triggerPage->startDateEdit->setDate(QDate::currentDate());
    triggerPage->startTimeEdit->setTime(QTime::currentTime());
    triggerPage->ConnectHandlers(task_);
    setPage(TriggerPageId, triggerPage);

    auto* actionPage = new TaskActionPage(core, this);
    actionPage->ConnectHandlers(*this);
    setPage(ActionPageId, actionPage);

    auto* browserPage = new TaskBrowserPage(core, this);
    if (const auto* exportAction = std::get_if<ExportAction>(&task_.action))
        browserPage->onlyChangedDocsCheckBox->setChecked(exportAction->only_changed_documents);
    else if (const auto* check = std::get_if<CheckAction>(&task_.action))
        browserPage->onlyChangedDocsCheckBox->setChecked(check->only_changed_documents);
    browserPage->ConnectHandlers(*this);
    setPage(BrowserPageId, browserPage);

    // Without a saved geometry the array is empty, the call fails and the default stays.
    restoreGeometry(QSettings().value(kGeometryKey).toByteArray());
}

void TaskWizard::SetEditing()
{
    setWindowTitle(tr("Изменение задачи"));
    setButtonText(QWizard::FinishButton, tr("Сохранить"));
}

TaskWizard::~TaskWizard()
{
    QSettings().setValue(kGeometryKey, saveGeometry());
    // The folders page goes first: its browser and repository session end before the rest.
    delete page(BrowserPageId);
}
