#include "wizard/TaskWizard.h"

#include "model/TaskStoreFile.h"
#include "wizard/TaskActionPage.h"
#include "wizard/TaskBrowserPage.h"
#include "wizard/TaskInfoPage.h"
#include "wizard/TaskTriggerPage.h"

#include <QGuiApplication>
#include <QLayout>
#include <QMessageBox>
#include <QScreen>
#include <QSettings>

#include <algorithm>

namespace {
const QString kGeometryKey = QStringLiteral("TaskWizard/geometry");

// The wizard's label of a text field, by its store key; the key where no field shows it.
QString FieldLabel(const std::string& key)
{
    static const std::pair<const char*, const char*> labels[] = {
        {"name", QT_TRANSLATE_NOOP("TaskWizard", "Название")},
        {"description", QT_TRANSLATE_NOOP("TaskWizard", "Описание")},
        {"destination_path", QT_TRANSLATE_NOOP("TaskWizard", "Место сохранения резервной копии")},
        {"source_path", QT_TRANSLATE_NOOP("TaskWizard", "Выбор директории")},
        {"project_path", QT_TRANSLATE_NOOP("TaskWizard", "Выбор проекта")},
        {"output_path", QT_TRANSLATE_NOOP("TaskWizard", "Экспортировать в")},
        {"scheme_code", QT_TRANSLATE_NOOP("TaskWizard", "Схема соответствия")},
        {"scheme_name", QT_TRANSLATE_NOOP("TaskWizard", "Схема соответствия")},
        {"ifc_version", QT_TRANSLATE_NOOP("TaskWizard", "Версия IFC")},
        {"ifc_mapping_code", QT_TRANSLATE_NOOP("TaskWizard", "Маппинг")},
        {"ifc_mapping_name", QT_TRANSLATE_NOOP("TaskWizard", "Маппинг")},
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
// The area that windows may cover on the screen that shows most of `window` (the
// primary screen while it shows on none); empty without any screen.
QRect AvailableArea(const QWidget* window)
{
    QScreen* screen = QGuiApplication::screenAt(window->frameGeometry().center());
    if (screen == nullptr)
        screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->availableGeometry() : QRect();
}

// Moves the window so that as much of its frame as fits lies within the area.
void MoveInto(QWidget* window, const QRect& area)
{
    QRect frame = window->frameGeometry();
    frame.moveRight(std::min(frame.right(), area.right()));
    frame.moveBottom(std::min(frame.bottom(), area.bottom()));
    frame.moveLeft(std::max(frame.left(), area.left()));
    frame.moveTop(std::max(frame.top(), area.top()));
    if (frame.topLeft() != window->frameGeometry().topLeft())
        window->move(frame.topLeft());
}

// The largest size the window itself may take so that its frame stays within the area.
QSize LargestSize(const QWidget* window, const QRect& area)
{
    const QSize frame = window->frameGeometry().size() - window->geometry().size();
    return (area.size() - frame).expandedTo(window->minimumSize());
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
    // A geometry saved on a larger screen, or grown before growing was bounded, comes back
    // whole and on the screen.
    const QRect area = AvailableArea(this);
    if (!area.isEmpty()) {
        resize(size().boundedTo(LargestSize(this, area)));
        MoveInto(this, area);
    }
}

void TaskWizard::GrowToFit(QWizardPage* page)
{
    auto* wizard = qobject_cast<QWizard*>(page->window());
    if (wizard == nullptr)
        return;
    // A page that does not show yet has no size of its own to compare with; it is fitted
    // once the wizard has shown it.
    if (!page->isVisible()) {
        // The wizard tells the page's arrival once it shows it.
        auto once = std::make_shared<QMetaObject::Connection>();
        *once = connect(wizard, &QWizard::currentIdChanged, page, [page, once] {
            QObject::disconnect(*once);
            if (page->isVisible())
                GrowToFit(page);
        });
        return;
    }
    // Layouts learn about shown and hidden widgets only when their posted request is
    // handled; the sizes are needed now, innermost first.
    const QList<QWidget*> children = page->findChildren<QWidget*>();
    for (auto it = children.rbegin(); it != children.rend(); ++it)
        if (QLayout* layout = (*it)->layout())
            layout->activate();
    if (QLayout* layout = page->layout())
        layout->activate();
    if (QLayout* layout = wizard->layout())
        layout->activate();
    // The page is short of what its layout prefers by this much; the wizard around it
    // grows by the same amount.
    const QSize missing = (page->sizeHint() - page->size()).expandedTo(QSize(0, 0));
    if (missing.isNull())
        return;
    // Never past the screen: the buttons stay reachable, the page squeezes instead.
    const QRect area = AvailableArea(wizard);
    if (area.isEmpty()) {
        wizard->resize(wizard->size() + missing);
        return;
    }
    wizard->resize((wizard->size() + missing).boundedTo(LargestSize(wizard, area).expandedTo(wizard->size())));
    MoveInto(wizard, area);
}

void TaskWizard::SetEditing()
{
    setWindowTitle(tr("Изменение задачи"));
    page(InfoPageId)->setTitle(tr("Изменить задачу"));
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
        const bool scheme = bad->key == "scheme_code" || bad->key == "scheme_name";
        const bool mapping = bad->key == "ifc_mapping_code" || bad->key == "ifc_mapping_name";
        QString remedy = tr("Удалите его.");
        // Only the tool's lookup fills these fields: the user cannot edit the character out,
        // so the choice is dropped and can be looked up again.
        if (scheme || mapping) {
            if (auto* actionPage = qobject_cast<TaskActionPage*>(page(ActionPageId)))
                actionPage->ClearScheme(mapping);
            remedy = tr("Значение сброшено, выберите его заново.");
        }
        QMessageBox::warning(this, tr("Недопустимый символ"),
                             tr("Поле «%1» содержит символ %2, который нельзя сохранить в файле задач. %3")
                                 .arg(FieldLabel(bad->key), code, remedy),
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
