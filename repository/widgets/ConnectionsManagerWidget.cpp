#include "repository/widgets/ConnectionsManagerWidget.h"

#include "common/Text.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QVBoxLayout>

namespace vadro_cm {

namespace {

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
    , connection_(connection)
{
    setObjectName(QStringLiteral("ConnectionEditDialog"));
    setWindowTitle(tr("Соединение"));

    auto* form = new QFormLayout;
    form->setObjectName(QStringLiteral("connectionFormLayout"));

    nameEdit_ = new QLineEdit(toQString(connection.name), this);
    nameEdit_->setObjectName(QStringLiteral("nameEdit"));
    form->addRow(tr("Имя:"), nameEdit_);

    folderEdit_ = new QLineEdit(connection.address ? toQString(connection.address->host) : QString(), this);
    folderEdit_->setObjectName(QStringLiteral("folderEdit"));
    folderButton_ = new QPushButton(QStringLiteral("..."), this);
    folderButton_->setObjectName(QStringLiteral("folderButton"));
    auto* folderRow = new QHBoxLayout;
    folderRow->addWidget(folderEdit_);
    folderRow->addWidget(folderButton_);
    form->addRow(tr("Папка хранилища:"), folderRow);

    portSpinBox_ = new QSpinBox(this);
    portSpinBox_->setObjectName(QStringLiteral("portSpinBox"));
    portSpinBox_->setRange(0, 65535);
    portSpinBox_->setValue(connection.address ? connection.address->port : 0);
    form->addRow(tr("Номер:"), portSpinBox_);

    credentialsComboBox_ = new QComboBox(this);
    credentialsComboBox_->setObjectName(QStringLiteral("credentialsComboBox"));
    credentialsComboBox_->addItem(tr("Без учётных данных"));
    credentialsComboBox_->addItem(tr("Имя пользователя и пароль"));
    credentialsComboBox_->addItem(tr("Ключ доступа"));
    form->addRow(tr("Учётные данные:"), credentialsComboBox_);

    loginEdit_ = new QLineEdit(this);
    loginEdit_->setObjectName(QStringLiteral("loginEdit"));
    loginLabel_ = new QLabel(tr("Пользователь:"), this);
    form->addRow(loginLabel_, loginEdit_);
    passwordEdit_ = new QLineEdit(this);
    passwordEdit_->setObjectName(QStringLiteral("passwordEdit"));
    passwordEdit_->setEchoMode(QLineEdit::Password);
    passwordLabel_ = new QLabel(tr("Пароль:"), this);
    form->addRow(passwordLabel_, passwordEdit_);
    tokenEdit_ = new QLineEdit(this);
    tokenEdit_->setObjectName(QStringLiteral("tokenEdit"));
    tokenEdit_->setEchoMode(QLineEdit::Password);
    tokenLabel_ = new QLabel(tr("Ключ:"), this);
    form->addRow(tokenLabel_, tokenEdit_);

    if (const auto* login = std::get_if<LoginPassword>(&connection.credentials)) {
        credentialsComboBox_->setCurrentIndex(LoginCredentials);
        loginEdit_->setText(toQString(login->login));
        passwordEdit_->setText(toQString(login->password));
    } else if (const auto* token = std::get_if<std::string>(&connection.credentials)) {
        credentialsComboBox_->setCurrentIndex(TokenCredentials);
        tokenEdit_->setText(QString::fromStdString(*token));
    }

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName(QStringLiteral("buttonBox"));
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);

    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        const QString problem = Problem();
        if (problem.isEmpty())
            accept();
        else
            QMessageBox::warning(this, windowTitle(), problem);
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(credentialsComboBox_, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this] { UpdateCredentialsRows(); });
    connect(folderButton_, &QPushButton::clicked, this, [this] {
        const QString folder = QFileDialog::getExistingDirectory(this, tr("Папка хранилища"), folderEdit_->text(),
                                                                 QFileDialog::ShowDirsOnly);
        // A cancelled chooser keeps what the field held.
        if (!folder.isEmpty())
            folderEdit_->setText(folder);
    });
    UpdateCredentialsRows();
}

void ConnectionEditDialog::UpdateCredentialsRows()
{
    const int kind = credentialsComboBox_->currentIndex();
    for (QWidget* widget : {static_cast<QWidget*>(loginLabel_), static_cast<QWidget*>(loginEdit_),
                            static_cast<QWidget*>(passwordLabel_), static_cast<QWidget*>(passwordEdit_)})
        widget->setVisible(kind == LoginCredentials);
    tokenLabel_->setVisible(kind == TokenCredentials);
    tokenEdit_->setVisible(kind == TokenCredentials);
}

QString ConnectionEditDialog::Problem() const
{
    const QString name = nameEdit_->text();
    if (name.trimmed().isEmpty())
        return tr("Укажите имя соединения.");
    // A repository path names its connection before the first "/", with no way to escape it.
    if (name.contains(QLatin1Char('/')))
        return tr("Имя соединения не может содержать знак «/»: он отделяет имя соединения от папок в пути.");
    if (folderEdit_->text().trimmed().isEmpty())
        return tr("Укажите папку хранилища.");
    return {};
}

Connection ConnectionEditDialog::GetConnection() const
{
    Connection result = connection_;
    result.name = nameEdit_->text().toStdWString();
    const QString folder = folderEdit_->text().trimmed();
    if (folder.isEmpty() && portSpinBox_->value() == 0)
        result.address.reset();
    else
        result.address = ServerAddress{folder.toStdWString(), static_cast<std::uint16_t>(portSpinBox_->value())};
    switch (credentialsComboBox_->currentIndex()) {
    case LoginCredentials:
        result.credentials = LoginPassword{loginEdit_->text().toStdWString(), passwordEdit_->text().toStdWString()};
        break;
    case TokenCredentials:
        result.credentials = tokenEdit_->text().toStdString();
        break;
    default:
        result.credentials = std::monostate{};
        break;
    }
    return result;
}

ConnectionsManagerWidget::ConnectionsManagerWidget(QWidget* parent, std::vector<Connection> connections,
                                                   std::shared_ptr<vadro::ICore> core, bool readOnly)
    : QWidget(parent)
    , connections_(std::move(connections))
    , core_(std::move(core))
{
    setObjectName(QStringLiteral("connectionsManagerWidget"));

    list_ = new QListWidget(this);
    list_->setObjectName(QStringLiteral("connectionsListWidget"));
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setUniformItemSizes(true);

    addButton_ = new QPushButton(tr("Добавить..."), this);
    addButton_->setObjectName(QStringLiteral("addConnectionButton"));
    editButton_ = new QPushButton(tr("Изменить..."), this);
    editButton_->setObjectName(QStringLiteral("editConnectionButton"));
    removeButton_ = new QPushButton(tr("Удалить"), this);
    removeButton_->setObjectName(QStringLiteral("removeConnectionButton"));
    auto* testButton = new QPushButton(tr("Проверить"), this);
    testButton->setObjectName(QStringLiteral("testConnectionButton"));

    auto* buttons = new QVBoxLayout;
    buttons->addWidget(addButton_);
    buttons->addWidget(editButton_);
    buttons->addWidget(removeButton_);
    buttons->addWidget(testButton);
    buttons->addStretch(1);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(list_, 1);
    layout->addLayout(buttons);

    addButton_->setVisible(!readOnly);
    editButton_->setVisible(!readOnly);
    removeButton_->setVisible(!readOnly);

    list_->setUpdatesEnabled(false);
    for (std::size_t row = 0; row < connections_.size(); ++row) {
        list_->addItem(new QListWidgetItem);
        RefreshRow(static_cast<int>(row));
    }
    list_->setUpdatesEnabled(true);

    connect(list_, &QListWidget::itemSelectionChanged, this, [this] {
        UpdateButtons();
        emit SelectionChanged();
    });
    connect(list_, &QListWidget::itemDoubleClicked, this, [this, readOnly] {
        if (!readOnly)
            EditSelectedConnection();
    });
    connect(addButton_, &QPushButton::clicked, this, &ConnectionsManagerWidget::AddConnection);
    connect(editButton_, &QPushButton::clicked, this, &ConnectionsManagerWidget::EditSelectedConnection);
    connect(removeButton_, &QPushButton::clicked, this, &ConnectionsManagerWidget::RemoveSelectedConnection);
    connect(testButton, &QPushButton::clicked, this, [this] {
        const std::optional<Connection> selected = GetSelectedConnection();
        if (!selected || !core_)
            return;
        try {
            core_->OpenSession(selected->address, selected->credentials);
            QMessageBox::information(this, tr("Проверка соединения"), tr("Соединение установлено."));
        } catch (const vadro::VadroError& e) {
            QMessageBox::warning(this, tr("Проверка соединения"),
                                 tr("Не удалось установить соединение.\n%1").arg(toQString(e.GetDescription())));
        }
    });
    UpdateButtons();
}

void ConnectionsManagerWidget::EnableLocalConnectionOptimizations()
{
    localOptimizations_ = true;
    for (int row = 0; row < list_->count(); ++row)
        RefreshRow(row);
}

void ConnectionsManagerWidget::RefreshRow(int row)
{
    const Connection& connection = connections_[static_cast<std::size_t>(row)];
    QListWidgetItem* item = list_->item(row);
    QFont font = list_->font();
    if (connection.name.empty()) {
        item->setText(tr("<без имени>"));
        font.setItalic(true);
    } else {
        item->setText(toQString(connection.name));
    }
    QString tip = connection.address ? toQString(connection.address->host) : tr("Адрес не задан");
    if (localOptimizations_ && connection.address && !QFileInfo(toQString(connection.address->host)).isDir()) {
        tip = tr("Папка хранилища не найдена: %1").arg(tip);
        font.setStrikeOut(true);
    }
    item->setFont(font);
    item->setToolTip(tip);
}

void ConnectionsManagerWidget::UpdateButtons()
{
    const bool selected = SelectedRow() >= 0;
    editButton_->setEnabled(selected);
    removeButton_->setEnabled(selected);
}

int ConnectionsManagerWidget::SelectedRow() const
{
    const QList<QListWidgetItem*> selected = list_->selectedItems();
    return selected.isEmpty() ? -1 : list_->row(selected.first());
}

void ConnectionsManagerWidget::SelectConnection(const vadro::Uuid& id)
{
    int found = -1;
    for (std::size_t row = 0; row < connections_.size(); ++row) {
        if (connections_[row].id == id) {
            found = static_cast<int>(row);
            break;
        }
    }
    if (found == SelectedRow())
        return;
    if (found < 0) {
        list_->clearSelection();
        list_->setCurrentItem(nullptr);
    } else {
        list_->setCurrentRow(found, QItemSelectionModel::ClearAndSelect);
        list_->scrollToItem(list_->item(found));
    }
}

std::optional<Connection> ConnectionsManagerWidget::GetSelectedConnection() const
{
    const int row = SelectedRow();
    if (row < 0)
        return std::nullopt;
    return connections_[static_cast<std::size_t>(row)];
}

void ConnectionsManagerWidget::AddConnection()
{
    ConnectionEditDialog dialog(Connection{}, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    connections_.push_back(dialog.GetConnection());
    list_->addItem(new QListWidgetItem);
    const int row = list_->count() - 1;
    RefreshRow(row);
    list_->setCurrentRow(row, QItemSelectionModel::ClearAndSelect);
}

void ConnectionsManagerWidget::EditSelectedConnection()
{
    const int row = SelectedRow();
    if (row < 0)
        return;
    ConnectionEditDialog dialog(connections_[static_cast<std::size_t>(row)], this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    connections_[static_cast<std::size_t>(row)] = dialog.GetConnection();
    RefreshRow(row);
    // The selection stays, but what it holds changed.
    emit SelectionChanged();
}

void ConnectionsManagerWidget::RemoveSelectedConnection()
{
    const int row = SelectedRow();
    if (row < 0)
        return;
    const Connection& connection = connections_[static_cast<std::size_t>(row)];
    QString question =
        tr("Удалить соединение «%1»?").arg(connection.name.empty() ? tr("<без имени>") : toQString(connection.name));
    const QStringList users = usersLookup_ ? usersLookup_(connection.id) : QStringList();
    if (!users.isEmpty()) {
        // A long list of names would stretch the box past the screen.
        constexpr int kShownNames = 5;
        QStringList shown;
        for (int i = 0; i < users.size() && i < kShownNames; ++i)
            shown << QStringLiteral("«%1»").arg(users[i]);
        if (users.size() > kShownNames)
            shown << tr("и ещё %1").arg(users.size() - kShownNames);
        question += QLatin1Char('\n') +
                    tr("Его используют задачи (%1): %2.").arg(users.size()).arg(shown.join(QStringLiteral(", ")));
    }
    if (QMessageBox::question(this, tr("Удаление соединения"), question, QMessageBox::Yes | QMessageBox::No,
                              QMessageBox::No) != QMessageBox::Yes)
        return;
    {
        // The list and the entries go together: a selection reported between the two
        // would name a row the entries no longer hold.
        const QSignalBlocker blocker(list_);
        delete list_->takeItem(row);
        connections_.erase(connections_.begin() + row);
    }
    UpdateButtons();
    emit SelectionChanged();
}

} // namespace vadro_cm
