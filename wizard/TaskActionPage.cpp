#include "wizard/TaskActionPage.h"
#include "common/Logging.h"
#include "common/Text.h"

#include "model/ExportFormats.h"
#include "repository/widgets/ConnectionsManagerWidget.h"
#include "scheduler/TaskStorage.h"
#include "wizard/SchemeLookup.h"
#include "wizard/TaskWizard.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include <boost/uuid/nil_generator.hpp>

namespace {

// A cancelled chooser answers an empty text; the field keeps what it held.
void keepUnlessCancelled(QLineEdit* edit, const QString& chosen)
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

using common::toPath;
using common::toQString;

// The word the product's tool knows a format by; empty for a value that is none of them.
std::string schemeWord(const QVariant& format)
{
    if (!format.isValid())
        return {};
    return std::string(ExportFormatWord(static_cast<ExportFormat>(format.toInt())));
}

QString checkBoxText(bool fileMode)
{
    return fileMode ? TaskActionPage::tr("Выбор файла") : TaskActionPage::tr("Выбор папки");
}

} // namespace

TaskActionPage::TaskActionPage(std::shared_ptr<vadro::ICore> core, QWidget* parent)
    : QWizardPage(parent)
    , core_(std::move(core))
    , config_(SavedConnectionsPath())
    , connectionsModel_(config_)
    , schemeLookup_([this](const std::string& word) { return ::SelectScheme(word, this); })
{
    setObjectName(QStringLiteral("TaskActionPage"));
    BuildWidgets();

    formatComboBox->addItem(QStringLiteral("DXF"), static_cast<int>(DXF));
    formatComboBox->addItem(QStringLiteral("DWG"), static_cast<int>(DWG));
    formatComboBox->addItem(QStringLiteral("MIF/MID"), static_cast<int>(MIF));
    formatComboBox->addItem(QStringLiteral("TXF/SXF"), static_cast<int>(PNR));
    formatComboBox->addItem(QStringLiteral("IFC"), static_cast<int>(IFC));
    commandParamsGroupBox->hide();

    std::vector<vadro_cm::Connection> connections;
    try {
        connectionsModel_.Init(config_.GetConfigSubtree(ConnectionsModel::kSubtreePath));
        connections = connectionsModel_.GetConnections();
    } catch (const exceptions::Error& e) {
        // An unreadable file leaves the list empty; the user can still add connections.
        qCWarning(lcWizard, "Saved connections: %s", e.what());
    }

    connectionsManager = new vadro_cm::ConnectionsManagerWidget(nullptr, std::move(connections), core_, false);
    connectionsManager->EnableLocalConnectionOptimizations();
    connectionsManager->SetUsersLookup([](const vadro::Uuid& id) {
        QStringList names;
        for (const auto& task : TaskStorage::Instance().Tasks()) {
            const auto* backup = std::get_if<BackupAction>(&task->action);
            const auto* exportAction = std::get_if<ExportAction>(&task->action);
            if ((backup != nullptr && backup->connection_id == id) ||
                (exportAction != nullptr && exportAction->connection_id == id))
                names << toQString(task->name);
        }
        return names;
    });
    connectionsGroupLayout->addWidget(connectionsManager);

    actionComboBox->setCurrentIndex(BackupIndex);
    connectionsGroupBox->show();
    backupToolParamsGroup->show();
    exportParamsGroup->hide();
    commandParamsGroupBox->hide();
    schemeParamsGroup->hide();
    ifcParamsGroup->hide();
    checkIFCParamsGroupBox->hide();
}

TaskActionPage::~TaskActionPage() = default;

void TaskActionPage::BuildWidgets()
{
    const auto named = [](auto* object, const char* name) {
        object->setObjectName(QString::fromLatin1(name));
        return object;
    };
    const auto button = [this, &named](const char* name) {
        return named(new QPushButton(QStringLiteral("..."), this), name);
    };

    verticalLayout = named(new QVBoxLayout(this), "verticalLayout");

    actionGroupBox = named(new QGroupBox(tr("Действие"), this), "actionGroupBox");
    actionGroupLayout = named(new QVBoxLayout(actionGroupBox), "actionGroupLayout");
    actionComboBox = named(new QComboBox(actionGroupBox), "actionComboBox");
    actionComboBox->addItem(tr("Резервное копирование"));
    actionComboBox->addItem(tr("Экспорт данных"));
    actionComboBox->addItem(tr("Команда"));
    actionComboBox->addItem(tr("Проверка IFC по IDS"));
    actionGroupLayout->addWidget(actionComboBox);
    verticalLayout->addWidget(actionGroupBox);

    connectionsGroupBox = named(new QGroupBox(tr("Выбор соединения"), this), "connectionsGroupBox");
    connectionsGroupLayout = named(new QVBoxLayout(connectionsGroupBox), "connectionsGroupLayout");
    // The connection manager takes the height the other groups leave.
    verticalLayout->addWidget(connectionsGroupBox, 1);

    backupToolParamsGroup = named(new QGroupBox(tr("Настройки резервного копирования"), this), "backupToolParamsGroup");
    formLayout_3 = named(new QFormLayout(backupToolParamsGroup), "formLayout_3");
    backupDestinationLabel = named(new QLabel(tr("Место сохранения резервной копии:"), this), "backupDestinationLabel");
    horizontalLayout_3 = named(new QHBoxLayout, "horizontalLayout_3");
    backupToolDestinationEdit = named(new QLineEdit(this), "backupToolDestinationEdit");
    backupToolDestinationButton = button("backupToolDestinationButton");
    horizontalLayout_3->addWidget(backupToolDestinationEdit);
    horizontalLayout_3->addWidget(backupToolDestinationButton);
    formLayout_3->addRow(backupDestinationLabel, horizontalLayout_3);
    verticalLayout->addWidget(backupToolParamsGroup);

    exportParamsGroup = named(new QGroupBox(tr("Параметры экспорта"), this), "exportParamsGroup");
    exportParamsForm = named(new QFormLayout(exportParamsGroup), "exportParamsForm");
    formatLabel = named(new QLabel(tr("Формат"), this), "formatLabel");
    formatComboBox = named(new QComboBox(this), "formatComboBox");
    exportParamsForm->addRow(formatLabel, formatComboBox);
    exportDstLabel = named(new QLabel(tr("Экспортировать в"), this), "exportDstLabel");
    horizontalLayout_4 = named(new QHBoxLayout, "horizontalLayout_4");
    exportDstPathEdit = named(new QLineEdit(this), "exportDstPathEdit");
    exportDstPathButton = button("exportDstPathButton");
    horizontalLayout_4->addWidget(exportDstPathEdit);
    horizontalLayout_4->addWidget(exportDstPathButton);
    exportParamsForm->addRow(exportDstLabel, horizontalLayout_4);
    verticalLayout->addWidget(exportParamsGroup);

    schemeParamsGroup = named(new QGroupBox(tr("Схема соответствия"), this), "schemeParamsGroup");
    formLayout_4 = named(new QFormLayout(schemeParamsGroup), "formLayout_4");
    schemeCodeLabel = named(new QLabel(tr("Схема соответствия"), this), "schemeCodeLabel");
    schemeParamsLayout = named(new QHBoxLayout, "schemeParamsLayout");
    schemeLineEdit = named(new QLineEdit(this), "schemeLineEdit");
    schemeLineEdit->setEnabled(false);
    selectSchemeButton = button("selectSchemeButton");
    schemeParamsLayout->addWidget(schemeLineEdit);
    schemeParamsLayout->addWidget(selectSchemeButton);
    formLayout_4->addRow(schemeCodeLabel, schemeParamsLayout);
    verticalLayout->addWidget(schemeParamsGroup);

    ifcParamsGroup = named(new QGroupBox(QStringLiteral("IFC"), this), "ifcParamsGroup");
    formLayout_2 = named(new QFormLayout(ifcParamsGroup), "formLayout_2");
    ifcVersionLabel = named(new QLabel(tr("Версия IFC"), this), "ifcVersionLabel");
    horizontalLayout_5 = named(new QHBoxLayout, "horizontalLayout_5");
    ifcVersionComboBox = named(new QComboBox(this), "ifcVersionComboBox");
    ifcVersionComboBox->addItem(QStringLiteral("4.0"));
    ifcVersionComboBox->addItem(QStringLiteral("4.3"));
    horizontalLayout_5->addWidget(ifcVersionComboBox);
    formLayout_2->addRow(ifcVersionLabel, horizontalLayout_5);
    ifcMappingLabel = named(new QLabel(tr("Маппинг"), this), "ifcMappingLabel");
    horizontalLayout_2 = named(new QHBoxLayout, "horizontalLayout_2");
    ifcMappingEdit = named(new QLineEdit(this), "ifcMappingEdit");
    ifcMappingEdit->setEnabled(false);
    ifcMappingButton = button("ifcMappingButton");
    horizontalLayout_2->addWidget(ifcMappingEdit);
    horizontalLayout_2->addWidget(ifcMappingButton);
    formLayout_2->addRow(ifcMappingLabel, horizontalLayout_2);
    verticalLayout->addWidget(ifcParamsGroup);

    commandParamsGroupBox = named(new QGroupBox(tr("Параметры"), this), "commandParamsGroupBox");
    formLayout = named(new QFormLayout(commandParamsGroupBox), "formLayout");
    executableLabel = named(new QLabel(tr("Приложение"), this), "executableLabel");
    horizontalLayout = named(new QHBoxLayout, "horizontalLayout");
    executableEdit = named(new QLineEdit(this), "executableEdit");
    executableButton = button("executableButton");
    horizontalLayout->addWidget(executableEdit);
    horizontalLayout->addWidget(executableButton);
    formLayout->addRow(executableLabel, horizontalLayout);
    argumentsLabel = named(new QLabel(tr("Аргументы"), this), "argumentsLabel");
    argumentsEdit = named(new QLineEdit(this), "argumentsEdit");
    formLayout->addRow(argumentsLabel, argumentsEdit);
    workingDirectoryLabel = named(new QLabel(tr("Запускать из"), this), "workingDirectoryLabel");
    workingDirectoryEdit = named(new QLineEdit(this), "workingDirectoryEdit");
    formLayout->addRow(workingDirectoryLabel, workingDirectoryEdit);
    verticalLayout->addWidget(commandParamsGroupBox);

    checkIFCParamsGroupBox = named(new QGroupBox(tr("Настройки проверок"), this), "checkIFCParamsGroupBox");
    formLayout_5 = named(new QFormLayout(checkIFCParamsGroupBox), "formLayout_5");
    checkFileIDS = named(new QCheckBox(tr("Выбор файла"), this), "checkFileIDS");
    checkFileIDS->setChecked(true);
    checkFileIDS->setTristate(false);
    formLayout_5->addRow(checkFileIDS);
    checkParamsLabel = named(new QLabel(tr("Файлы IDS"), this), "checkParamsLabel");
    horizontalLayout_6 = named(new QHBoxLayout, "horizontalLayout_6");
    idsEdit = named(new QLineEdit(this), "idsEdit");
    getFileIDS = button("getFileIDS");
    horizontalLayout_6->addWidget(idsEdit);
    horizontalLayout_6->addWidget(getFileIDS);
    formLayout_5->addRow(checkParamsLabel, horizontalLayout_6);
    checkFileIFC = named(new QCheckBox(tr("Выбор файла"), this), "checkFileIFC");
    checkFileIFC->setChecked(true);
    formLayout_5->addRow(checkFileIFC);
    checkParamsLabel_2 = named(new QLabel(tr("Файлы IFC"), this), "checkParamsLabel_2");
    horizontalLayout_8 = named(new QHBoxLayout, "horizontalLayout_8");
    ifcEdit = named(new QLineEdit(this), "ifcEdit");
    getFileIFC = button("getFileIFC");
    horizontalLayout_8->addWidget(ifcEdit);
    horizontalLayout_8->addWidget(getFileIFC);
    formLayout_5->addRow(checkParamsLabel_2, horizontalLayout_8);
    verticalLayout->addWidget(checkIFCParamsGroupBox);
}

vadro::Uuid TaskActionPage::SelectedConnectionId() const
{
    const std::optional<vadro_cm::Connection> selected = connectionsManager->GetSelectedConnection();
    return selected ? selected->id : boost::uuids::nil_uuid();
}

void TaskActionPage::ConnectHandlers(TaskWizard& wizard)
{
    wizard_ = &wizard;
    TaskInfo& task = wizard.GetTaskInfo();
    const auto onChange = [this](auto* sender, auto signal) {
        connect(sender, signal, this, &QWizardPage::completeChanged);
    };
    using ComboIndex = void (QComboBox::*)(int);
    const ComboIndex comboIndexChanged = &QComboBox::currentIndexChanged;

    connect(connectionsManager, &vadro_cm::ConnectionsManagerWidget::SelectionChanged, this,
            &QWizardPage::completeChanged);
    connect(connectionsManager, &vadro_cm::ConnectionsManagerWidget::SelectionChanged, this, [this, &task] {
        if (auto* backup = std::get_if<BackupAction>(&task.action))
            backup->connection_id = SelectedConnectionId();
        else if (auto* exportAction = std::get_if<ExportAction>(&task.action))
            exportAction->connection_id = SelectedConnectionId();
    });

    connect(actionComboBox, comboIndexChanged, this, [this](int index) { ChangeActionKind(index); });
    connect(actionComboBox, comboIndexChanged, this, [this](int index) { UpdateGroups(index); });
    onChange(actionComboBox, comboIndexChanged);
    connect(actionComboBox, comboIndexChanged, this, [this](int index) { setFinalPage(index == CommandIndex); });

    connect(backupToolDestinationEdit, &QLineEdit::textChanged, this, [&task](const QString& text) {
        if (auto* backup = std::get_if<BackupAction>(&task.action))
            backup->destination_path = text.toStdWString();
    });
    onChange(backupToolDestinationEdit, &QLineEdit::textChanged);
    connect(backupToolDestinationButton, &QPushButton::clicked, this,
            [this] { ChooseFolder(backupToolDestinationEdit); });

    connect(formatComboBox, comboIndexChanged, this, [this, &task](int i) {
        auto* exportAction = std::get_if<ExportAction>(&task.action);
        if (exportAction == nullptr)
            return;
        // An index without an item reads as format 0.
        const int format = formatComboBox->itemData(i).toInt();
        if (format == exportAction->format)
            return;
        exportAction->scheme_name.clear();
        exportAction->scheme_code.clear();
        exportAction->format = static_cast<ExportFormat>(format);
        schemeLineEdit->setText(
            toQString(exportAction->scheme_name.empty() ? exportAction->scheme_code : exportAction->scheme_name));
    });
    connect(formatComboBox, comboIndexChanged, this, [this](int i) {
        const int format = formatComboBox->itemData(i).toInt();
        schemeParamsGroup->setVisible(format != IFC);
        ifcParamsGroup->setVisible(format == IFC);
        TaskWizard::GrowToFit(this);
    });
    connect(ifcVersionComboBox, comboIndexChanged, this, [this, &task](int i) {
        if (auto* exportAction = std::get_if<ExportAction>(&task.action))
            exportAction->ifc_version = ifcVersionComboBox->itemText(i).toStdWString();
    });
    connect(ifcMappingButton, &QPushButton::clicked, this, [this] { SelectMapping(); });

    connect(exportDstPathEdit, &QLineEdit::textChanged, this, [&task](const QString& text) {
        if (auto* exportAction = std::get_if<ExportAction>(&task.action))
            exportAction->output_path = text.toStdWString();
    });
    onChange(exportDstPathEdit, &QLineEdit::textChanged);
    connect(exportDstPathButton, &QPushButton::clicked, this, [this] { ChooseFolder(exportDstPathEdit); });
    onChange(schemeLineEdit, &QLineEdit::textChanged);
    connect(selectSchemeButton, &QPushButton::clicked, this, [this] { SelectScheme(); });

    connect(executableEdit, &QLineEdit::textChanged, this, [&task](const QString& text) {
        if (auto* command = std::get_if<CommandAction>(&task.action))
            command->executable = toPath(text);
    });
    onChange(executableEdit, &QLineEdit::textChanged);
    connect(executableButton, &QPushButton::clicked, this, [this] {
        // The title is the folder choosers' although this one picks a file.
        keepUnlessCancelled(executableEdit,
                            QFileDialog::getOpenFileName(this, tr("Выбор папки"), executableEdit->text()));
    });
    connect(argumentsEdit, &QLineEdit::textChanged, this, [&task](const QString& text) {
        if (auto* command = std::get_if<CommandAction>(&task.action))
            command->arguments = text.toStdWString();
    });
    connect(workingDirectoryEdit, &QLineEdit::textChanged, this, [&task](const QString& text) {
        if (auto* command = std::get_if<CommandAction>(&task.action))
            command->working_directory = toPath(text);
    });

    connect(idsEdit, &QLineEdit::textChanged, this, [&task](const QString& text) {
        if (auto* check = std::get_if<CheckAction>(&task.action))
            check->ids_file = text.toStdWString();
    });
    onChange(idsEdit, &QLineEdit::textChanged);
    connect(ifcEdit, &QLineEdit::textChanged, this, [&task](const QString& text) {
        if (auto* check = std::get_if<CheckAction>(&task.action))
            check->ifc_file = text.toStdWString();
    });
    onChange(ifcEdit, &QLineEdit::textChanged);
    connect(getFileIDS, &QPushButton::clicked, this, [this, &task] {
        if (const auto* check = std::get_if<CheckAction>(&task.action))
            ChooseCheckPath(idsEdit, check->ids_file_mode, tr("IDS (*.ids)"));
    });
    connect(checkFileIDS, &QCheckBox::clicked, this, [this, &task](bool checked) {
        if (auto* check = std::get_if<CheckAction>(&task.action))
            check->ids_file_mode = checked;
        checkFileIDS->setText(checkBoxText(checked));
        idsEdit->clear();
    });
    connect(getFileIFC, &QPushButton::clicked, this, [this, &task] {
        if (const auto* check = std::get_if<CheckAction>(&task.action))
            ChooseCheckPath(ifcEdit, check->ifc_file_mode, tr("IFC (*.ifc)"));
    });
    connect(checkFileIFC, &QCheckBox::clicked, this, [this, &task](bool checked) {
        if (auto* check = std::get_if<CheckAction>(&task.action))
            check->ifc_file_mode = checked;
        checkFileIFC->setText(checkBoxText(checked));
        ifcEdit->clear();
    });
}

void TaskActionPage::ChangeActionKind(int index)
{
    TaskInfo& task = wizard_->GetTaskInfo();
    if (index == static_cast<int>(task.action.index()))
        return;
    const std::optional<vadro_cm::Connection> selected = connectionsManager->GetSelectedConnection();
    const vadro::Uuid connectionId = selected && !selected->name.empty() ? selected->id : boost::uuids::nil_uuid();
    switch (index) {
    case BackupIndex: {
        // The new action takes over what the page shows, so the page and the task agree.
        BackupAction backup;
        backup.connection_id = connectionId;
        backup.destination_path = backupToolDestinationEdit->text().toStdWString();
        task.action = backup;
        break;
    }
    case ExportIndex: {
        ExportAction exportAction;
        exportAction.connection_id = connectionId;
        exportAction.format = formatComboBox->currentIndex() >= 0
                                  ? static_cast<ExportFormat>(formatComboBox->currentData().toInt())
                                  : DXF;
        exportAction.output_path = exportDstPathEdit->text().toStdWString();
        exportAction.ifc_version = ifcVersionComboBox->currentText().toStdWString();
        task.action = exportAction;
        // A new export has no scheme and no mapping yet.
        schemeLineEdit->clear();
        ifcMappingEdit->clear();
        break;
    }
    case CommandIndex: {
        CommandAction command;
        command.executable = toPath(executableEdit->text());
        command.working_directory = toPath(workingDirectoryEdit->text());
        command.arguments = argumentsEdit->text().toStdWString();
        task.action = command;
        break;
    }
    case CheckIndex: {
        CheckAction check;
        check.ids_file = idsEdit->text().toStdWString();
        check.ifc_file = ifcEdit->text().toStdWString();
        task.action = check;
        // A new check picks files; the boxes say so.
        checkFileIDS->setChecked(true);
        checkFileIDS->setText(checkBoxText(true));
        checkFileIFC->setChecked(true);
        checkFileIFC->setText(checkBoxText(true));
        break;
    }
    default:
        break;
    }
}

void TaskActionPage::UpdateGroups(int index)
{
    const auto* exportAction = std::get_if<ExportAction>(&wizard_->GetTaskInfo().action);
    const int format = exportAction != nullptr ? exportAction->format : -1;
    connectionsGroupBox->setVisible(index == BackupIndex || index == ExportIndex);
    backupToolParamsGroup->setVisible(index == BackupIndex);
    exportParamsGroup->setVisible(index == ExportIndex);
    commandParamsGroupBox->setVisible(index == CommandIndex);
    checkIFCParamsGroupBox->setVisible(index == CheckIndex);
    schemeParamsGroup->setVisible(index == ExportIndex && format != IFC);
    ifcParamsGroup->setVisible(index == ExportIndex && format == IFC);
    TaskWizard::GrowToFit(this);
}

void TaskActionPage::ChooseFolder(QLineEdit* edit)
{
    keepUnlessCancelled(
        edit, QFileDialog::getExistingDirectory(this, tr("Выбор папки"), edit->text(), QFileDialog::ShowDirsOnly));
}

void TaskActionPage::ChooseCheckPath(QLineEdit* edit, bool fileMode, const QString& filter)
{
    if (fileMode)
        keepUnlessCancelled(edit, QFileDialog::getOpenFileName(nullptr, tr("Выбор файла"), edit->text(), filter));
    else
        keepUnlessCancelled(edit, QFileDialog::getExistingDirectory(nullptr, tr("Выбор папки"), edit->text(),
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
    const auto selected = LookUpScheme(schemeWord(formatComboBox->currentData()));
    if (!selected)
        return;
    const auto& [code, name] = *selected;
    exportAction->scheme_code = QString::fromUtf8(code.c_str()).toStdWString();
    exportAction->scheme_name = QString::fromUtf8(name.c_str()).toStdWString();
    schemeLineEdit->setText(toQString(exportAction->scheme_name));
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
    exportAction->ifc_mapping_code = QString::fromUtf8(code.c_str()).toStdWString();
    exportAction->ifc_mapping_name = QString::fromUtf8(name.c_str()).toStdWString();
    ifcMappingEdit->setText(toQString(exportAction->ifc_mapping_name));
}

void TaskActionPage::initializePage()
{
    QWizardPage::initializePage();
    if (wizard_ == nullptr)
        return;
    TaskInfo& task = wizard_->GetTaskInfo();
    actionComboBox->setCurrentIndex(static_cast<int>(task.action.index()));

    // Each setting below runs its handler, which may write into the action; the values are
    // read from a copy taken before the first of them.
    const Action action = task.action;
    if (const auto* backup = std::get_if<BackupAction>(&action)) {
        backupToolDestinationEdit->setText(toQString(backup->destination_path));
        connectionsManager->SelectConnection(backup->connection_id);
    } else if (const auto* exportAction = std::get_if<ExportAction>(&action)) {
        connectionsManager->SelectConnection(exportAction->connection_id);
        formatComboBox->setCurrentIndex(formatComboBox->findData(static_cast<int>(exportAction->format)));
        // The format handler empties the scheme of a format the list does not know.
        const auto& current = std::get<ExportAction>(task.action);
        exportDstPathEdit->setText(toQString(exportAction->output_path));
        schemeLineEdit->setText(toQString(current.scheme_name.empty() ? current.scheme_code : current.scheme_name));
        ifcVersionComboBox->setCurrentText(toQString(exportAction->ifc_version));
        ifcMappingEdit->setText(toQString(exportAction->ifc_mapping_name));
    } else if (const auto* command = std::get_if<CommandAction>(&action)) {
        executableEdit->setText(toQString(command->executable));
        argumentsEdit->setText(toQString(command->arguments));
        workingDirectoryEdit->setText(toQString(command->working_directory));
    } else if (const auto* check = std::get_if<CheckAction>(&action)) {
        idsEdit->setText(toQString(check->ids_file));
        ifcEdit->setText(toQString(check->ifc_file));
        checkFileIDS->setChecked(check->ids_file_mode);
        checkFileIFC->setChecked(check->ifc_file_mode);
        checkFileIDS->setText(checkBoxText(check->ids_file_mode));
        checkFileIFC->setText(checkBoxText(check->ifc_file_mode));
    }
}

bool TaskActionPage::isComplete() const
{
    const bool connectionSelected = connectionsManager->GetSelectedConnection().has_value();
    switch (actionComboBox->currentIndex()) {
    case BackupIndex:
        return !backupToolDestinationEdit->text().isEmpty() && connectionSelected;
    case ExportIndex:
        return !exportDstPathEdit->text().isEmpty() && connectionSelected;
    case CommandIndex:
        return !executableEdit->text().isEmpty();
    case CheckIndex:
        return !ifcEdit->text().isEmpty() && !idsEdit->text().isEmpty();
    default:
        return true;
    }
}

bool TaskActionPage::validatePage()
{
    if (actionComboBox->currentIndex() > ExportIndex)
        return true;
    const std::optional<vadro_cm::Connection> selected = connectionsManager->GetSelectedConnection();
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

void TaskActionPage::SaveConnections()
{
    if (connectionsManager->GetEditedConnections() == connectionsModel_.GetConnections())
        return;
    try {
        connectionsModel_.UpdateConnections(connectionsManager->GetEditedConnections());
    } catch (const exceptions::Error& e) {
        // The task is still saved; only the saved list stays behind.
        qCWarning(lcWizard, "Saved connections: %s", e.what());
    }
}

int TaskActionPage::nextId() const
{
    return actionComboBox->currentIndex() == CommandIndex ? -1 : QWizardPage::nextId();
}
