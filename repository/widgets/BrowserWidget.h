#pragma once

// A tree of a repository session's folders and documents. Folders are listed only when
// they are opened, so a large repository shows at once.

#include "repository/Vadro.h"

#include <QAbstractItemModel>
#include <QIcon>
#include <QWidget>

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include <boost/uuid/uuid_hash.hpp>

class QTreeView;

namespace vadro {

// One selected item of a browser.
struct BrowserItemInfo
{
    // Identifiers from the repository root down to the item, the item's own last.
    IdPath path;
    std::wstring name;
    bool isDocument = false;
};

} // namespace vadro

namespace vadro_browser {

// Supplies the icons of the items; without one the style's folder and file icons are used.
class IFileInfoProvider
{
public:
    virtual ~IFileInfoProvider() = default;
    virtual QIcon Icon(const vadro::ItemInfo& item) const = 0;
};

// The item model behind the browser. The root stands for the repository's top folder;
// a folder's children are read from the session when the view first asks for them.
class RepositoryModel : public QAbstractItemModel
{
    Q_OBJECT

public:
    RepositoryModel(std::shared_ptr<IFileInfoProvider> provider, bool showDetails, QObject* parent = nullptr);
    ~RepositoryModel() override;

    // Starts over on another session (null: nothing to show).
    void Reset(std::shared_ptr<vadro::ISession> session);
    // Identifiers of items that never show.
    void SetItemFilter(std::vector<vadro::Uuid> hidden);
    // Documents shown besides folders: only those listed (none for an empty list), or all
    // when `all` is set. Reloads the tree.
    void SetDocumentFilter(std::vector<vadro::Uuid> shown, bool all);

    // The child of `parent` with this identifier (or name), listing `parent` first when it
    // has not been; invalid when there is none.
    QModelIndex FindChild(const QModelIndex& parent, const vadro::Uuid& id);
    QModelIndex FindChild(const QModelIndex& parent, const std::wstring& name);
    vadro::BrowserItemInfo Info(const QModelIndex& index) const;

    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    bool hasChildren(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

private:
    struct Node;

    Node* NodeOf(const QModelIndex& index) const;
    void List(const QModelIndex& parent, Node& node);
    void Reload();

    std::shared_ptr<IFileInfoProvider> provider_;
    bool showDetails_;
    std::shared_ptr<vadro::ISession> session_;
    std::unique_ptr<Node> root_;
    std::unordered_set<vadro::Uuid> hidden_;
    std::unordered_set<vadro::Uuid> shownDocuments_;
    bool allDocuments_ = true;
    QIcon folderIcon_;
    QIcon documentIcon_;
};

class BrowserWidget : public QWidget
{
    Q_OBJECT

public:
    // `provider` may be null. `showDetails` adds a column with the modification time;
    // `multiSelection` lets several items be selected at once. `mode` 0 is the tree of the
    // whole repository, the only mode there is. Items listed in `itemFilter` never show.
    BrowserWidget(QWidget* parent, std::shared_ptr<IFileInfoProvider> provider, bool showDetails, bool multiSelection,
                  int mode, std::vector<vadro::Uuid> itemFilter);

    // Shows the repository of `session` from its top folder, collapsed and unselected. This
    // and the two filter calls drop the selection without SelectionChanged: the caller that
    // starts over decides what its own display shows.
    void Reset(std::shared_ptr<vadro::ISession> session);
    // Folders show always; of the documents only those listed, so an empty list shows
    // folders only.
    void SetFolderContentsFilter(const std::vector<vadro::Uuid>& documents);
    // Folders and every document show.
    void ResetFolderContentsFilter();
    // Opens the folders along the identifier path from the top, as far as they exist. The
    // last folder opened is where SelectFile looks.
    void ExpandPath(const vadro::IdPath& ids);
    // Selects the item of that name in the folder ExpandPath last opened (the top folder
    // before any); nothing changes when there is none.
    void SelectFile(const std::wstring& name);
    std::vector<vadro::BrowserItemInfo> GetSelectionInfo() const;
    // Drops the selection without SelectionChanged, for a caller whose display already
    // says what is chosen.
    void ClearSelection();

    QTreeView* View() const { return view_; }

signals:
    // The user or SelectFile changed the selection.
    void SelectionChanged();

private:
    RepositoryModel* model_;
    QTreeView* view_;
    QPersistentModelIndex expanded_;
    bool quiet_ = false;
};

} // namespace vadro_browser
