#include "repository/widgets/BrowserWidget.h"
#include "repository/widgets/ConnectionsManagerWidget.h"
#include "support/Connections.h"
#include "support/Files.h"
#include "support/Modal.h"
#include "support/Widgets.h"

#include <QAbstractItemModelTester>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTreeView>
#include <QtTest>

#include <algorithm>

using testsupport::child;

using vadro_browser::BrowserWidget;
using vadro_cm::Connection;
using vadro_cm::ConnectionsManagerWidget;

using namespace testsupport;

namespace {

QStringList childNames(const QAbstractItemModel* model, const QModelIndex& parent = QModelIndex())
{
    QStringList names;
    for (int row = 0; row < model->rowCount(parent); ++row)
        names << model->index(row, 0, parent).data().toString();
    return names;
}

} // namespace

class RepositoryWidgetsTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir repo_;
    std::shared_ptr<vadro::ICore> core_ = vadro::CreateCore();

    std::shared_ptr<vadro::ISession> session()
    {
        return core_->OpenSession(vadro_cm::ServerAddress{repo_.path().toStdWString(), 0}, std::monostate{});
    }
    vadro::IdPath ids(const std::vector<std::wstring>& names)
    {
        return session()->GetPathResolver()->ResolvePath(names);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(repo_.isValid());
        writeFile(repo_.filePath(QStringLiteral("Проекты/Мост/план.dwg")), "content");
        writeFile(repo_.filePath(QStringLiteral("Проекты/Мост/Разрезы/А-А.dwg")), "content");
        writeFile(repo_.filePath(QStringLiteral("Проекты/Тоннель/схема.dxf")), "content");
        writeFile(repo_.filePath(QStringLiteral("Архив/старое.dxf")), "content");
        writeFile(repo_.filePath(QStringLiteral("readme.txt")), "content");
    }

    void foldersAreListedWhenOpened()
    {
        BrowserWidget browser(nullptr, nullptr, false, true, 0, {});
        browser.Reset(session());
        QAbstractItemModel* model = browser.View()->model();
        // Nothing is read before the view asks.
        QCOMPARE(model->rowCount(), 0);
        QVERIFY(model->canFetchMore(QModelIndex()));
        model->fetchMore(QModelIndex());
        QCOMPARE(childNames(model),
                 (QStringList{QStringLiteral("Архив"), QStringLiteral("Проекты"), QStringLiteral("readme.txt")}));
        const QModelIndex projects = model->index(1, 0);
        QVERIFY(model->hasChildren(projects));
        QCOMPARE(model->rowCount(projects), 0);
        QVERIFY(model->canFetchMore(projects));
        model->fetchMore(projects);
        QCOMPARE(childNames(model, projects), (QStringList{QStringLiteral("Мост"), QStringLiteral("Тоннель")}));
        // A document is a leaf.
        QVERIFY(!model->hasChildren(model->index(2, 0)));
        QVERIFY(!model->canFetchMore(model->index(2, 0)));
    }

    void filters_data()
    {
        QTest::addColumn<int>("filter");
        QTest::addColumn<QStringList>("top");
        QTest::addColumn<QStringList>("bridge");
        QTest::newRow("everything") << 0
                                    << QStringList{QStringLiteral("Архив"), QStringLiteral("Проекты"),
                                                   QStringLiteral("readme.txt")}
                                    << QStringList{QStringLiteral("Разрезы"), QStringLiteral("план.dwg")};
        QTest::newRow("folders only") << 1 << QStringList{QStringLiteral("Архив"), QStringLiteral("Проекты")}
                                      << QStringList{QStringLiteral("Разрезы")};
        QTest::newRow("one document listed") << 2 << QStringList{QStringLiteral("Архив"), QStringLiteral("Проекты")}
                                             << QStringList{QStringLiteral("Разрезы"), QStringLiteral("план.dwg")};
        QTest::newRow("archive hidden") << 3 << QStringList{QStringLiteral("Проекты"), QStringLiteral("readme.txt")}
                                        << QStringList{QStringLiteral("Разрезы"), QStringLiteral("план.dwg")};
    }

    void filters()
    {
        QFETCH(int, filter);
        QFETCH(QStringList, top);
        QFETCH(QStringList, bridge);
        const vadro::IdPath plan = ids({L"Проекты", L"Мост", L"план.dwg"});
        const vadro::IdPath archive = ids({L"Архив"});
        BrowserWidget browser(nullptr, nullptr, false, true, 0, filter == 3 ? archive : vadro::IdPath{});
        // The filter set before a reset and the one set after must both hold.
        if (filter == 1)
            browser.SetFolderContentsFilter({});
        browser.Reset(session());
        if (filter == 2)
            browser.SetFolderContentsFilter({plan.back()});
        QAbstractItemModel* model = browser.View()->model();
        model->fetchMore(QModelIndex());
        QCOMPARE(childNames(model), top);
        browser.ExpandPath(ids({L"Проекты", L"Мост"}));
        const QModelIndex projects = model->index(top.indexOf(QStringLiteral("Проекты")), 0);
        QCOMPARE(childNames(model, model->index(0, 0, projects)), bridge);
        browser.ResetFolderContentsFilter();
        model->fetchMore(QModelIndex());
        QCOMPARE(model->rowCount(), filter == 3 ? 2 : 3);
    }

    void expandSelectAndReportPaths()
    {
        BrowserWidget browser(nullptr, nullptr, false, true, 0, {});
        browser.Reset(session());
        QSignalSpy changed(&browser, &BrowserWidget::SelectionChanged);
        const vadro::IdPath bridge = ids({L"Проекты", L"Мост"});
        browser.ExpandPath(bridge);
        QCOMPARE(changed.count(), 0);
        browser.SelectFile(L"Разрезы");
        QCOMPARE(changed.count(), 1);
        std::vector<vadro::BrowserItemInfo> selection = browser.GetSelectionInfo();
        QCOMPARE(selection.size(), std::size_t(1));
        QVERIFY(selection.front().path == ids({L"Проекты", L"Мост", L"Разрезы"}));
        QVERIFY(selection.front().name == L"Разрезы");
        QVERIFY(!selection.front().isDocument);

        // A name the folder lacks changes nothing.
        browser.SelectFile(L"нет такого");
        QCOMPARE(changed.count(), 1);

        // Several items at once.
        QTreeView* view = browser.View();
        const QModelIndex plan = view->currentIndex().sibling(1, 0);
        view->selectionModel()->select(plan, QItemSelectionModel::Select | QItemSelectionModel::Rows);
        selection = browser.GetSelectionInfo();
        QCOMPARE(selection.size(), std::size_t(2));

        // A path that breaks off opens what exists and selects in the last folder found.
        BrowserWidget other(nullptr, nullptr, false, false, 0, {});
        other.Reset(session());
        vadro::IdPath broken = ids({L"Проекты"});
        broken.push_back(ids({L"Архив"}).front());
        other.ExpandPath(broken);
        other.SelectFile(L"Тоннель");
        QCOMPARE(other.GetSelectionInfo().size(), std::size_t(1));
        QVERIFY(other.GetSelectionInfo().front().path == ids({L"Проекты", L"Тоннель"}));

        // A reset drops the selection quietly.
        browser.Reset(session());
        QCOMPARE(changed.count(), 2);
        QVERIFY(browser.GetSelectionInfo().empty());
    }

    void modelPassesTheModelTester()
    {
        BrowserWidget browser(nullptr, nullptr, true, true, 0, {});
        QAbstractItemModelTester tester(browser.View()->model(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        browser.Reset(session());
        browser.View()->expandAll();
        browser.ExpandPath(ids({L"Проекты", L"Мост", L"Разрезы"}));
        QVERIFY(browser.View()->model()->rowCount() > 0);
        browser.Reset(nullptr);
        QCOMPARE(browser.View()->model()->rowCount(), 0);
        QVERIFY(!browser.View()->model()->canFetchMore(QModelIndex()));
    }

    void aFolderRemovedAfterOpeningShowsEmpty()
    {
        QTemporaryDir repo;
        writeFile(repo.filePath(QStringLiteral("gone/a.txt")), "content");
        BrowserWidget browser(nullptr, nullptr, false, true, 0, {});
        browser.Reset(core_->OpenSession(vadro_cm::ServerAddress{repo.path().toStdWString(), 0}, std::monostate{}));
        QAbstractItemModel* model = browser.View()->model();
        model->fetchMore(QModelIndex());
        QCOMPARE(model->rowCount(), 1);
        QVERIFY(QDir(repo.filePath(QStringLiteral("gone"))).removeRecursively());
        model->fetchMore(model->index(0, 0));
        QCOMPARE(model->rowCount(model->index(0, 0)), 0);
        QVERIFY(!model->hasChildren(model->index(0, 0)));
    }

    void selectConnection()
    {
        const Connection first = folderConnection(QStringLiteral("Первое"), repo_.path());
        const Connection second = folderConnection(QStringLiteral("Второе"), QStringLiteral("/nonexistent"));
        ConnectionsManagerWidget widget(nullptr, {first, second}, core_, false);
        QSignalSpy changed(&widget, &ConnectionsManagerWidget::SelectionChanged);
        QVERIFY(!widget.GetSelectedConnection());

        // An unknown identifier while nothing is selected changes nothing.
        widget.SelectConnection(vadro::GenerateUuid());
        QCOMPARE(changed.count(), 0);
        widget.SelectConnection(second.id);
        QCOMPARE(changed.count(), 1);
        QVERIFY(widget.GetSelectedConnection() == second);
        widget.SelectConnection(second.id);
        QCOMPARE(changed.count(), 1);
        widget.SelectConnection(vadro::Uuid{});
        QCOMPARE(changed.count(), 2);
        QVERIFY(!widget.GetSelectedConnection());

        // With nothing selected, the first arrow selects the row focus made current.
        auto* list = child<QListWidget>(&widget, "connectionsListWidget");
        for (Qt::Key key : {Qt::Key_Down, Qt::Key_Up}) {
            widget.SelectConnection(vadro::Uuid{});
            QFocusEvent focusIn(QEvent::FocusIn, Qt::TabFocusReason);
            QApplication::sendEvent(list, &focusIn);
            QTest::keyClick(list, key);
            QVERIFY(widget.GetSelectedConnection() == first);
        }
        QTest::keyClick(list, Qt::Key_Down);
        QVERIFY(widget.GetSelectedConnection() == second);

        // Local optimisations mark the connection whose folder is missing.
        QVERIFY(!list->item(1)->font().strikeOut());
        widget.EnableLocalConnectionOptimizations();
        QVERIFY(!list->item(0)->font().strikeOut());
        QVERIFY(list->item(1)->font().strikeOut());
    }

    void editConnections_data()
    {
        QTest::addColumn<int>("credentials");
        QTest::newRow("none") << 0;
        QTest::newRow("login and password") << 1;
        QTest::newRow("token") << 2;
    }

    void editConnections()
    {
        QFETCH(int, credentials);
        const Connection first = folderConnection(QStringLiteral("Первое"), repo_.path());
        ConnectionsManagerWidget widget(nullptr, {first}, core_, false);
        widget.show();
        QSignalSpy changed(&widget, &ConnectionsManagerWidget::SelectionChanged);

        onModal<vadro_cm::ConnectionEditDialog>([credentials](vadro_cm::ConnectionEditDialog* dialog) {
            child<QLineEdit>(dialog, "nameEdit")->setText(QStringLiteral("Новое"));
            child<QLineEdit>(dialog, "folderEdit")->setText(QStringLiteral("/srv/хранилище"));
            child<QComboBox>(dialog, "credentialsComboBox")->setCurrentIndex(credentials);
            child<QSpinBox>(dialog, "portSpinBox")->setValue(8080);
            child<QLineEdit>(dialog, "loginEdit")->setText(QStringLiteral("иван"));
            child<QLineEdit>(dialog, "passwordEdit")->setText(QStringLiteral("секрет"));
            child<QLineEdit>(dialog, "tokenEdit")->setText(QStringLiteral("tok-1"));
            dialog->accept();
        });
        child<QPushButton>(&widget, "addConnectionButton")->click();
        QCOMPARE(widget.GetEditedConnections().size(), std::size_t(2));
        const Connection added = widget.GetEditedConnections().back();
        QVERIFY(added.id != first.id && !added.id.is_nil());
        QVERIFY(added.name == L"Новое");
        QVERIFY(added.address && added.address->host == L"/srv/хранилище" && added.address->port == 8080);
        QCOMPARE(static_cast<int>(added.credentials.index()), credentials);
        if (credentials == 1)
            QVERIFY(
                (std::get<vadro_cm::LoginPassword>(added.credentials) == vadro_cm::LoginPassword{L"иван", L"секрет"}));
        if (credentials == 2)
            QCOMPARE(std::get<std::string>(added.credentials), std::string("tok-1"));
        QVERIFY(widget.GetSelectedConnection() == added);
        const int afterAdd = changed.count();
        QVERIFY(afterAdd >= 1);

        // Editing keeps the identifier and reports the changed selection; the dialog shows
        // what the connection holds, and only the fields of its kind of credentials.
        QString shownLogin;
        QList<bool> shownRows;
        int shownPort = 0;
        onModal<vadro_cm::ConnectionEditDialog>([&](vadro_cm::ConnectionEditDialog* dialog) {
            shownLogin = child<QLineEdit>(dialog, "loginEdit")->text();
            for (const char* name : {"loginEdit", "passwordEdit", "tokenEdit"})
                shownRows << dialog->findChild<QLineEdit*>(QString::fromLatin1(name))->isVisible();
            shownPort = child<QSpinBox>(dialog, "portSpinBox")->value();
            child<QLineEdit>(dialog, "nameEdit")->setText(QStringLiteral("Другое"));
            dialog->accept();
        });
        widget.EditSelectedConnection();
        QCOMPARE(shownLogin, credentials == 1 ? QStringLiteral("иван") : QString());
        QCOMPARE(shownRows, (QList<bool>{credentials == 1, credentials == 1, credentials == 2}));
        QCOMPARE(shownPort, 8080);
        QCOMPARE(changed.count(), afterAdd + 1);
        QVERIFY(widget.GetSelectedConnection()->name == L"Другое");
        QVERIFY(widget.GetSelectedConnection()->id == added.id);

        // A cancelled dialog changes nothing.
        rejectNext<vadro_cm::ConnectionEditDialog>();
        widget.AddConnection();
        QCOMPARE(widget.GetEditedConnections().size(), std::size_t(2));

        auto removal = closeNextMessageBox(QMessageBox::Yes);
        widget.RemoveSelectedConnection();
        QVERIFY(removal->seen);
        QCOMPARE(widget.GetEditedConnections().size(), std::size_t(1));
        QVERIFY(widget.GetEditedConnections().front() == first);
        QVERIFY(changed.count() > afterAdd + 1);
        QVERIFY(!widget.GetSelectedConnection() || *widget.GetSelectedConnection() == first);
    }

    void editDialogRefusesWhatAPathCannotName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<bool>("accepted");
        // The connection as opened and the stored tasks that use it; another one is "Демо".
        QTest::addColumn<QString>("original");
        QTest::addColumn<QStringList>("users");
        const QString srv = QStringLiteral("/srv/хд");
        const QStringList users{QStringLiteral("Ночная копия")};
        QTest::newRow("name and folder") << QStringLiteral("Хранилище 1") << srv << true << QString() << QStringList();
        QTest::newRow("slash in the name")
            << QStringLiteral("отдел/проекты") << srv << false << QString() << QStringList();
        QTest::newRow("empty name") << QString() << srv << false << QString() << QStringList();
        QTest::newRow("blank name") << QStringLiteral("  ") << srv << false << QString() << QStringList();
        QTest::newRow("empty folder") << QStringLiteral("Хранилище") << QString() << false << QString()
                                      << QStringList();
        QTest::newRow("name of another") << QStringLiteral("Демо") << srv << false << QString() << QStringList();
        // The tool looks a name up exactly: another letter case is another name.
        QTest::newRow("another's name in lower case")
            << QStringLiteral("демо") << srv << true << QString() << QStringList();
        QTest::newRow("used connection renamed")
            << QStringLiteral("Main") << srv << false << QStringLiteral("Хранилище") << users;
        QTest::newRow("used connection keeps its name")
            << QStringLiteral("Хранилище") << srv << true << QStringLiteral("Хранилище") << users;
        QTest::newRow("unused connection renamed")
            << QStringLiteral("Main") << srv << true << QStringLiteral("Хранилище") << QStringList();
    }

    void editDialogRefusesWhatAPathCannotName()
    {
        QFETCH(QString, name);
        QFETCH(QString, folder);
        QFETCH(bool, accepted);
        QFETCH(QString, original);
        QFETCH(QStringList, users);
        Connection opened;
        opened.name = original.toStdWString();
        vadro_cm::ConnectionEditDialog dialog(opened);
        dialog.SetTakenNames({L"Демо"});
        dialog.SetUsers(users);
        dialog.show();
        child<QLineEdit>(&dialog, "nameEdit")->setText(name);
        child<QLineEdit>(&dialog, "folderEdit")->setText(folder);
        auto seen = closeNextMessageBox();
        child<QDialogButtonBox>(&dialog, "buttonBox")->button(QDialogButtonBox::Ok)->click();
        *seen->armed = false;
        QCOMPARE(dialog.result() == QDialog::Accepted, accepted);
        QCOMPARE(dialog.isVisible(), !accepted);
        QCOMPARE(seen->seen, !accepted);
        if (!accepted)
            QCOMPARE(seen->text, dialog.Problem());
    }

    void removalAsksFirst_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<QStringList>("users");
        QTest::addColumn<bool>("yes");
        QTest::addColumn<QString>("question");
        const QStringList seven{QStringLiteral("а"), QStringLiteral("б"), QStringLiteral("в"), QStringLiteral("г"),
                                QStringLiteral("д"), QStringLiteral("е"), QStringLiteral("ж")};
        QTest::newRow("first, unused, yes")
            << 0 << QStringList() << true << QStringLiteral("Удалить соединение «Один»?");
        QTest::newRow("middle, used, yes")
            << 1 << QStringList{QStringLiteral("Ночная копия"), QStringLiteral("Экспорт DXF")} << true
            << QStringLiteral("Удалить соединение «Два»?\nЕго используют задачи (2): «Ночная копия», «Экспорт DXF».");
        QTest::newRow("last, unused, no") << 2 << QStringList() << false << QStringLiteral("Удалить соединение «Три»?");
        QTest::newRow("used, no") << 1 << QStringList{QStringLiteral("Ночная копия")} << false
                                  << QStringLiteral(
                                         "Удалить соединение «Два»?\nЕго используют задачи (1): «Ночная копия».");
        QTest::newRow("many users")
            << 0 << seven << true
            << QStringLiteral(
                   "Удалить соединение «Один»?\nЕго используют задачи (7): «а», «б», «в», «г», «д», и ещё 2.");
    }

    // The question names the tasks that use the removed connection, No keeps it, and
    // whoever listens to the selection reads it while the row goes away, as the wizard does.
    void removalAsksFirst()
    {
        QFETCH(int, row);
        QFETCH(QStringList, users);
        QFETCH(bool, yes);
        QFETCH(QString, question);
        std::vector<Connection> all;
        for (const char* name : {"Один", "Два", "Три"})
            all.push_back(folderConnection(QString::fromUtf8(name), repo_.path()));
        const std::vector<Connection> before = all;
        ConnectionsManagerWidget widget(nullptr, all, core_, false);
        const vadro::Uuid removed = all[static_cast<std::size_t>(row)].id;
        // Only the removed connection has users: a lookup by another identifier names none.
        widget.SetUsersLookup([&](const vadro::Uuid& id) { return id == removed ? users : QStringList(); });
        std::vector<std::optional<Connection>> seen;
        connect(&widget, &ConnectionsManagerWidget::SelectionChanged, &widget,
                [&] { seen.push_back(widget.GetSelectedConnection()); });
        widget.SelectConnection(removed);
        seen.clear();

        auto box = closeNextMessageBox(yes ? QMessageBox::Yes : QMessageBox::No);
        child<QPushButton>(&widget, "removeConnectionButton")->click();
        *box->armed = false;
        QVERIFY(box->seen);
        QCOMPARE(box->text, question);
        QCOMPARE(box->buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(box->defaultButton, QMessageBox::No);
        if (!yes) {
            QVERIFY(widget.GetEditedConnections() == before);
            QVERIFY(widget.GetSelectedConnection() == before[static_cast<std::size_t>(row)]);
            return;
        }
        all.erase(all.begin() + row);
        QVERIFY(widget.GetEditedConnections() == all);
        QCOMPARE(child<QListWidget>(&widget, "connectionsListWidget")->count(), 2);
        // No neighbour takes the removed connection's place: the wizard would write it into the task.
        QVERIFY(!seen.empty());
        for (const auto& selected : seen)
            QVERIFY(!selected || std::find(all.begin(), all.end(), *selected) != all.end());
        QVERIFY(!seen.back());
        QVERIFY(!widget.GetSelectedConnection());
    }

    void testButtonReportsTheRepository()
    {
        const Connection good = folderConnection(QStringLiteral("Есть"), repo_.path());
        const Connection bad = folderConnection(QStringLiteral("Нет"), repo_.filePath(QStringLiteral("нет")));
        ConnectionsManagerWidget widget(nullptr, {good, bad}, core_, true);
        QVERIFY(child<QPushButton>(&widget, "addConnectionButton")->isHidden());
        auto* test = child<QPushButton>(&widget, "testConnectionButton");
        widget.SelectConnection(good.id);
        auto seen = closeNextMessageBox();
        test->click();
        QVERIFY(seen->seen);
        QCOMPARE(seen->icon, QMessageBox::Information);
        widget.SelectConnection(bad.id);
        seen = closeNextMessageBox();
        test->click();
        QCOMPARE(seen->icon, QMessageBox::Warning);
        QVERIFY(seen->text.startsWith(QStringLiteral("Не удалось установить соединение.\n")));
    }
};

QTEST_MAIN(RepositoryWidgetsTest)
#include "RepositoryWidgetsTest.moc"
