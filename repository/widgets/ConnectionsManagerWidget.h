#pragma once

// Shows the saved repository connections and lets the user add, edit, remove and pick
// one. The widget edits its own copy of the list; the caller reads the edited list back
// with GetEditedConnections and decides whether to save it.

#include "repository/Vadro.h"
#include "repository/widgets/ConnectionEditDialog.h"

#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QListWidget;
class QPushButton;

namespace vadro_cm {

class ConnectionsManagerWidget : public QWidget
{
    Q_OBJECT

public:
    // Names of the stored tasks that use the connection with this identifier.
    using UsersLookup = std::function<QStringList(const vadro::Uuid& id)>;

    // `core` may be null; `readOnly` hides the buttons that add, edit and remove.
    ConnectionsManagerWidget(QWidget* parent, std::vector<Connection> connections, std::shared_ptr<vadro::ICore> core,
                             bool readOnly);

    // Connections whose address is a folder of this machine are checked for that folder,
    // and the ones whose folder is missing are marked in the list.
    void EnableLocalConnectionOptimizations();

    // Selects the connection with this identifier, or clears the selection when the list
    // has none. SelectionChanged follows only when the selection actually changes.
    void SelectConnection(const vadro::Uuid& id);
    std::optional<Connection> GetSelectedConnection() const;
    // The list as the user left it, in display order.
    const std::vector<Connection>& GetEditedConnections() const { return connections_; }

    // Opens the edit dialog on a new connection and appends it when accepted.
    void AddConnection();
    // Opens the edit dialog on the selected connection; a connection that stored tasks use
    // keeps its name.
    void EditSelectedConnection();
    // Asks the user (No by default, naming the tasks that use the connection) and removes
    // the selected connection from the edited list when the answer is Yes; nothing is
    // selected afterwards.
    void RemoveSelectedConnection();
    // Where the removal question learns which tasks use a connection; none are named without it.
    void SetUsersLookup(UsersLookup lookup) { usersLookup_ = std::move(lookup); }

signals:
    // The selection moved, or the selected connection was edited.
    void SelectionChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    int SelectedRow() const;
    // The names of all connections but the one in `row`.
    std::vector<std::wstring> NamesExcept(int row) const;
    void RefreshRow(int row);
    void UpdateButtons();

    std::vector<Connection> connections_;
    std::shared_ptr<vadro::ICore> core_;
    UsersLookup usersLookup_;
    bool localOptimizations_ = false;
    QListWidget* list_;
    QPushButton* addButton_;
    QPushButton* editButton_;
    QPushButton* removeButton_;
};

} // namespace vadro_cm
