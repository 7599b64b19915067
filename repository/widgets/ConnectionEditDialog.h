#pragma once

// The dialog that edits one saved connection: name, repository folder (the address text),
// number and credentials.

#include "repository/Vadro.h"

#include <QDialog>

#include <memory>

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

private:
    void AcceptIfValid();
    void ChooseFolder();
    void UpdateCredentialsRows();

    std::unique_ptr<Ui::ConnectionEditDialog> ui_;
    Connection connection_;
};

} // namespace vadro_cm
