#include "wizard/TaskWizard.h"

#include <QSettings>

TaskWizard::TaskWizard(const TaskInfo& task, QWidget* parent)
    : QWizard(parent)
    , task_(task)
{
    setWindowTitle(tr("Создание задачи"));
    setWizardStyle(QWizard::ClassicStyle);
    setOptions(QWizard::NoBackButtonOnStartPage);
    restoreGeometry(QSettings().value(QStringLiteral("TaskWizard/geometry")).toByteArray());
}

TaskWizard::~TaskWizard()
{
    QSettings().setValue(QStringLiteral("TaskWizard/geometry"), saveGeometry());
}
