#include "repository/widgets/ConnectionsManagerWidget.h"

#include "common/Text.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include <algorithm>

namespace vadro_cm {

namespace {

using common::toQString;

} // namespace

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
    list_->installEventFilter(this);

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

bool ConnectionsManagerWidget::eventFilter(QObject* watched, QEvent* event)
{
    // Focus makes the first row current without selecting it, and the arrows would move on
    // from there: with nothing selected, Up and Down select the current row, or the first.
    if (watched == list_ && event->type() == QEvent::KeyPress && SelectedRow() < 0 && list_->count() > 0) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Down || key->key() == Qt::Key_Up) &&
            (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            list_->setCurrentRow(std::max(list_->currentRow(), 0), QItemSelectionModel::ClearAndSelect);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
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

std::vector<std::wstring> ConnectionsManagerWidget::NamesExcept(int row) const
{
    std::vector<std::wstring> names;
    for (std::size_t i = 0; i < connections_.size(); ++i)
        if (static_cast<int>(i) != row)
            names.push_back(connections_[i].name);
    return names;
}

void ConnectionsManagerWidget::AddConnection()
{
    ConnectionEditDialog dialog(Connection{}, this);
    dialog.SetTakenNames(NamesExcept(-1));
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
    const Connection& connection = connections_[static_cast<std::size_t>(row)];
    ConnectionEditDialog dialog(connection, this);
    dialog.SetTakenNames(NamesExcept(row));
    if (usersLookup_)
        dialog.SetUsers(usersLookup_(connection.id));
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
    if (!users.isEmpty())
        question +=
            QLatin1Char('\n') + tr("Его используют задачи (%1): %2.").arg(users.size()).arg(TaskNamesText(users));
    if (QMessageBox::question(this, tr("Удаление соединения"), question, QMessageBox::Yes | QMessageBox::No,
                              QMessageBox::No) != QMessageBox::Yes)
        return;
    {
        // The list and the entries go together: a selection reported between the two
        // would name a row the entries no longer hold.
        const QSignalBlocker blocker(list_);
        delete list_->takeItem(row);
        connections_.erase(connections_.begin() + row);
        // The view moves its current row to a neighbour; that connection is not the user's pick.
        list_->setCurrentItem(nullptr);
        list_->clearSelection();
    }
    UpdateButtons();
    emit SelectionChanged();
}

} // namespace vadro_cm
