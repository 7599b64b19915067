#pragma once

// The dialog that edits one saved connection: name, repository folder (the address text),
// number and credentials.

#include "repository/Vadro.h"

#include <QDialog>
#include <QStringList>

#include <memory>
#include <string>
#include <vector>

namespace vadro_cm {

namespace Ui {
class ConnectionEditDialog;
}

class ConnectionEditDialog : public QDialog
{
    Q_OBJECT

public:
    ConnectionEditDialog(const Connection& connection, QWidget* parent = nullptr);
    ~ConnectionEditDialog() override;

    // The edited connection; its identifier is the one the dialog was opened with.
    Connection GetConnection() const;
    // Why the fields cannot be saved as they stand; empty when they can. OK shows it and
    // keeps the dialog open.
    QString Problem() const;
    // Names of the other connections: a repository path finds its connection by name, so
    // a name may be given once only (compared exactly, as the product's tool looks it up).
    void SetTakenNames(std::vector<std::wstring> names) { takenNames_ = std::move(names); }
    // The stored tasks that use this connection: their paths hold its name, so it keeps it.
    void SetUsers(QStringList users) { users_ = std::move(users); }

private:
    void AcceptIfValid();
    void ChooseFolder();
    void UpdateCredentialsRows();

    std::unique_ptr<Ui::ConnectionEditDialog> ui_;
    Connection connection_;
    std::vector<std::wstring> takenNames_;
    QStringList users_;
};

// Task names for a message, at most five of them, then how many more there are.
QString TaskNamesText(const QStringList& names);

} // namespace vadro_cm
