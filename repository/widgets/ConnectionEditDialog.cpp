#include "repository/widgets/ConnectionEditDialog.h"

#include "common/Text.h"

#include "ui_ConnectionEditDialog.h"

#include <QFileDialog>
#include <QMessageBox>

#include <algorithm>

namespace vadro_cm {

namespace {

// Rows of the credentials list.
enum CredentialsKind
{
    NoCredentials = 0,
    LoginCredentials = 1,
    TokenCredentials = 2,
};

using common::toQString;

} // namespace

ConnectionEditDialog::ConnectionEditDialog(const Connection& connection, QWidget* parent)
    : QDialog(parent)
    , ui_(std::make_unique<Ui::ConnectionEditDialog>())
    , connection_(connection)
{
    ui_->setupUi(this);
    ui_->nameEdit->setText(toQString(connection.name));
    if (connection.address) {
        ui_->folderEdit->setText(toQString(connection.address->host));
        ui_->portSpinBox->setValue(connection.address->port);
    }
    if (const auto* login = std::get_if<LoginPassword>(&connection.credentials)) {
        ui_->credentialsComboBox->setCurrentIndex(LoginCredentials);
        ui_->loginEdit->setText(toQString(login->login));
        ui_->passwordEdit->setText(toQString(login->password));
    } else if (const auto* token = std::get_if<std::string>(&connection.credentials)) {
        ui_->credentialsComboBox->setCurrentIndex(TokenCredentials);
        ui_->tokenEdit->setText(QString::fromStdString(*token));
    }

    connect(ui_->buttonBox, &QDialogButtonBox::accepted, this, &ConnectionEditDialog::AcceptIfValid);
    connect(ui_->buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(ui_->credentialsComboBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &ConnectionEditDialog::UpdateCredentialsRows);
    connect(ui_->folderButton, &QPushButton::clicked, this, &ConnectionEditDialog::ChooseFolder);
    UpdateCredentialsRows();
}

ConnectionEditDialog::~ConnectionEditDialog() = default;

void ConnectionEditDialog::AcceptIfValid()
{
    const QString problem = Problem();
    if (problem.isEmpty())
        accept();
    else
        QMessageBox::warning(this, windowTitle(), problem);
}

void ConnectionEditDialog::ChooseFolder()
{
    const QString folder = QFileDialog::getExistingDirectory(this, tr("Папка хранилища"), ui_->folderEdit->text(),
                                                             QFileDialog::ShowDirsOnly);
    // A cancelled chooser keeps what the field held.
    if (!folder.isEmpty())
        ui_->folderEdit->setText(folder);
}

void ConnectionEditDialog::UpdateCredentialsRows()
{
    const int kind = ui_->credentialsComboBox->currentIndex();
    for (QWidget* widget : {static_cast<QWidget*>(ui_->loginLabel), static_cast<QWidget*>(ui_->loginEdit),
                            static_cast<QWidget*>(ui_->passwordLabel), static_cast<QWidget*>(ui_->passwordEdit)})
        widget->setVisible(kind == LoginCredentials);
    ui_->tokenLabel->setVisible(kind == TokenCredentials);
    ui_->tokenEdit->setVisible(kind == TokenCredentials);
}

QString ConnectionEditDialog::Problem() const
{
    const QString name = ui_->nameEdit->text();
    if (name.trimmed().isEmpty())
        return tr("Укажите имя соединения.");
    // A repository path names its connection before the first "/", with no way to escape it.
    if (name.contains(QLatin1Char('/')))
        return tr("Имя соединения не может содержать знак «/»: он отделяет имя соединения от папок в пути.");
    if (std::find(takenNames_.begin(), takenNames_.end(), name.toStdWString()) != takenNames_.end())
        return tr("Соединение с именем «%1» уже есть. Выберите другое имя.").arg(name);
    // Renaming would leave the tasks' paths naming a connection that no longer exists, or
    // another one that takes the old name.
    if (!users_.isEmpty() && name.toStdWString() != connection_.name)
        return tr("Соединение «%1» нельзя переименовать: его используют задачи (%2): %3.")
            .arg(toQString(connection_.name))
            .arg(users_.size())
            .arg(TaskNamesText(users_));
    if (ui_->folderEdit->text().trimmed().isEmpty())
        return tr("Укажите папку хранилища.");
    return {};
}

QString TaskNamesText(const QStringList& names)
{
    // A long list of names would stretch a message box past the screen.
    constexpr int kShownNames = 5;
    QStringList shown;
    for (int i = 0; i < names.size() && i < kShownNames; ++i)
        shown << QStringLiteral("«%1»").arg(names[i]);
    if (names.size() > kShownNames)
        shown << ConnectionEditDialog::tr("и ещё %1").arg(names.size() - kShownNames);
    return shown.join(QStringLiteral(", "));
}

Connection ConnectionEditDialog::GetConnection() const
{
    Connection result = connection_;
    result.name = ui_->nameEdit->text().toStdWString();
    const QString folder = ui_->folderEdit->text().trimmed();
    const int port = ui_->portSpinBox->value();
    if (folder.isEmpty() && port == 0)
        result.address.reset();
    else
        result.address = ServerAddress{folder.toStdWString(), static_cast<std::uint16_t>(port)};
    switch (ui_->credentialsComboBox->currentIndex()) {
    case LoginCredentials:
        result.credentials =
            LoginPassword{ui_->loginEdit->text().toStdWString(), ui_->passwordEdit->text().toStdWString()};
        break;
    case TokenCredentials:
        result.credentials = ui_->tokenEdit->text().toStdString();
        break;
    default:
        result.credentials = std::monostate{};
        break;
    }
    return result;
}

} // namespace vadro_cm
