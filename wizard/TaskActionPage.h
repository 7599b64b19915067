#pragma once

// Page 2 of the task wizard: the kind of action and its parameters, and for backups and
// exports the repository connection, which is tested before the user may go on.

#include "model/TaskInfo.h"
#include "repository/Connections.h"
#include "repository/Vadro.h"
#include "wizard/SchemeLookup.h"
#include "wizard/WizardContext.h"

#include <QWizardPage>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

class QCheckBox;
class QComboBox;
class QFormLayout;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QVBoxLayout;
class TaskWizard;

namespace vadro_cm {
class ConnectionsManagerWidget;
}

class TaskActionPage : public QWizardPage
{
    Q_OBJECT

public:
    // The tool's selection for a format word; see SelectScheme.
    using SchemeLookup = std::function<SchemeSelection(const std::string& formatWord)>;

    // Reads the saved connections and builds the connection manager on `core`; a connection
    // is in use by the backups and exports among `storedTasks`.
    TaskActionPage(std::shared_ptr<vadro::ICore> core, std::function<std::vector<const TaskInfo*>()> storedTasks,
                   QWidget* parent = nullptr);
    ~TaskActionPage() override;

    // Connects the widgets to the wizard's working copy and chosen connection.
    void ConnectHandlers(TaskWizard& wizard);
    // Where the scheme and mapping buttons ask; SelectScheme with the product's tool by default.
    void SetSchemeLookup(SchemeLookup lookup) { schemeLookup_ = std::move(lookup); }

    // Writes the edited connection list to the saved-connections file when it differs from
    // what was read; the wizard calls it once accepted, so a cancelled wizard changes nothing.
    void SaveConnections();

    void initializePage() override;
    bool isComplete() const override;
    bool validatePage() override;
    int nextId() const override;

    vadro_cm::ConnectionsManagerWidget* connectionsManager;

    QVBoxLayout* verticalLayout;
    QGroupBox* actionGroupBox;
    QVBoxLayout* actionGroupLayout;
    QComboBox* actionComboBox;
    QGroupBox* connectionsGroupBox;
    QVBoxLayout* connectionsGroupLayout;
    QGroupBox* backupToolParamsGroup;
    QFormLayout* formLayout_3;
    QLabel* backupDestinationLabel;
    QHBoxLayout* horizontalLayout_3;
    QLineEdit* backupToolDestinationEdit;
    QPushButton* backupToolDestinationButton;
    QGroupBox* exportParamsGroup;
    QFormLayout* exportParamsForm;
    QLabel* formatLabel;
    QComboBox* formatComboBox;
    QLabel* exportDstLabel;
    QHBoxLayout* horizontalLayout_4;
    QLineEdit* exportDstPathEdit;
    QPushButton* exportDstPathButton;
    QGroupBox* schemeParamsGroup;
    QFormLayout* formLayout_4;
    QLabel* schemeCodeLabel;
    QHBoxLayout* schemeParamsLayout;
    QLineEdit* schemeLineEdit;
    QPushButton* selectSchemeButton;
    QGroupBox* ifcParamsGroup;
    QFormLayout* formLayout_2;
    QLabel* ifcVersionLabel;
    QHBoxLayout* horizontalLayout_5;
    QComboBox* ifcVersionComboBox;
    QLabel* ifcMappingLabel;
    QHBoxLayout* horizontalLayout_2;
    QLineEdit* ifcMappingEdit;
    QPushButton* ifcMappingButton;
    QGroupBox* commandParamsGroupBox;
    QFormLayout* formLayout;
    QLabel* executableLabel;
    QHBoxLayout* horizontalLayout;
    QLineEdit* executableEdit;
    QPushButton* executableButton;
    QLabel* argumentsLabel;
    QLineEdit* argumentsEdit;
    QLabel* workingDirectoryLabel;
    QLineEdit* workingDirectoryEdit;
    QGroupBox* checkIFCParamsGroupBox;
    QFormLayout* formLayout_5;
    QCheckBox* checkFileIDS;
    QLabel* checkParamsLabel;
    QHBoxLayout* horizontalLayout_6;
    QLineEdit* idsEdit;
    QPushButton* getFileIDS;
    QCheckBox* checkFileIFC;
    QLabel* checkParamsLabel_2;
    QHBoxLayout* horizontalLayout_8;
    QLineEdit* ifcEdit;
    QPushButton* getFileIFC;

private:
    void BuildWidgets();
    void ChangeActionKind(int index);
    void UpdateGroups(int index);
    void ChooseFolder(QLineEdit* edit);
    void ChooseCheckPath(QLineEdit* edit, bool fileMode, const QString& filter);
    void SelectScheme();
    void SelectMapping();
    // Runs the lookup and reports its failure; (code, name) when the tool selected something.
    std::optional<std::pair<std::string, std::string>> LookUpScheme(const std::string& word);
    vadro::Uuid SelectedConnectionId() const;

    std::shared_ptr<vadro::ICore> core_;
    Config config_;
    ConnectionsModel connectionsModel_;
    SchemeLookup schemeLookup_;
    TaskWizard* wizard_ = nullptr;
};
