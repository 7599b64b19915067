#pragma once

// Page 2 of the task wizard: the kind of action and its parameters, and for backups and
// exports the repository connection, which is tested before the user may go on.

#include "model/TaskInfo.h"
#include "repository/Connections.h"
#include "repository/Vadro.h"
#include "wizard/SchemeLookup.h"

#include <QWizardPage>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class QLineEdit;
class TaskWizard;

namespace Ui {
class TaskActionPage;
}

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
    // The connection manager inside the connections group; owned by the page.
    vadro_cm::ConnectionsManagerWidget* ConnectionsManager() const { return connectionsManager_; }

    // Writes the edited connection list to the saved-connections file when it differs from
    // what was read or the file was damaged; the wizard calls it at Finish, so a cancelled
    // wizard changes nothing. False, after telling the user why, when the file was not written.
    bool SaveConnections();

    // Drops the export's scheme (or, with `mapping`, its IFC mapping) from the task and the page.
    void ClearScheme(bool mapping);

    void initializePage() override;
    bool isComplete() const override;
    bool validatePage() override;
    int nextId() const override;

private:
    void ConnectBackupHandlers();
    void ConnectExportHandlers();
    void ConnectCommandHandlers();
    void ConnectCheckHandlers();

    void ChangeActionKind(int index);
    void UpdateGroups(int index);
    void StoreSelectedConnection();
    void ChangeFormat(int index);
    void ShowFormatGroups(int index);
    void SetCheckMode(bool ids, bool fileMode);
    void ChooseFolder(QLineEdit* edit);
    void ChooseCheckPath(QLineEdit* edit, bool fileMode, const QString& filter);
    void SelectScheme();
    void SelectMapping();
    // Runs the lookup and reports its failure; (code, name) when the tool selected something.
    std::optional<std::pair<std::string, std::string>> LookUpScheme(const std::string& word);
    vadro::Uuid SelectedConnectionId() const;
    // The task's action when it is of kind A, else null.
    template <class A>
    A* ActionAs() const;

    std::unique_ptr<Ui::TaskActionPage> ui_;
    vadro_cm::ConnectionsManagerWidget* connectionsManager_ = nullptr;
    std::shared_ptr<vadro::ICore> core_;
    Config config_;
    ConnectionsModel connectionsModel_;
    SchemeLookup schemeLookup_;
    TaskWizard* wizard_ = nullptr;
    // What was wrong with the saved-connections file; shown when the page is first shown.
    QString damageMessage_;
    // The action each kind held when the user switched to another one.
    std::array<std::optional<Action>, std::variant_size_v<Action>> left_;
};
