#include "wizard/TaskActionPage.h"
#include "common/Logging.h"
#include "common/Text.h"
#include "common/Utf8.h"

#include "model/ExportFormats.h"
#include "repository/widgets/ConnectionsManagerWidget.h"
#include "wizard/SchemeLookup.h"
#include "wizard/TaskWizard.h"

#include "ui_TaskActionPage.h"

#include <QFileDialog>
#include <QMessageBox>

#include <algorithm>
#include <climits>
#include <utility>

#include <boost/uuid/nil_generator.hpp>

namespace {

// A cancelled chooser answers an empty text; the field keeps what it held.
void KeepUnlessCancelled(QLineEdit* edit, const QString& chosen)
{
    if (!chosen.isEmpty())
        edit->setText(chosen);
}

enum ActionIndex
{
    BackupIndex = 0,
    ExportIndex = 1,
    CommandIndex = 2,
    CheckIndex = 3,
};

using ComboIndex = void (QComboBox::*)(int);
const ComboIndex comboIndexChanged = &QComboBox::currentIndexChanged;

using common::toPath;
using common::toQString;

// The word the product's tool knows a format by; empty for a value that is none of them.
std::string SchemeWord(const QVariant& format)
{
    if (!format.isValid())
        return {};
    return std::string(ExportFormatWord(static_cast<ExportFormat>(format.toInt())));
}

QString CheckBoxText(bool fileMode)
{
    return fileMode ? TaskActionPage::tr("Выбор файла") : TaskActionPage::tr("Выбор папки");
}

} // namespace

TaskActionPage::TaskActionPage(std::shared_ptr<vadro::ICore> core,
                               std::function<std::vector<const TaskInfo*>()> storedTasks, QWidget* parent)
    : QWizardPage(parent)
    , ui_(std::make_unique<Ui::TaskActionPage>())
    , core_(std::move(core))
    , config_(SavedConnectionsPath())
    , connectionsModel_(config_)
    , schemeLookup_([this](const std::string& word) { return ::SelectScheme(word, this); })
{
    ui_->setupUi(this);
    for (const ExportFormatEntry& entry : kExportFormats)
        ui_->formatComboBox->addItem(QLatin1String(entry.label.data(), static_cast<int>(entry.label.size())),
                                     static_cast<int>(entry.format));

    std::vector<vadro_cm::Connection> connections;
    try {
        connectionsModel_.Load();
        connections = connectionsModel_.GetConnections();
        if (!connectionsModel_.Damage().empty()) {
            qCWarning(lcWizard, "Saved connections are damaged: %s", connectionsModel_.Damage().c_str());
            damageMessage_ = tr("Файл подключений %1 повреждён. Восстановлено подключений: %2, не удалось "
                                "восстановить: %3.\nПрежнее содержимое файла будет сохранено рядом с ним перед "
                                "первой записью.\n\n%4")
                                 .arg(toQString(config_.File()))
                                 .arg(connections.size())
                                 .arg(connectionsModel_.Dropped())
                                 .arg(QString::fromStdString(connectionsModel_.Damage()));
        }
    } catch (const exceptions::Error& e) {
        // An unreadable file leaves the list empty; the user can still add connections, but
        // the file is written only when it can be read again.
        qCWarning(lcWizard, "Saved connections: %s", e.what());
        damageMessage_ = tr("Не удалось прочитать файл подключений %1.\n\n%2")
                             .arg(toQString(config_.File()), QString::fromStdString(e.what()));
    }

    connectionsManager_ = new vadro_cm::ConnectionsManagerWidget(nullptr, std::move(connections), core_, false);
    connectionsManager_->EnableLocalConnectionOptimizations();
    connectionsManager_->SetUsersLookup([storedTasks = std::move(storedTasks)](const vadro::Uuid& id) {
        QStringList names;
        for (const TaskInfo* task : storedTasks()) {
            const auto* backup = std::get_if<BackupAction>(&task->action);
            const auto* exportAction = std::get_if<ExportAction>(&task->action);
            if ((backup != nullptr && backup->connection_id == id) ||
                (exportAction != nullptr && exportAction->connection_id == id))
                names << toQString(task->name);
        }
        return names;
    });
    ui_->connectionsGroupLayout->addWidget(connectionsManager_);

    // A backup's groups until the page is shown with a task.
    ui_->actionComboBox->setCurrentIndex(BackupIndex);
    ui_->exportParamsGroup->hide();
    ui_->commandParamsGroupBox->hide();
    ui_->schemeParamsGroup->hide();
    ui_->ifcParamsGroup->hide();
    ui_->checkIFCParamsGroupBox->hide();
    // The connection manager joins the form after it was built: its place in the tab order
    // is where it shows, after the action list.
    QWidget* previous = ui_->actionComboBox;
    for (QWidget* child : connectionsManager_->findChildren<QWidget*>()) {
        if ((child->focusPolicy() & Qt::TabFocus) != 0) {
            QWidget::setTabOrder(previous, child);
            previous = child;
        }
    }
}

TaskActionPage::~TaskActionPage() = default;

template <class A>
A* TaskActionPage::ActionAs() const
{
    return std::get_if<A>(&wizard_->GetTaskInfo().action);
}

vadro::Uuid TaskActionPage::SelectedConnectionId() const
{
    const std::optional<vadro_cm::Connection> selected = connectionsManager_->GetSelectedConnection();
    return selected ? selected->id : boost::uuids::nil_uuid();
}

void TaskActionPage::ConnectHandlers(TaskWizard& wizard)
{
    wizard_ = &wizard;
    connect(connectionsManager_, &vadro_cm::ConnectionsManagerWidget::SelectionChanged, this,
            &QWizardPage::completeChanged);
    connect(connectionsManager_, &vadro_cm::ConnectionsManagerWidget::SelectionChanged, this,
            &TaskActionPage::StoreSelectedConnection);

    // The kind changes first: the groups, the completeness and the final-page flag follow it.
    connect(ui_->actionComboBox, comboIndexChanged, this, &TaskActionPage::ChangeActionKind);
    connect(ui_->actionComboBox, comboIndexChanged, this, &TaskActionPage::UpdateGroups);
    connect(ui_->actionComboBox, comboIndexChanged, this, &QWizardPage::completeChanged);
    connect(ui_->actionComboBox, comboIndexChanged, this, [this](int index) { setFinalPage(index == CommandIndex); });

    ConnectBackupHandlers();
    ConnectExportHandlers();
    ConnectCommandHandlers();
    ConnectCheckHandlers();
}

void TaskActionPage::ConnectBackupHandlers()
{
    connect(ui_->backupToolDestinationEdit, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (auto* backup = ActionAs<BackupAction>())
            backup->destination_path = text.toStdWString();
    });
    connect(ui_->backupToolDestinationEdit, &QLineEdit::textChanged, this, &QWizardPage::completeChanged);
    connect(ui_->backupToolDestinationButton, &QPushButton::clicked, this,
            [this] { ChooseFolder(ui_->backupToolDestinationEdit); });
    connect(ui_->backupVersionsSpinBox, qOverload<int>(&QSpinBox::valueChanged), this, [this](int value) {
        if (auto* backup = ActionAs<BackupAction>())
            backup->keep_versions = static_cast<std::uint32_t>(value);
    });
}

void TaskActionPage::ConnectExportHandlers()
{
    connect(ui_->formatComboBox, comboIndexChanged, this, &TaskActionPage::ChangeFormat);
    connect(ui_->formatComboBox, comboIndexChanged, this, &TaskActionPage::ShowFormatGroups);
    connect(ui_->ifcVersionComboBox, comboIndexChanged, this, [this](int i) {
        if (auto* exportAction = ActionAs<ExportAction>())
            exportAction->ifc_version = ui_->ifcVersionComboBox->itemText(i).toStdWString();
    });
    connect(ui_->ifcMappingButton, &QPushButton::clicked, this, &TaskActionPage::SelectMapping);
    connect(ui_->exportDstPathEdit, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (auto* exportAction = ActionAs<ExportAction>())
            exportAction->output_path = text.toStdWString();
    });
    connect(ui_->exportDstPathEdit, &QLineEdit::textChanged, this, &QWizardPage::completeChanged);
    connect(ui_->exportDstPathButton, &QPushButton::clicked, this, [this] { ChooseFolder(ui_->exportDstPathEdit); });
    connect(ui_->schemeLineEdit, &QLineEdit::textChanged, this, &QWizardPage::completeChanged);
    connect(ui_->selectSchemeButton, &QPushButton::clicked, this, &TaskActionPage::SelectScheme);
}

void TaskActionPage::ConnectCommandHandlers()
{
    connect(ui_->executableEdit, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (auto* command = ActionAs<CommandAction>())
            command->executable = toPath(text);
    });
    connect(ui_->executableEdit, &QLineEdit::textChanged, this, &QWizardPage::completeChanged);
    connect(ui_->executableButton, &QPushButton::clicked, this, [this] {
        // The title is the folder choosers' although this one picks a file.
        KeepUnlessCancelled(ui_->executableEdit,
                            QFileDialog::getOpenFileName(this, tr("Выбор папки"), ui_->executableEdit->text()));
    });
    connect(ui_->argumentsEdit, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (auto* command = ActionAs<CommandAction>())
            command->arguments = text.toStdWString();
    });
    connect(ui_->workingDirectoryEdit, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (auto* command = ActionAs<CommandAction>())
            command->working_directory = toPath(text);
    });
}

void TaskActionPage::ConnectCheckHandlers()
{
    connect(ui_->idsEdit, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (auto* check = ActionAs<CheckAction>())
            check->ids_file = text.toStdWString();
    });
    connect(ui_->idsEdit, &QLineEdit::textChanged, this, &QWizardPage::completeChanged);
    connect(ui_->ifcEdit, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (auto* check = ActionAs<CheckAction>())
            check->ifc_file = text.toStdWString();
    });
    connect(ui_->ifcEdit, &QLineEdit::textChanged, this, &QWizardPage::completeChanged);
    connect(ui_->getFileIDS, &QPushButton::clicked, this, [this] {
        if (const auto* check = ActionAs<CheckAction>())
            ChooseCheckPath(ui_->idsEdit, check->ids_file_mode, tr("IDS (*.ids)"));
    });
    connect(ui_->checkFileIDS, &QCheckBox::clicked, this, [this](bool checked) { SetCheckMode(true, checked); });
    connect(ui_->getFileIFC, &QPushButton::clicked, this, [this] {
        if (const auto* check = ActionAs<CheckAction>())
            ChooseCheckPath(ui_->ifcEdit, check->ifc_file_mode, tr("IFC (*.ifc)"));
    });
    connect(ui_->checkFileIFC, &QCheckBox::clicked, this, [this](bool checked) { SetCheckMode(false, checked); });
}

void TaskActionPage::StoreSelectedConnection()
{
    if (auto* backup = ActionAs<BackupAction>())
        backup->connection_id = SelectedConnectionId();
    else if (auto* exportAction = ActionAs<ExportAction>())
        exportAction->connection_id = SelectedConnectionId();
}

void TaskActionPage::ChangeFormat(int index)
{
    auto* exportAction = ActionAs<ExportAction>();
    if (exportAction == nullptr)
        return;
    // An index without an item reads as format 0.
    const int format = ui_->formatComboBox->itemData(index).toInt();
    if (format == exportAction->format)
        return;
    exportAction->scheme_name.clear();
    exportAction->scheme_code.clear();
    exportAction->format = static_cast<ExportFormat>(format);
    ui_->schemeLineEdit->clear();
}

void TaskActionPage::ShowFormatGroups(int index)
{
    const int format = ui_->formatComboBox->itemData(index).toInt();
    ui_->schemeParamsGroup->setVisible(format != IFC);
    ui_->ifcParamsGroup->setVisible(format == IFC);
    TaskWizard::GrowToFit(this);
}

// The mode of the IDS (`ids`) or the IFC path: a file when checked, a folder when not. The
// path picked under the other mode is dropped.
void TaskActionPage::SetCheckMode(bool ids, bool fileMode)
{
    if (auto* check = ActionAs<CheckAction>())
        (ids ? check->ids_file_mode : check->ifc_file_mode) = fileMode;
    (ids ? ui_->checkFileIDS : ui_->checkFileIFC)->setText(CheckBoxText(fileMode));
    (ids ? ui_->idsEdit : ui_->ifcEdit)->clear();
}

void TaskActionPage::ChangeActionKind(int index)
{
    TaskInfo& task = wizard_->GetTaskInfo();
    if (index == static_cast<int>(task.action.index()))
        return;
    const std::optional<vadro_cm::Connection> selected = connectionsManager_->GetSelectedConnection();
    const vadro::Uuid connectionId = selected && !selected->name.empty() ? selected->id : boost::uuids::nil_uuid();
    // A kind the task held before gets back what it held (its repository path above all).
    left_[task.action.index()] = task.action;
    const auto held = [this](int kind) { return static_cast<std::size_t>(kind) < left_.size() && left_[kind]; };
    switch (index) {
    case BackupIndex: {
        // The new action takes over what the page shows, so the page and the task agree.
        BackupAction backup = held(index) ? std::get<BackupAction>(*left_[index]) : BackupAction{};
        backup.connection_id = connectionId;
        backup.destination_path = ui_->backupToolDestinationEdit->text().toStdWString();
        backup.keep_versions = static_cast<std::uint32_t>(ui_->backupVersionsSpinBox->value());
        task.action = backup;
        break;
    }
    case ExportIndex: {
        ExportAction exportAction = held(index) ? std::get<ExportAction>(*left_[index]) : ExportAction{};
        exportAction.connection_id = connectionId;
        exportAction.format = ui_->formatComboBox->currentIndex() >= 0
                                  ? static_cast<ExportFormat>(ui_->formatComboBox->currentData().toInt())
                                  : DXF;
        exportAction.output_path = ui_->exportDstPathEdit->text().toStdWString();
        exportAction.ifc_version = ui_->ifcVersionComboBox->currentText().toStdWString();
        task.action = exportAction;
        if (held(index))
            break;
        // A new export has no scheme and no mapping yet.
        ui_->schemeLineEdit->clear();
        ui_->ifcMappingEdit->clear();
        break;
    }
    case CommandIndex: {
        CommandAction command;
        command.executable = toPath(ui_->executableEdit->text());
        command.working_directory = toPath(ui_->workingDirectoryEdit->text());
        command.arguments = ui_->argumentsEdit->text().toStdWString();
        task.action = command;
        break;
    }
    case CheckIndex: {
        CheckAction check;
        check.ids_file = ui_->idsEdit->text().toStdWString();
        check.ifc_file = ui_->ifcEdit->text().toStdWString();
        task.action = check;
        // A new check picks files; the boxes say so.
        for (QCheckBox* box : {ui_->checkFileIDS, ui_->checkFileIFC}) {
            box->setChecked(true);
            box->setText(CheckBoxText(true));
        }
        break;
    }
    default:
        break;
    }
}

void TaskActionPage::UpdateGroups(int index)
{
    const auto* exportAction = ActionAs<ExportAction>();
    const int format = exportAction != nullptr ? exportAction->format : -1;
    ui_->connectionsGroupBox->setVisible(index == BackupIndex || index == ExportIndex);
    ui_->backupToolParamsGroup->setVisible(index == BackupIndex);
    ui_->exportParamsGroup->setVisible(index == ExportIndex);
    ui_->commandParamsGroupBox->setVisible(index == CommandIndex);
    ui_->checkIFCParamsGroupBox->setVisible(index == CheckIndex);
    ui_->schemeParamsGroup->setVisible(index == ExportIndex && format != IFC);
    ui_->ifcParamsGroup->setVisible(index == ExportIndex && format == IFC);
    TaskWizard::GrowToFit(this);
}

void TaskActionPage::ChooseFolder(QLineEdit* edit)
{
    KeepUnlessCancelled(
        edit, QFileDialog::getExistingDirectory(this, tr("Выбор папки"), edit->text(), QFileDialog::ShowDirsOnly));
}

void TaskActionPage::ChooseCheckPath(QLineEdit* edit, bool fileMode, const QString& filter)
{
    if (fileMode)
        KeepUnlessCancelled(edit, QFileDialog::getOpenFileName(nullptr, tr("Выбор файла"), edit->text(), filter));
    else
        KeepUnlessCancelled(edit, QFileDialog::getExistingDirectory(nullptr, tr("Выбор папки"), edit->text(),
                                                                    QFileDialog::ShowDirsOnly));
}

std::optional<std::pair<std::string, std::string>> TaskActionPage::LookUpScheme(const std::string& word)
{
    const SchemeSelection selection = schemeLookup_(word);
    if (!selection.failure.isEmpty())
        QMessageBox::warning(this, tr("Выбор схемы"), selection.failure);
    if (selection.outcome != SchemeSelection::Outcome::Replied || (selection.code.empty() && selection.name.empty()))
        return std::nullopt;
    return std::make_pair(selection.code, selection.name);
}

void TaskActionPage::SelectScheme()
{
    auto* exportAction = std::get_if<ExportAction>(&wizard_->GetTaskInfo().action);
    if (exportAction == nullptr)
        return;
    const auto selected = LookUpScheme(SchemeWord(ui_->formatComboBox->currentData()));
    if (!selected)
        return;
    const auto& [code, name] = *selected;
    exportAction->scheme_code = common::fromUtf8(code);
    exportAction->scheme_name = common::fromUtf8(name);
    ui_->schemeLineEdit->setText(toQString(exportAction->scheme_name));
}

void TaskActionPage::SelectMapping()
{
    auto* exportAction = std::get_if<ExportAction>(&wizard_->GetTaskInfo().action);
    if (exportAction == nullptr)
        return;
    const auto selected = LookUpScheme("IFC");
    if (!selected)
        return;
    const auto& [code, name] = *selected;
    exportAction->ifc_mapping_code = common::fromUtf8(code);
    exportAction->ifc_mapping_name = common::fromUtf8(name);
    ui_->ifcMappingEdit->setText(toQString(exportAction->ifc_mapping_name));
}

void TaskActionPage::ClearScheme(bool mapping)
{
    if (auto* exportAction = ActionAs<ExportAction>()) {
        (mapping ? exportAction->ifc_mapping_code : exportAction->scheme_code).clear();
        (mapping ? exportAction->ifc_mapping_name : exportAction->scheme_name).clear();
    }
    (mapping ? ui_->ifcMappingEdit : ui_->schemeLineEdit)->clear();
}

void TaskActionPage::initializePage()
{
    QWizardPage::initializePage();
    if (wizard_ == nullptr)
        return;
    // Said once, where the list is first shown.
    if (!damageMessage_.isEmpty()) {
        const QString message = std::exchange(damageMessage_, QString());
        QMessageBox::warning(this, tr("Файл подключений повреждён"), message);
    }
    TaskInfo& task = wizard_->GetTaskInfo();
    ui_->actionComboBox->setCurrentIndex(static_cast<int>(task.action.index()));

    // Each setting below runs its handler, which may write into the action; the values are
    // read from a copy taken before the first of them.
    const Action action = task.action;
    if (const auto* backup = std::get_if<BackupAction>(&action)) {
        ui_->backupToolDestinationEdit->setText(toQString(backup->destination_path));
        // A number above the usual range, written into the store by hand, is shown as it is, not cut down.
        const int versions = static_cast<int>(std::min<std::uint32_t>(backup->keep_versions, INT_MAX));
        ui_->backupVersionsSpinBox->setMaximum(std::max(999, versions));
        ui_->backupVersionsSpinBox->setValue(versions);
        connectionsManager_->SelectConnection(backup->connection_id);
    } else if (const auto* exportAction = std::get_if<ExportAction>(&action)) {
        connectionsManager_->SelectConnection(exportAction->connection_id);
        ui_->formatComboBox->setCurrentIndex(ui_->formatComboBox->findData(static_cast<int>(exportAction->format)));
        // The format handler empties the scheme of a format the list does not know.
        const auto& current = std::get<ExportAction>(task.action);
        ui_->exportDstPathEdit->setText(toQString(exportAction->output_path));
        ui_->schemeLineEdit->setText(
            toQString(current.scheme_name.empty() ? current.scheme_code : current.scheme_name));
        ui_->ifcVersionComboBox->setCurrentText(toQString(exportAction->ifc_version));
        ui_->ifcMappingEdit->setText(toQString(exportAction->ifc_mapping_name));
    } else if (const auto* command = std::get_if<CommandAction>(&action)) {
        ui_->executableEdit->setText(toQString(command->executable));
        ui_->argumentsEdit->setText(toQString(command->arguments));
        ui_->workingDirectoryEdit->setText(toQString(command->working_directory));
    } else if (const auto* check = std::get_if<CheckAction>(&action)) {
        ui_->idsEdit->setText(toQString(check->ids_file));
        ui_->ifcEdit->setText(toQString(check->ifc_file));
        ui_->checkFileIDS->setChecked(check->ids_file_mode);
        ui_->checkFileIFC->setChecked(check->ifc_file_mode);
        ui_->checkFileIDS->setText(CheckBoxText(check->ids_file_mode));
        ui_->checkFileIFC->setText(CheckBoxText(check->ifc_file_mode));
    }
}

bool TaskActionPage::isComplete() const
{
    const bool connectionSelected = connectionsManager_->GetSelectedConnection().has_value();
    switch (ui_->actionComboBox->currentIndex()) {
    case BackupIndex:
        return !ui_->backupToolDestinationEdit->text().isEmpty() && connectionSelected;
    case ExportIndex:
        return !ui_->exportDstPathEdit->text().isEmpty() && connectionSelected;
    case CommandIndex:
        return !ui_->executableEdit->text().isEmpty();
    case CheckIndex:
        return !ui_->ifcEdit->text().isEmpty() && !ui_->idsEdit->text().isEmpty();
    default:
        return true;
    }
}

bool TaskActionPage::validatePage()
{
    if (ui_->actionComboBox->currentIndex() > ExportIndex)
        return true;
    const std::optional<vadro_cm::Connection> selected = connectionsManager_->GetSelectedConnection();
    if (!selected || selected->name.empty())
        return false;
    try {
        core_->OpenSession(selected->address, selected->credentials);
    } catch (const vadro::VadroError& e) {
        QMessageBox::warning(this, tr("Ошибка подключения"),
                             tr("Не удалось установить подключение.\n%1").arg(toQString(e.GetDescription())),
                             QMessageBox::Ok);
        return false;
    }
    wizard_->GetConnection() = *selected;
    return true;
}

bool TaskActionPage::SaveConnections()
{
    // A damaged file is rewritten even when the list is unchanged: a run reads it whole.
    if (connectionsManager_->GetEditedConnections() == connectionsModel_.GetConnections() &&
        connectionsModel_.Damage().empty())
        return true;
    try {
        connectionsModel_.UpdateConnections(connectionsManager_->GetEditedConnections());
    } catch (const exceptions::Error& e) {
        qCWarning(lcWizard, "Saved connections: %s", e.what());
        QMessageBox::warning(window(), tr("Подключения не сохранены"),
                             tr("Не удалось сохранить подключения в файле %1, задача не сохранена.\n\n%2")
                                 .arg(toQString(config_.File()), QString::fromStdString(e.what())));
        return false;
    }
    return true;
}

int TaskActionPage::nextId() const
{
    return ui_->actionComboBox->currentIndex() == CommandIndex ? -1 : QWizardPage::nextId();
}
