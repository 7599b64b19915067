#include "wizard/TaskWizard.h"

#include "model/TaskStoreFile.h"
#include "wizard/TaskActionPage.h"
#include "wizard/TaskBrowserPage.h"
#include "wizard/TaskInfoPage.h"
#include "wizard/TaskTriggerPage.h"

#include <QLayout>
#include <QMessageBox>
#include <QSettings>

namespace {
const QString kGeometryKey = QStringLiteral("TaskWizard/geometry");

// The wizard's label of a text field, by its store key; the key where no field shows it.
QString fieldLabel(const std::string& key)
{
    static const std::pair<const char*, const char*> labels[] = {
        {"name", QT_TRANSLATE_NOOP("TaskWizard", "Название")},
        {"description", QT_TRANSLATE_NOOP("TaskWizard", "Описание")},
        {"destination_path", QT_TRANSLATE_NOOP("TaskWizard", "Место сохранения резервной копии")},
        {"output_path", QT_TRANSLATE_NOOP("TaskWizard", "Экспортировать в")},
        {"executable", QT_TRANSLATE_NOOP("TaskWizard", "Приложение")},
        {"arguments", QT_TRANSLATE_NOOP("TaskWizard", "Аргументы")},
        {"working_directory", QT_TRANSLATE_NOOP("TaskWizard", "Запускать из")},
        {"ids_file", QT_TRANSLATE_NOOP("TaskWizard", "Файлы IDS")},
        {"ifc_file", QT_TRANSLATE_NOOP("TaskWizard", "Файлы IFC")},
    };
    for (const auto& [k, label] : labels)
        if (key == k)
            return TaskWizard::tr(label);
    return QString::fromStdString(key);
}
} // namespace

TaskWizard::TaskWizard(const TaskInfo& task, WizardContext context, QWidget* parent)
    : QWizard(parent)
    , task_(task)
{
    setWindowTitle(tr("Создание задачи"));
    setWizardStyle(QWizard::ClassicStyle);
    setOptions(QWizard::NoBackButtonOnStartPage);

    auto* infoPage = new TaskInfoPage(this);
    infoPage->ConnectHandlers(task_);
    setPage(InfoPageId, infoPage);

    auto* triggerPage = new TaskTriggerPage(this);
    triggerPage->ConnectHandlers(task_, context);
    setPage(TriggerPageId, triggerPage);

    auto* actionPage = new TaskActionPage(context.core, context.storedTasks, this);
    actionPage->ConnectHandlers(*this);
    setPage(ActionPageId, actionPage);
    // Connections added, edited or removed on the way reach the file only with the task.
    saveConnections_ = [actionPage] { return actionPage->SaveConnections(); };

    auto* browserPage = new TaskBrowserPage(context.core, this);
    browserPage->ConnectHandlers(*this);
    setPage(BrowserPageId, browserPage);

    // Without a saved geometry the array is empty, the call fails and the default stays.
    restoreGeometry(QSettings().value(kGeometryKey).toByteArray());
}

void TaskWizard::GrowToFit(QWizardPage* page)
{
    auto* wizard = qobject_cast<QWizard*>(page->window());
    if (wizard == nullptr)
        return;
    // Layouts learn about shown and hidden widgets only when their posted request is
    // handled; the sizes are needed now, innermost first.
    const QList<QWidget*> children = page->findChildren<QWidget*>();
    for (auto it = children.rbegin(); it != children.rend(); ++it)
        if (QLayout* layout = (*it)->layout())
            layout->activate();
    if (QLayout* layout = page->layout())
        layout->activate();
    // The page is short of what its layout prefers by this much; the wizard around it
    // grows by the same amount.
    const QSize missing = (page->sizeHint() - page->size()).expandedTo(QSize(0, 0));
    if (!missing.isNull())
        wizard->resize(wizard->size() + missing);
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

bool TaskWizard::validateCurrentPage()
{
    if (const std::optional<store::UnstorableText> bad = store::FindUnstorableText(task_)) {
        const QString code = QStringLiteral("U+%1").arg(uint(bad->character), 4, 16, QLatin1Char('0')).toUpper();
        QMessageBox::warning(this, tr("Недопустимый символ"),
                             tr("Поле «%1» содержит символ %2, который нельзя сохранить в файле задач. "
                                "Удалите его.")
                                 .arg(fieldLabel(bad->key), code),
                             QMessageBox::Ok);
        return false;
    }
    if (!QWizard::validateCurrentPage())
        return false;
    // Finish keeps the wizard open while the task's connection is not stored.
    return !finishing_ || saveConnections_();
}

void TaskWizard::done(int result)
{
    // QWizard::done validates the current page before it accepts.
    finishing_ = result == QDialog::Accepted;
    QWizard::done(result);
    finishing_ = false;
}
