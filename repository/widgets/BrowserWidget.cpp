#include "repository/widgets/BrowserWidget.h"

#include "common/DateTime.h"

#include <QApplication>
#include <QDateTime>
#include <QHeaderView>
#include <QLocale>
#include <QStyle>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>

namespace vadro_browser {

struct RepositoryModel::Node
{
    Node* parent = nullptr;
    int row = 0;
    vadro::ItemInfo info;
    // Documents and folders that cannot be read count as listed, with no children.
    bool listed = false;
    std::vector<std::unique_ptr<Node>> children;
};

RepositoryModel::RepositoryModel(std::shared_ptr<IFileInfoProvider> provider, bool showDetails, QObject* parent)
    : QAbstractItemModel(parent)
    , provider_(std::move(provider))
    , showDetails_(showDetails)
    , root_(std::make_unique<Node>())
{
    root_->listed = true;
    folderIcon_ = QApplication::style()->standardIcon(QStyle::SP_DirIcon);
    documentIcon_ = QApplication::style()->standardIcon(QStyle::SP_FileIcon);
}

RepositoryModel::~RepositoryModel() = default;

void RepositoryModel::Reset(std::shared_ptr<vadro::ISession> session)
{
    session_ = std::move(session);
    Reload();
}

void RepositoryModel::SetItemFilter(std::vector<vadro::Uuid> hidden)
{
    hidden_ = std::unordered_set<vadro::Uuid>(hidden.begin(), hidden.end());
    Reload();
}

void RepositoryModel::SetDocumentFilter(std::vector<vadro::Uuid> shown, bool all)
{
    shownDocuments_ = std::unordered_set<vadro::Uuid>(shown.begin(), shown.end());
    allDocuments_ = all;
    Reload();
}

void RepositoryModel::Reload()
{
    beginResetModel();
    root_ = std::make_unique<Node>();
    // Without a session there is nothing to list.
    root_->listed = session_ == nullptr;
    endResetModel();
}

RepositoryModel::Node* RepositoryModel::NodeOf(const QModelIndex& index) const
{
    return index.isValid() ? static_cast<Node*>(index.internalPointer()) : root_.get();
}

vadro::BrowserItemInfo RepositoryModel::Info(const QModelIndex& index) const
{
    vadro::BrowserItemInfo info;
    const Node* node = NodeOf(index);
    info.name = node->info.name;
    info.isDocument = node->info.isDocument;
    for (; node != root_.get(); node = node->parent)
        info.path.push_back(node->info.id);
    std::reverse(info.path.begin(), info.path.end());
    return info;
}

void RepositoryModel::List(const QModelIndex& parent, Node& node)
{
    if (node.listed)
        return;
    node.listed = true;
    const vadro::IdPath path = Info(parent).path;
    std::vector<vadro::ItemInfo> items;
    try {
        items = session_->ListChildren(path);
    } catch (const vadro::VadroError&) {
        // A folder that cannot be read shows empty; the next reset tries again.
        return;
    }
    std::vector<std::unique_ptr<Node>> children;
    children.reserve(items.size());
    for (vadro::ItemInfo& item : items) {
        if (hidden_.count(item.id) != 0)
            continue;
        if (item.isDocument && !allDocuments_ && shownDocuments_.count(item.id) == 0)
            continue;
        auto child = std::make_unique<Node>();
        child->parent = &node;
        child->row = static_cast<int>(children.size());
        child->listed = item.isDocument;
        child->info = std::move(item);
        children.push_back(std::move(child));
    }
    if (children.empty())
        return;
    beginInsertRows(parent, 0, static_cast<int>(children.size()) - 1);
    node.children = std::move(children);
    endInsertRows();
}

QModelIndex RepositoryModel::FindChild(const QModelIndex& parent, const vadro::Uuid& id)
{
    Node* node = NodeOf(parent);
    List(parent, *node);
    for (const auto& child : node->children)
        if (child->info.id == id)
            return createIndex(child->row, 0, child.get());
    return {};
}

QModelIndex RepositoryModel::FindChild(const QModelIndex& parent, const std::wstring& name)
{
    Node* node = NodeOf(parent);
    List(parent, *node);
    for (const auto& child : node->children)
        if (child->info.name == name)
            return createIndex(child->row, 0, child.get());
    return {};
}

QModelIndex RepositoryModel::index(int row, int column, const QModelIndex& parent) const
{
    if (row < 0 || column < 0 || column >= columnCount(parent) || (parent.isValid() && parent.column() != 0))
        return {};
    const Node* node = NodeOf(parent);
    if (row >= static_cast<int>(node->children.size()))
        return {};
    return createIndex(row, column, node->children[static_cast<std::size_t>(row)].get());
}

QModelIndex RepositoryModel::parent(const QModelIndex& child) const
{
    if (!child.isValid())
        return {};
    const Node* parent = NodeOf(child)->parent;
    if (parent == nullptr || parent == root_.get())
        return {};
    return createIndex(parent->row, 0, const_cast<Node*>(parent));
}

int RepositoryModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid() && parent.column() != 0)
        return 0;
    return static_cast<int>(NodeOf(parent)->children.size());
}

int RepositoryModel::columnCount(const QModelIndex& /*parent*/) const
{
    return showDetails_ ? 2 : 1;
}

bool RepositoryModel::hasChildren(const QModelIndex& parent) const
{
    if (parent.isValid() && parent.column() != 0)
        return false;
    const Node* node = NodeOf(parent);
    // A folder not yet listed may have children; the view offers to open it.
    return !node->listed || !node->children.empty();
}

bool RepositoryModel::canFetchMore(const QModelIndex& parent) const
{
    if (parent.isValid() && parent.column() != 0)
        return false;
    return !NodeOf(parent)->listed;
}

void RepositoryModel::fetchMore(const QModelIndex& parent)
{
    if (canFetchMore(parent))
        List(parent, *NodeOf(parent));
}

QVariant RepositoryModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return {};
    const Node* node = NodeOf(index);
    if (index.column() == 1) {
        if (role == Qt::DisplayRole && node->info.modified)
            return QLocale().toString(common::toDateTime(*node->info.modified), QLocale::ShortFormat);
        return {};
    }
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return QString::fromStdWString(node->info.name);
    case Qt::DecorationRole:
        if (provider_)
            return provider_->Icon(node->info);
        return node->info.isDocument ? documentIcon_ : folderIcon_;
    default:
        return {};
    }
}

QVariant RepositoryModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    return section == 0 ? tr("Имя") : tr("Изменён");
}

BrowserWidget::BrowserWidget(QWidget* parent, std::shared_ptr<IFileInfoProvider> provider, bool showDetails,
                             bool multiSelection, int /*mode*/, std::vector<vadro::Uuid> itemFilter)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("browserWidget"));
    model_ = new RepositoryModel(std::move(provider), showDetails, this);
    model_->SetItemFilter(std::move(itemFilter));

    view_ = new QTreeView(this);
    view_->setObjectName(QStringLiteral("browserTreeView"));
    // All rows have the height of one line of text, which keeps long folders fast to show.
    view_->setUniformRowHeights(true);
    view_->setHeaderHidden(!showDetails);
    view_->setSelectionMode(multiSelection ? QAbstractItemView::ExtendedSelection : QAbstractItemView::SingleSelection);
    view_->setSelectionBehavior(QAbstractItemView::SelectRows);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->setModel(model_);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view_);

    connect(view_->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (!quiet_)
            emit SelectionChanged();
    });
}

void BrowserWidget::Reset(std::shared_ptr<vadro::ISession> session)
{
    expanded_ = QPersistentModelIndex();
    model_->Reset(std::move(session));
}

void BrowserWidget::SetFolderContentsFilter(const std::vector<vadro::Uuid>& documents)
{
    expanded_ = QPersistentModelIndex();
    model_->SetDocumentFilter(documents, false);
}

void BrowserWidget::ResetFolderContentsFilter()
{
    expanded_ = QPersistentModelIndex();
    model_->SetDocumentFilter({}, true);
}

void BrowserWidget::ExpandPath(const vadro::IdPath& ids)
{
    QModelIndex current;
    for (const vadro::Uuid& id : ids) {
        const QModelIndex child = model_->FindChild(current, id);
        if (!child.isValid())
            break;
        view_->expand(child);
        current = child;
    }
    expanded_ = current;
    if (current.isValid())
        view_->scrollTo(current);
}

void BrowserWidget::SelectFile(const std::wstring& name)
{
    const QModelIndex item = model_->FindChild(expanded_, name);
    if (!item.isValid())
        return;
    view_->selectionModel()->setCurrentIndex(item, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    view_->scrollTo(item);
}

void BrowserWidget::ClearSelection()
{
    quiet_ = true;
    view_->selectionModel()->clear();
    quiet_ = false;
}

std::vector<vadro::BrowserItemInfo> BrowserWidget::GetSelectionInfo() const
{
    std::vector<vadro::BrowserItemInfo> result;
    for (const QModelIndex& index : view_->selectionModel()->selectedRows())
        result.push_back(model_->Info(index));
    return result;
}

} // namespace vadro_browser
