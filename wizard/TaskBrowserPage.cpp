#include "wizard/TaskBrowserPage.h"
#include "common/Text.h"

#include "execution/Backup.h"
#include "repository/VadroPath.h"
#include "repository/widgets/BrowserWidget.h"
#include "wizard/TaskWizard.h"

#include "ui_TaskBrowserPage.h"

#include <QDir>
#include <QKeyEvent>
#include <QMessageBox>
#include <QTreeView>

#include <filesystem>

namespace {

using common::toQString;

} // namespace

TaskBrowserPage::TaskBrowserPage(std::shared_ptr<vadro::ICore> core, QWidget* parent)
    : QWizardPage(parent)
    , ui_(std::make_unique<Ui::TaskBrowserPage>())
    , core_(std::move(core))
{
    ui_->setupUi(this);
    // Says that a typed path outside the connection was put back to its prefix.
    ui_->pathResetLabel->hide();
    browser_ = new vadro_browser::BrowserWidget(nullptr, nullptr, false, true, 0, {});
    browser_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    ui_->browserGroupLayout->insertWidget(ui_->browserGroupLayout->indexOf(ui_->pathsLineEdit), browser_);
}

TaskBrowserPage::~TaskBrowserPage() = default;

void TaskBrowserPage::ConnectHandlers(TaskWizard& wizard)
{
    wizard_ = &wizard;
    TaskInfo& task = wizard.GetTaskInfo();
    if (const auto* exportAction = std::get_if<ExportAction>(&task.action))
        ui_->onlyChangedDocsCheckBox->setChecked(exportAction->only_changed_documents);
    else if (const auto* check = std::get_if<CheckAction>(&task.action))
        ui_->onlyChangedDocsCheckBox->setChecked(check->only_changed_documents);
    connect(browser_, &vadro_browser::BrowserWidget::SelectionChanged, this, [this] { SelectionToPath(); });
    // A click on the folder already selected (opened from a path of another connection, say)
    // changes no selection, yet picks that folder.
    connect(browser_->View(), &QAbstractItemView::clicked, this, [this] { SelectionToPath(); });
    // Leaving the line checks only what the user typed: a stored path passes through untouched,
    // and one that does not suit the connection is refused at Finish, never replaced.
    connect(ui_->pathsLineEdit, &QLineEdit::textEdited, this, [this] { typed_ = true; });
    connect(ui_->pathsLineEdit, &QLineEdit::editingFinished, this, [this] {
        if (typed_)
            CheckTypedPath();
    });
    // Enter checks the path and stays on the page: it must not finish the wizard with a
    // path the check has just replaced.
    ui_->pathsLineEdit->installEventFilter(this);
    connect(ui_->pathsLineEdit, &QLineEdit::textChanged, this, [&task](const QString& text) {
        if (auto* backup = std::get_if<BackupAction>(&task.action))
            backup->source_path = text.toStdWString();
        else if (auto* exportAction = std::get_if<ExportAction>(&task.action))
            exportAction->project_path = text.toStdWString();
    });
    connect(ui_->pathsLineEdit, &QLineEdit::textChanged, this, &QWizardPage::completeChanged);
    connect(ui_->onlyChangedDocsCheckBox, &QCheckBox::toggled, this, [&task](bool checked) {
        // The times recorded so far were taken under the other setting; runs start afresh.
        if (auto* exportAction = std::get_if<ExportAction>(&task.action)) {
            exportAction->only_changed_documents = checked;
            exportAction->modification_times.clear();
        } else if (auto* check = std::get_if<CheckAction>(&task.action)) {
            check->only_changed_documents = checked;
            check->modification_times.clear();
        }
    });
}

void TaskBrowserPage::initializePage()
{
    QWizardPage::initializePage();
    if (wizard_ == nullptr)
        return;
    TaskInfo& task = wizard_->GetTaskInfo();

    if (const auto* check = std::get_if<CheckAction>(&task.action)) {
        browser_->hide();
        ui_->pathsLineEdit->hide();
        ui_->onlyChangedDocsCheckBox->show();
        ui_->onlyChangedDocsCheckBox->setChecked(check->only_changed_documents);
        return;
    }
    browser_->show();
    ui_->pathsLineEdit->show();
    // Read before anything below can reach the line's handlers.
    std::wstring stored;
    if (const auto* exportAction = std::get_if<ExportAction>(&task.action)) {
        stored = exportAction->project_path;
        ui_->onlyChangedDocsCheckBox->show();
        ui_->onlyChangedDocsCheckBox->setChecked(exportAction->only_changed_documents);
        ui_->browserGroupBox->setTitle(tr("Выбор проекта"));
        browser_->ResetFolderContentsFilter();
    } else {
        ui_->onlyChangedDocsCheckBox->hide();
        if (const auto* backup = std::get_if<BackupAction>(&task.action)) {
            stored = backup->source_path;
            ui_->browserGroupBox->setTitle(tr("Выбор директории"));
            browser_->SetFolderContentsFilter({});
        }
    }

    const vadro_cm::Connection& connection = wizard_->GetConnection();
    try {
        const std::shared_ptr<vadro::ISession> session = core_->OpenSession(connection.address, connection.credentials);
        session_ = session;
        resolver_ = session->GetPathResolver();
        browser_->Reset(session);
        prefix_ = L"vadro://" + connection.name + L"/";
    } catch (const vadro::VadroError& e) {
        // Nothing of an earlier session stays behind.
        session_.reset();
        resolver_.reset();
        browser_->Reset(nullptr);
        QMessageBox::critical(this, tr("Ошибка соединения"),
                              tr("Не удалось установить соединение с сервером.\n%1").arg(toQString(e.GetDescription())),
                              QMessageBox::Ok);
        return;
    }
    // A stored path wins over the prefix of a connection chosen since.
    ShowPath(stored.empty() ? prefix_ : stored);
}

void TaskBrowserPage::ShowPath(const std::wstring& text)
{
    std::wstring server;
    std::vector<std::wstring> components;
    std::optional<vadro::Uuid> id;
    if (!path::utils::ParseVadroPath(text, server, components, id, false))
        return;
    // The tree shows what the line says, or nothing: never a folder the line has left.
    browser_->ClearSelection();
    // The bare prefix names no item: nothing to open or select.
    if (!components.empty() && resolver_) {
        try {
            const std::wstring name = components.back();
            components.pop_back();
            const vadro::IdPath folders = resolver_->ResolvePath(components);
            // A path whose folders are gone opens nothing rather than a wrong folder.
            if (folders.size() == components.size()) {
                browser_->ExpandPath(folders);
                browser_->SelectFile(name);
            }
        } catch (const vadro::VadroError&) {
        }
    }
    SetLine(toQString(text));
}

void TaskBrowserPage::SetLine(const QString& text)
{
    ui_->pathsLineEdit->setText(text);
    typed_ = false;
}

QString TaskBrowserPage::ConnectionPrefix() const
{
    return QStringLiteral("vadro://") + toQString(wizard_->GetConnection().name) + QLatin1Char('/');
}

void TaskBrowserPage::SelectionToPath()
{
    const std::vector<vadro::BrowserItemInfo> selection = browser_->GetSelectionInfo();
    ui_->pathResetLabel->hide();
    if (selection.size() != 1) {
        SetLine(QString());
        return;
    }
    if (!resolver_)
        return;
    try {
        std::filesystem::path relative;
        for (const std::wstring& name : resolver_->GetPathNames(selection.front().path))
            relative /= std::filesystem::u8path(QString::fromStdWString(name).toStdString());
        SetLine(toQString(prefix_) + common::decodeUtf8(relative.generic_string()));
    } catch (const vadro::VadroError&) {
    }
}

bool TaskBrowserPage::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == ui_->pathsLineEdit && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            ResetToPrefix();
            return true;
        }
    }
    return QWizardPage::eventFilter(watched, event);
}

void TaskBrowserPage::ResetToPrefix()
{
    const QString typed = ui_->pathsLineEdit->text();
    const QString text = QDir::fromNativeSeparators(typed);
    const QString prefix = toQString(prefix_);
    const bool outside = !text.startsWith(prefix, Qt::CaseSensitive);
    ShowPath((outside ? prefix : text).toStdWString());
    if (outside && !typed.isEmpty())
        ui_->pathResetLabel->setText(tr("Путь «%1» не относится к соединению и заменён на «%2».").arg(typed, prefix));
    ui_->pathResetLabel->setVisible(outside && !typed.isEmpty());
}

void TaskBrowserPage::CheckTypedPath()
{
    typed_ = false;
    const QString text = QDir::fromNativeSeparators(ui_->pathsLineEdit->text());
    const QString prefix = ConnectionPrefix();
    const bool outside = !text.isEmpty() && !text.startsWith(prefix, Qt::CaseSensitive);
    if (!outside && text != ui_->pathsLineEdit->text())
        SetLine(text);
    if (outside)
        ui_->pathResetLabel->setText(tr("Путь «%1» не относится к соединению «%2».").arg(text, prefix));
    ui_->pathResetLabel->setVisible(outside);
}

bool TaskBrowserPage::isComplete() const
{
    return ui_->pathsLineEdit->isHidden() || !ui_->pathsLineEdit->text().isEmpty();
}

bool TaskBrowserPage::validatePage()
{
    if (wizard_ == nullptr)
        return true;
    const TaskInfo& task = wizard_->GetTaskInfo();
    const std::wstring* path = nullptr;
    if (const auto* backupAction = std::get_if<BackupAction>(&task.action))
        path = &backupAction->source_path;
    else if (const auto* exportAction = std::get_if<ExportAction>(&task.action))
        path = &exportAction->project_path;
    // The run hands the tool the path under the connection it names: a path of another
    // connection would read from there.
    const QString prefix = ConnectionPrefix();
    if (path != nullptr && !toQString(*path).startsWith(prefix, Qt::CaseSensitive)) {
        QMessageBox::warning(this, tr("Путь в хранилище"),
                             tr("Путь «%1» не относится к выбранному соединению: путь должен начинаться с «%2». "
                                "Выберите папку в дереве или исправьте путь.")
                                 .arg(toQString(*path), prefix),
                             QMessageBox::Ok);
        return false;
    }
    const auto* backup = std::get_if<BackupAction>(&task.action);
    if (backup == nullptr || !session_)
        return true;
    std::wstring server;
    std::vector<std::wstring> components;
    std::optional<vadro::Uuid> id;
    if (!path::utils::ParseVadroPath(backup->source_path, server, components, id, false))
        return true;
    std::wstring problem;
    try {
        const vadro::IdPath ids = resolver_->ResolvePath(components);
        // A folder that is not there (yet) is the run's concern, as is a repository kept
        // elsewhere than on this machine.
        if (ids.size() != components.size())
            return true;
        const vadro::ItemInfo source = session_->GetItem(ids);
        if (source.local)
            problem = execution::DestinationOverlapProblem(backup->destination_path, *source.local);
    } catch (const vadro::VadroError&) {
        return true;
    }
    if (problem.empty())
        return true;
    QMessageBox::warning(
        this, tr("Резервное копирование"),
        tr("Резервная копия не может быть сохранена: %1. Выберите другую папку назначения.").arg(toQString(problem)),
        QMessageBox::Ok);
    return false;
}
