#include "WizardTestSupport.h"

#include "wizard/SchemeLookup.h"
#include "wizard/TaskActionPage.h"
#include "wizard/TaskBrowserPage.h"
#include "wizard/TaskWizard.h"

#include "repository/widgets/BrowserWidget.h"
#include "repository/widgets/ConnectionsManagerWidget.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTreeView>
#include <QtTest>

namespace {

using wiztest::goTo;
using wiztest::namedTask;

SchemeSelection lookupWithStandIn(const std::string& word)
{
    const QString tool = testsupport::binPath(QStringLiteral("KalvorCLI"));
    return SelectScheme(std::filesystem::u8path(tool.toStdString()), word);
}

} // namespace

class TaskWizardPagesTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir repo_;
    QTemporaryDir mirror_;
    vadro_cm::Connection main_;
    vadro_cm::Connection mirrorConnection_;
    vadro_cm::Connection broken_;
    vadro_cm::Connection unnamed_;

    std::unique_ptr<TaskWizard> openOnPage(const TaskInfo& task, int id)
    {
        auto wizard = std::make_unique<TaskWizard>(task, wiztest::storageContext());
        wizard->show();
        goTo(*wizard, id);
        return wizard;
    }
    static TaskActionPage* actionPage(TaskWizard& wizard) { return qobject_cast<TaskActionPage*>(wizard.page(2)); }
    static TaskBrowserPage* browserPage(TaskWizard& wizard) { return qobject_cast<TaskBrowserPage*>(wizard.page(3)); }
    ExportAction exportTo(const vadro_cm::Connection& connection) const
    {
        ExportAction action;
        action.connection_id = connection.id;
        action.output_path = L"/tmp/out";
        return action;
    }

private slots:
    void initTestCase()
    {
        wiztest::setApplicationNames();
        for (QTemporaryDir* repo : {&repo_, &mirror_}) {
            QVERIFY(wiztest::makeFile(repo->filePath(QStringLiteral("Проекты/Мост/план.dwg"))));
            QVERIFY(wiztest::makeFile(repo->filePath(QStringLiteral("Проекты/Тоннель/схема.dxf"))));
            QVERIFY(wiztest::makeFile(repo->filePath(QStringLiteral("readme.txt"))));
        }
        main_ = wiztest::folderConnection(QStringLiteral("Хранилище"), repo_.path());
        mirrorConnection_ = wiztest::folderConnection(QStringLiteral("Копия"), mirror_.path());
        broken_ = wiztest::folderConnection(QStringLiteral("Сломанное"), repo_.filePath(QStringLiteral("нет")));
        unnamed_ = wiztest::folderConnection(QString(), repo_.path());
        wiztest::saveConnections({main_, mirrorConnection_, broken_, unnamed_});
    }

    void kindChangesLeaveRoomForEveryWidget_data()
    {
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("combo");
        QTest::addColumn<int>("kind");
        QTest::newRow("trigger: weekly") << 1 << QStringLiteral("triggerComboBox") << 1;
        QTest::newRow("trigger: daily") << 1 << QStringLiteral("triggerComboBox") << 0;
        QTest::newRow("action: export") << 2 << QStringLiteral("actionComboBox") << 1;
        QTest::newRow("action: command") << 2 << QStringLiteral("actionComboBox") << 2;
        QTest::newRow("action: check") << 2 << QStringLiteral("actionComboBox") << 3;
        QTest::newRow("action: format IFC") << 2 << QStringLiteral("formatComboBox") << 4;
    }

    // A group that appears makes the wizard grow: no visible widget gets less than its hint.
    void kindChangesLeaveRoomForEveryWidget()
    {
        QFETCH(int, page);
        QFETCH(QString, combo);
        QFETCH(int, kind);
        TaskInfo task = namedTask(exportTo(main_));
        auto wizard = openOnPage(task, page);
        QVERIFY(QTest::qWaitForWindowExposed(wizard.get()));
        if (combo == QLatin1String("formatComboBox"))
            child<QComboBox>(wizard->currentPage(), "actionComboBox")->setCurrentIndex(1);
        auto* box = wizard->currentPage()->findChild<QComboBox*>(combo);
        QVERIFY(box);
        box->setCurrentIndex(box->count() > kind ? kind : box->count() - 1);
        QCoreApplication::processEvents();
        // Growing stops at the screen's available area; there the page squeezes instead.
        const QRect area = wizard->screen()->availableGeometry();
        QVERIFY(area.contains(wizard->frameGeometry()));
        if (page == 2) {
            // Extra height goes below the groups: the action list's group keeps its own height.
            auto* group = child<QGroupBox>(wizard->currentPage(), "actionGroupBox");
            QVERIFY2(group->height() <= group->sizeHint().height(), qPrintable(QString::number(group->height())));
            // Tab goes through the page as it reads: down, or along a row to the right.
            QWidget* before = child<QComboBox>(wizard->currentPage(), "actionComboBox");
            for (QWidget* w = before->nextInFocusChain(); w->objectName() != QLatin1String("actionComboBox");
                 w = w->nextInFocusChain()) {
                if (!wizard->currentPage()->isAncestorOf(w) || !w->isVisible() || !(w->focusPolicy() & Qt::TabFocus))
                    continue;
                const QRect a(before->mapToGlobal(QPoint()), before->size()), b(w->mapToGlobal(QPoint()), w->size());
                QVERIFY2(b.top() >= a.bottom() || b.left() >= a.right(),
                         qPrintable(before->objectName() + QStringLiteral(" -> ") + w->objectName()));
                before = w;
            }
        }
        const bool widest = wizard->frameGeometry().width() >= area.width();
        const bool tallest = wizard->frameGeometry().height() >= area.height();
        for (QWidget* widget : wizard->currentPage()->findChildren<QWidget*>()) {
            // Parts of Qt's own widgets are sized by their owners, not by layouts.
            if (!widget->isVisible() || widget->objectName().startsWith(QLatin1String("qt_")))
                continue;
            const QSize hint = widget->sizeHint();
            if (!hint.isValid())
                continue;
            QVERIFY2((widest || widget->width() >= hint.width()) && (tallest || widget->height() >= hint.height()),
                     qPrintable(QStringLiteral("%1 (%2): %3x%4 < %5x%6")
                                    .arg(widget->objectName(), QString::fromLatin1(widget->metaObject()->className()))
                                    .arg(widget->width())
                                    .arg(widget->height())
                                    .arg(hint.width())
                                    .arg(hint.height())));
        }
    }

    // The number of versions comes from the task and goes back into it; one above the usual
    // range, written into the store by hand, is shown as it is, not cut down.
    void backupVersionsShownAndKept()
    {
        BackupAction backup;
        backup.keep_versions = 1500;
        auto wizard = openOnPage(namedTask(backup), 2);
        auto* spin = actionPage(*wizard)->findChild<QSpinBox*>(QStringLiteral("backupVersionsSpinBox"));
        QCOMPARE(spin->value(), 1500);
        spin->setValue(4);
        QCOMPARE(std::get<BackupAction>(wizard->GetTaskInfo().action).keep_versions, 4u);
    }

    void handlersWriteTheirFields_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("edit");
        QTest::newRow("backup destination") << 0 << QStringLiteral("backupToolDestinationEdit");
        QTest::newRow("export output") << 1 << QStringLiteral("exportDstPathEdit");
        QTest::newRow("executable") << 2 << QStringLiteral("executableEdit");
        QTest::newRow("arguments") << 2 << QStringLiteral("argumentsEdit");
        QTest::newRow("working directory") << 2 << QStringLiteral("workingDirectoryEdit");
        QTest::newRow("IDS") << 3 << QStringLiteral("idsEdit");
        QTest::newRow("IFC") << 3 << QStringLiteral("ifcEdit");
    }

    void handlersWriteTheirFields()
    {
        QFETCH(int, kind);
        QFETCH(QString, edit);
        auto wizard = openOnPage(namedTask(BackupAction{}), 2);
        TaskActionPage* page = actionPage(*wizard);
        child<QComboBox>(page, "actionComboBox")->setCurrentIndex(kind);
        const QString text = QStringLiteral("/данные/путь с пробелом");
        page->findChild<QLineEdit*>(edit)->setText(text);
        const Action& action = wizard->GetTaskInfo().action;
        QCOMPARE(static_cast<int>(action.index()), kind);
        const std::map<QString, std::function<QString()>> fields{
            {QStringLiteral("backupToolDestinationEdit"),
             [&] { return QString::fromStdWString(std::get<BackupAction>(action).destination_path); }},
            {QStringLiteral("exportDstPathEdit"),
             [&] { return QString::fromStdWString(std::get<ExportAction>(action).output_path); }},
            {QStringLiteral("executableEdit"),
             [&] { return QString::fromStdString(std::get<CommandAction>(action).executable.string()); }},
            {QStringLiteral("argumentsEdit"),
             [&] { return QString::fromStdWString(std::get<CommandAction>(action).arguments); }},
            {QStringLiteral("workingDirectoryEdit"),
             [&] { return QString::fromStdString(std::get<CommandAction>(action).working_directory.string()); }},
            {QStringLiteral("idsEdit"),
             [&] { return QString::fromStdWString(std::get<CheckAction>(action).ids_file); }},
            {QStringLiteral("ifcEdit"),
             [&] { return QString::fromStdWString(std::get<CheckAction>(action).ifc_file); }},
        };
        QCOMPARE(fields.at(edit)(), text);
    }

    void isComplete_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("connection");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::addColumn<bool>("complete");
        QTest::newRow("backup without connection") << 0 << false << QStringLiteral("/d") << QString() << false;
        QTest::newRow("backup without destination") << 0 << true << QString() << QString() << false;
        QTest::newRow("backup") << 0 << true << QStringLiteral("/d") << QString() << true;
        QTest::newRow("export without connection") << 1 << false << QStringLiteral("/d") << QString() << false;
        QTest::newRow("export") << 1 << true << QStringLiteral("/d") << QString() << true;
        QTest::newRow("command without program") << 2 << false << QString() << QString() << false;
        QTest::newRow("command") << 2 << false << QStringLiteral("/bin/true") << QString() << true;
        QTest::newRow("check without IFC") << 3 << false << QStringLiteral("a.ids") << QString() << false;
        QTest::newRow("check") << 3 << false << QStringLiteral("a.ids") << QStringLiteral("b.ifc") << true;
    }

    void isComplete()
    {
        QFETCH(int, kind);
        QFETCH(bool, connection);
        QFETCH(QString, first);
        QFETCH(QString, second);
        QFETCH(bool, complete);
        auto wizard = openOnPage(namedTask(BackupAction{}), 2);
        TaskActionPage* page = actionPage(*wizard);
        child<QComboBox>(page, "actionComboBox")->setCurrentIndex(kind);
        if (connection)
            page->ConnectionsManager()->SelectConnection(main_.id);
        QLineEdit* edits[][2] = {{child<QLineEdit>(page, "backupToolDestinationEdit"), nullptr},
                                 {child<QLineEdit>(page, "exportDstPathEdit"), nullptr},
                                 {child<QLineEdit>(page, "executableEdit"), nullptr},
                                 {child<QLineEdit>(page, "idsEdit"), child<QLineEdit>(page, "ifcEdit")}};
        edits[kind][0]->setText(first);
        if (edits[kind][1])
            edits[kind][1]->setText(second);
        QCOMPARE(page->isComplete(), complete);
        QAbstractButton* forward = wizard->button(kind == 2 ? QWizard::FinishButton : QWizard::NextButton);
        QCOMPARE(forward->isEnabled(), complete);
        if (connection) {
            const Action& action = wizard->GetTaskInfo().action;
            const auto* backup = std::get_if<BackupAction>(&action);
            const auto* exported = std::get_if<ExportAction>(&action);
            QVERIFY((backup ? backup->connection_id : exported->connection_id) == main_.id);
        }
    }

    void validation_data()
    {
        QTest::addColumn<int>("connection");
        QTest::addColumn<bool>("passes");
        QTest::addColumn<bool>("message");
        QTest::newRow("reachable") << 0 << true << false;
        QTest::newRow("folder missing") << 1 << false << true;
        QTest::newRow("empty name") << 2 << false << false;
    }

    void validation()
    {
        QFETCH(int, connection);
        QFETCH(bool, passes);
        QFETCH(bool, message);
        const vadro_cm::Connection chosen = std::vector<vadro_cm::Connection>{main_, broken_, unnamed_}[connection];
        BackupAction backup;
        backup.connection_id = chosen.id;
        backup.destination_path = L"/tmp/dest";
        auto wizard = openOnPage(namedTask(backup), 2);
        TaskActionPage* page = actionPage(*wizard);
        QVERIFY(page->isComplete());
        const vadro_cm::Connection before = wizard->GetConnection();
        auto seen = wiztest::closeNextMessageBox();
        wizard->next();
        *seen->armed = false;
        QCOMPARE(wizard->currentId(), passes ? 3 : 2);
        QCOMPARE(seen->seen, message);
        if (message) {
            QCOMPARE(seen->icon, QMessageBox::Warning);
            QCOMPARE(seen->title, QStringLiteral("Ошибка подключения"));
            QCOMPARE(seen->buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
            QVERIFY(seen->text.startsWith(QStringLiteral("Не удалось установить подключение.\n")));
            QVERIFY(seen->text.size() > QStringLiteral("Не удалось установить подключение.\n").size());
        }
        QVERIFY(wizard->GetConnection() == (passes ? chosen : before));
        // Next leaves the saved connections as they were.
        QVERIFY(FindSavedConnection(chosen.id) == chosen);
    }

    void damagedSavedConnections_data()
    {
        // "-20": the saved file with its last 20 bytes cut off; "FOLDER": a folder in its place.
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("salvaged");
        QTest::addColumn<bool>("finishes");
        QTest::newRow("truncated by 20 bytes") << QByteArray("-20") << 4 << true;
        QTest::newRow("cut in the outer elements") << QByteArray("<config><connections_manager") << 0 << true;
        QTest::newRow("a folder in the file's place") << QByteArray("FOLDER") << 0 << false;
    }

    // The damage is shown and what can be read is offered; a connection added by hand is
    // tested and used, and Finish stores it beside the damaged bytes kept, or stays open.
    void damagedSavedConnections()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, salvaged);
        QFETCH(bool, finishes);
        const QString file = QString::fromStdString(SavedConnectionsPath().string());
        if (content == "FOLDER") {
            QVERIFY(QFile::remove(file) && QDir().mkpath(file));
        } else {
            if (content == "-20")
                content = testsupport::readFile(file).chopped(20);
            testsupport::writeFile(file, content);
        }
        auto damage = wiztest::closeNextMessageBox();
        auto wizard = openOnPage(namedTask(BackupAction{main_.id, L"", L"/tmp/dest"}), 2);
        *damage->armed = false;
        QVERIFY2(damage->text.contains(file), qPrintable(damage->text));
        TaskActionPage* page = actionPage(*wizard);
        QCOMPARE(page->ConnectionsManager()->GetEditedConnections().size(), std::size_t(salvaged));

        wiztest::onModal<vadro_cm::ConnectionEditDialog>([this](vadro_cm::ConnectionEditDialog* dialog) {
            child<QLineEdit>(dialog, "nameEdit")->setText(QStringLiteral("Новое"));
            child<QLineEdit>(dialog, "folderEdit")->setText(repo_.path());
            dialog->accept();
        });
        page->ConnectionsManager()->AddConnection();
        const vadro_cm::Connection added = *page->ConnectionsManager()->GetSelectedConnection();
        wizard->next();
        QCOMPARE(wizard->currentId(), 3);
        QCOMPARE(child<QLineEdit>(browserPage(*wizard), "pathsLineEdit")->text(), QStringLiteral("vadro://Новое/"));
        auto failure = wiztest::closeNextMessageBox();
        wizard->accept();
        *failure->armed = false;
        QCOMPARE(wizard->result() == QDialog::Accepted, finishes);
        QCOMPARE(failure->seen, !finishes);
        if (finishes) {
            QVERIFY(FindSavedConnection(added.id) == added);
            QCOMPARE(FindSavedConnection(main_.id).has_value(), salvaged > 0);
        } else {
            QVERIFY(wizard->isVisible());
            QVERIFY2(failure->text.contains(file), qPrintable(failure->text));
            QVERIFY(QDir(file).removeRecursively());
        }
        wiztest::saveConnections({main_, mirrorConnection_, broken_, unnamed_});
    }

    void formatSwitch()
    {
        ExportAction action = exportTo(main_);
        action.scheme_code = L"S1";
        action.scheme_name = L"Схема";
        auto wizard = openOnPage(namedTask(action), 2);
        TaskActionPage* page = actionPage(*wizard);
        QCOMPARE(child<QLineEdit>(page, "schemeLineEdit")->text(), QStringLiteral("Схема"));
        QVERIFY(!child<QGroupBox>(page, "schemeParamsGroup")->isHidden() &&
                child<QGroupBox>(page, "ifcParamsGroup")->isHidden());
        child<QComboBox>(page, "formatComboBox")->setCurrentIndex(4);
        const auto& stored = std::get<ExportAction>(wizard->GetTaskInfo().action);
        QCOMPARE(stored.format, std::int32_t(IFC));
        QVERIFY(stored.scheme_code.empty() && stored.scheme_name.empty());
        QVERIFY(child<QGroupBox>(page, "schemeParamsGroup")->isHidden() &&
                !child<QGroupBox>(page, "ifcParamsGroup")->isHidden());
        child<QComboBox>(page, "ifcVersionComboBox")->setCurrentIndex(1);
        QVERIFY(stored.ifc_version == L"4.3");
        child<QComboBox>(page, "formatComboBox")->setCurrentIndex(0);
        QVERIFY(!child<QGroupBox>(page, "schemeParamsGroup")->isHidden());
        QVERIFY(child<QLineEdit>(page, "schemeLineEdit")->text().isEmpty());
    }

    void storedFormats_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("listIndex");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("schemeKept");
        QTest::newRow("MIF") << 1 << 2 << QStringLiteral("MIF/MID") << true;
        QTest::newRow("TXF") << 2 << 3 << QStringLiteral("TXF/SXF") << true;
        QTest::newRow("DWG") << 3 << 1 << QStringLiteral("DWG") << true;
        QTest::newRow("unknown") << 9 << -1 << QString() << false;
    }

    void storedFormats()
    {
        QFETCH(int, format);
        QFETCH(int, listIndex);
        QFETCH(QString, shown);
        QFETCH(bool, schemeKept);
        ExportAction action = exportTo(main_);
        action.format = static_cast<ExportFormat>(format);
        action.scheme_code = L"CODE-ONLY";
        action.ifc_version = L"5.0";
        auto wizard = openOnPage(namedTask(action), 2);
        TaskActionPage* page = actionPage(*wizard);
        QCOMPARE(child<QComboBox>(page, "formatComboBox")->currentIndex(), listIndex);
        QCOMPARE(child<QComboBox>(page, "formatComboBox")->currentText(), shown);
        const auto& stored = std::get<ExportAction>(wizard->GetTaskInfo().action);
        QCOMPARE(stored.format, std::int32_t(schemeKept ? format : 0));
        QCOMPARE(stored.scheme_code == L"CODE-ONLY", schemeKept);
        // Without a name the code is shown.
        QCOMPARE(child<QLineEdit>(page, "schemeLineEdit")->text(),
                 schemeKept ? QStringLiteral("CODE-ONLY") : QString());
        // A version the list lacks stays stored.
        QVERIFY(stored.ifc_version == L"5.0");
    }

    void schemeButtons_data()
    {
        QTest::addColumn<int>("listIndex");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("name");
        QTest::newRow("DWG from the tool") << 1 << QByteArray() << QStringLiteral("DWG-GOST-21.101")
                                           << QStringLiteral("ГОСТ 21.101: слои по разделам проекта");
        QTest::newRow("only a code") << 0 << QByteArray("CODE:ONLY\\n") << QStringLiteral("ONLY") << QString();
        QTest::newRow("nothing keeps the scheme")
            << 0 << QByteArray("hello\\n") << QStringLiteral("OLD") << QStringLiteral("Старая");
    }

    void schemeButtons()
    {
        QFETCH(int, listIndex);
        QFETCH(QByteArray, reply);
        QFETCH(QString, code);
        QFETCH(QString, name);
        ExportAction action = exportTo(main_);
        action.format = listIndex == 1 ? DWG : DXF;
        action.scheme_code = L"OLD";
        action.scheme_name = L"Старая";
        auto wizard = openOnPage(namedTask(action), 2);
        TaskActionPage* page = actionPage(*wizard);
        page->SetSchemeLookup(lookupWithStandIn);
        if (!reply.isEmpty()) {
            qputenv("KALVORCLI_STDOUT", reply);
            qputenv("KALVORCLI_EXIT_CODE", "0");
        }
        child<QPushButton>(page, "selectSchemeButton")->click();
        qunsetenv("KALVORCLI_STDOUT");
        qunsetenv("KALVORCLI_EXIT_CODE");
        const auto& stored = std::get<ExportAction>(wizard->GetTaskInfo().action);
        QCOMPARE(QString::fromStdWString(stored.scheme_code), code);
        QCOMPARE(QString::fromStdWString(stored.scheme_name), name);
        QCOMPARE(child<QLineEdit>(page, "schemeLineEdit")->text(), name);
        // Opening the page again shows the code when there is no name.
        wizard->back();
        wizard->next();
        QCOMPARE(child<QLineEdit>(page, "schemeLineEdit")->text(), name.isEmpty() ? code : name);

        child<QPushButton>(page, "ifcMappingButton")->click();
        QVERIFY(stored.ifc_mapping_code == L"IFC-DEFAULT");
        QCOMPARE(child<QLineEdit>(page, "ifcMappingEdit")->text(),
                 QStringLiteral("Соответствие классов IFC по умолчанию"));
    }

    void checkModes()
    {
        CheckAction check;
        check.ids_file = L"/rules";
        check.ids_file_mode = false;
        check.ifc_file = L"/models/a.ifc";
        auto wizard = openOnPage(namedTask(check), 2);
        TaskActionPage* page = actionPage(*wizard);
        QVERIFY(!child<QCheckBox>(page, "checkFileIDS")->isChecked());
        QCOMPARE(child<QCheckBox>(page, "checkFileIDS")->text(), QStringLiteral("Выбор папки"));
        QCOMPARE(child<QLineEdit>(page, "idsEdit")->text(), QStringLiteral("/rules"));
        QCOMPARE(child<QCheckBox>(page, "checkFileIFC")->text(), QStringLiteral("Выбор файла"));

        child<QCheckBox>(page, "checkFileIFC")->click();
        const auto& stored = std::get<CheckAction>(wizard->GetTaskInfo().action);
        QVERIFY(!stored.ifc_file_mode);
        QCOMPARE(child<QCheckBox>(page, "checkFileIFC")->text(), QStringLiteral("Выбор папки"));
        QVERIFY(child<QLineEdit>(page, "ifcEdit")->text().isEmpty() && stored.ifc_file.empty());
        QVERIFY(!page->isComplete());

        // The choosers follow the modes; a cancelled one keeps its field.
        bool foldersOnly = false;
        wiztest::onModal<QFileDialog>([&foldersOnly](QFileDialog* dialog) {
            foldersOnly = dialog->testOption(QFileDialog::ShowDirsOnly);
            dialog->reject();
        });
        child<QPushButton>(page, "getFileIDS")->click();
        QVERIFY(foldersOnly);
        QVERIFY(child<QLineEdit>(page, "idsEdit")->text() == QStringLiteral("/rules") && stored.ids_file == L"/rules");

        child<QCheckBox>(page, "checkFileIDS")->click();
        QVERIFY(stored.ids_file_mode);
        QFileDialog::FileMode fileMode = QFileDialog::Directory;
        QStringList filters;
        wiztest::onModal<QFileDialog>([&](QFileDialog* dialog) {
            fileMode = dialog->fileMode();
            filters = dialog->nameFilters();
            dialog->reject();
        });
        child<QPushButton>(page, "getFileIDS")->click();
        QCOMPARE(fileMode, QFileDialog::ExistingFile);
        QCOMPARE(filters, QStringList{QStringLiteral("IDS (*.ids)")});
    }

    void choosersCancelledKeepTheirFields_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("edit");
        QTest::addColumn<QString>("expectedTitle");
        QTest::newRow("backup destination")
            << 0 << QStringLiteral("backupToolDestinationButton") << QStringLiteral("backupToolDestinationEdit")
            << QStringLiteral("Выбор папки");
        QTest::newRow("export output") << 1 << QStringLiteral("exportDstPathButton")
                                       << QStringLiteral("exportDstPathEdit") << QStringLiteral("Выбор папки");
        QTest::newRow("executable") << 2 << QStringLiteral("executableButton") << QStringLiteral("executableEdit")
                                    << QStringLiteral("Выбор папки");
        QTest::newRow("IDS file") << 3 << QStringLiteral("getFileIDS") << QStringLiteral("idsEdit")
                                  << QStringLiteral("Выбор файла");
        QTest::newRow("IFC file") << 3 << QStringLiteral("getFileIFC") << QStringLiteral("ifcEdit")
                                  << QStringLiteral("Выбор файла");
    }

    void choosersCancelledKeepTheirFields()
    {
        QFETCH(int, kind);
        QFETCH(QString, button);
        QFETCH(QString, edit);
        QFETCH(QString, expectedTitle);
        auto wizard = openOnPage(namedTask(BackupAction{}), 2);
        TaskActionPage* page = actionPage(*wizard);
        child<QComboBox>(page, "actionComboBox")->setCurrentIndex(kind);
        page->findChild<QLineEdit*>(edit)->setText(QStringLiteral("/tmp"));
        QString title;
        wiztest::onModal<QFileDialog>([&title](QFileDialog* dialog) {
            title = dialog->windowTitle();
            dialog->reject();
        });
        page->findChild<QPushButton*>(button)->click();
        QCOMPARE(title, expectedTitle);
        QCOMPARE(page->findChild<QLineEdit*>(edit)->text(), QStringLiteral("/tmp"));
        const TaskInfo& task = wizard->GetTaskInfo();
        QVERIFY(std::visit(
            [](const auto& a) {
                using A = std::decay_t<decltype(a)>;
                if constexpr (std::is_same_v<A, BackupAction>)
                    return a.destination_path == L"/tmp";
                else if constexpr (std::is_same_v<A, ExportAction>)
                    return a.output_path == L"/tmp";
                else if constexpr (std::is_same_v<A, CommandAction>)
                    return a.executable == "/tmp";
                else
                    return a.ids_file == L"/tmp" || a.ifc_file == L"/tmp";
            },
            task.action));
    }

    void kindChangeTakesOverThePage()
    {
        // The task's own source comes back with its kind.
        auto wizard = openOnPage(namedTask(BackupAction{{}, L"vadro://Хранилище/Проекты", L""}), 2);
        TaskActionPage* page = actionPage(*wizard);
        const Action& action = wizard->GetTaskInfo().action;
        page->ConnectionsManager()->SelectConnection(main_.id);
        child<QLineEdit>(page, "backupToolDestinationEdit")->setText(QStringLiteral("/копии"));
        child<QComboBox>(page, "actionComboBox")->setCurrentIndex(1);
        child<QLineEdit>(page, "exportDstPathEdit")->setText(QStringLiteral("/экспорт"));
        child<QComboBox>(page, "formatComboBox")->setCurrentIndex(4);
        child<QComboBox>(page, "ifcVersionComboBox")->setCurrentIndex(1);
        child<QComboBox>(page, "actionComboBox")->setCurrentIndex(0);
        QVERIFY(std::get<BackupAction>(action) == (BackupAction{main_.id, L"vadro://Хранилище/Проекты", L"/копии"}));

        child<QComboBox>(page, "actionComboBox")->setCurrentIndex(1);
        const auto& exported = std::get<ExportAction>(action);
        QVERIFY(exported.connection_id == main_.id);
        QVERIFY(exported.output_path == L"/экспорт");
        QCOMPARE(exported.format, std::int32_t(IFC));
        QVERIFY(exported.ifc_version == L"4.3");
        QVERIFY(exported.only_changed_documents && exported.modification_times.empty());
        QVERIFY(!child<QGroupBox>(page, "ifcParamsGroup")->isHidden() &&
                child<QGroupBox>(page, "schemeParamsGroup")->isHidden());

        child<QLineEdit>(page, "executableEdit")->setText(QStringLiteral("/bin/echo"));
        child<QLineEdit>(page, "argumentsEdit")->setText(QStringLiteral("a b"));
        child<QComboBox>(page, "actionComboBox")->setCurrentIndex(2);
        QVERIFY(std::get<CommandAction>(action).executable == "/bin/echo");
        QVERIFY(std::get<CommandAction>(action).arguments == L"a b");
        QVERIFY(child<QGroupBox>(page, "connectionsGroupBox")->isHidden() &&
                !child<QGroupBox>(page, "commandParamsGroupBox")->isHidden());

        child<QComboBox>(page, "actionComboBox")->setCurrentIndex(3);
        child<QCheckBox>(page, "checkFileIDS")->click();
        child<QLineEdit>(page, "idsEdit")->setText(QStringLiteral("/rules"));
        child<QComboBox>(page, "actionComboBox")->setCurrentIndex(0);
        child<QComboBox>(page, "actionComboBox")->setCurrentIndex(3);
        const auto& check = std::get<CheckAction>(action);
        QVERIFY(check.ids_file == L"/rules" && check.ids_file_mode && check.ifc_file_mode);
        QVERIFY(child<QCheckBox>(page, "checkFileIDS")->isChecked());
        QCOMPARE(child<QCheckBox>(page, "checkFileIDS")->text(), QStringLiteral("Выбор файла"));

        // A connection without a name does not reach a new action.
        page->ConnectionsManager()->SelectConnection(unnamed_.id);
        child<QComboBox>(page, "actionComboBox")->setCurrentIndex(0);
        QVERIFY(std::get<BackupAction>(action).connection_id.is_nil());
    }

    void browserPageFollowsTheSelection()
    {
        BackupAction backup{main_.id, L"", L"/tmp/dest"};
        auto wizard = openOnPage(namedTask(backup), 3);
        QCOMPARE(wizard->currentId(), 3);
        TaskBrowserPage* page = browserPage(*wizard);
        QCOMPARE(child<QGroupBox>(page, "browserGroupBox")->title(), QStringLiteral("Выбор директории"));
        QVERIFY(child<QCheckBox>(page, "onlyChangedDocsCheckBox")->isHidden());
        QCOMPARE(child<QLineEdit>(page, "pathsLineEdit")->text(), QStringLiteral("vadro://Хранилище/"));
        QVERIFY(wizard->button(QWizard::FinishButton)->isEnabled());
        // Folders only for a backup.
        QAbstractItemModel* model = page->Browser()->View()->model();
        model->fetchMore(QModelIndex());
        QCOMPARE(model->rowCount(), 1);

        const auto resolver = vadro::CreateCore()->OpenSession(main_.address, main_.credentials)->GetPathResolver();
        page->Browser()->ExpandPath(resolver->ResolvePath({L"Проекты"}));
        page->Browser()->SelectFile(L"Тоннель");
        QCOMPARE(child<QLineEdit>(page, "pathsLineEdit")->text(), QStringLiteral("vadro://Хранилище/Проекты/Тоннель"));
        QVERIFY(std::get<BackupAction>(wizard->GetTaskInfo().action).source_path ==
                L"vadro://Хранилище/Проекты/Тоннель");

        QTreeView* view = page->Browser()->View();
        view->selectionModel()->select(view->currentIndex().sibling(0, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
        QVERIFY(child<QLineEdit>(page, "pathsLineEdit")->text().isEmpty());
        QVERIFY(!wizard->button(QWizard::FinishButton)->isEnabled());
        view->clearSelection();
        QVERIFY(child<QLineEdit>(page, "pathsLineEdit")->text().isEmpty());
    }

    void prefixCheck_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QStringList>("selected");
        QTest::newRow("other connection")
            << QStringLiteral("vadro://Другое/Проекты") << QStringLiteral("vadro://Хранилище/") << QStringList();
        QTest::newRow("case differs") << QStringLiteral("vadro://хранилище/Проекты")
                                      << QStringLiteral("vadro://Хранилище/") << QStringList();
        QTest::newRow("empty") << QString() << QStringLiteral("vadro://Хранилище/") << QStringList();
        QTest::newRow("under the prefix") << QStringLiteral("vadro://Хранилище/Проекты/Новый")
                                          << QStringLiteral("vadro://Хранилище/Проекты/Новый") << QStringList();
        QTest::newRow("an existing folder")
            << QStringLiteral("vadro://Хранилище/Проекты/Мост") << QStringLiteral("vadro://Хранилище/Проекты/Мост")
            << QStringList{QStringLiteral("Проекты"), QStringLiteral("Мост")};
    }

    void prefixCheck()
    {
        QFETCH(QString, typed);
        QFETCH(QString, result);
        QFETCH(QStringList, selected);
        auto wizard = openOnPage(namedTask(BackupAction{main_.id, L"", L"/tmp/dest"}), 3);
        TaskBrowserPage* page = browserPage(*wizard);
        auto* line = child<QLineEdit>(page, "pathsLineEdit");
        const auto resolver = vadro::CreateCore()->OpenSession(main_.address, main_.credentials)->GetPathResolver();
        page->Browser()->ExpandPath(resolver->ResolvePath({L"Проекты"}));
        page->Browser()->SelectFile(L"Тоннель");
        // Leaving a line the user did not type in changes nothing.
        line->setText(typed);
        emit line->editingFinished();
        QCOMPARE(line->text(), typed);
        // Enter puts a path outside the connection back to its prefix, says so, the tree follows
        // the line, and the wizard stays open.
        QTest::keyClick(line, Qt::Key_Return);
        QCOMPARE(QString::fromStdWString(std::get<BackupAction>(wizard->GetTaskInfo().action).source_path), result);
        QCOMPARE(child<QLabel>(page, "pathResetLabel")->isVisibleTo(page), !typed.isEmpty() && typed != result);
        QStringList names;
        for (const vadro::BrowserItemInfo& item : page->Browser()->GetSelectionInfo())
            for (const std::wstring& name : resolver->GetPathNames(item.path))
                names << QString::fromStdWString(name);
        QCOMPARE(names, selected);
        QVERIFY(wizard->isVisible());
        // A typed path is not replaced on leaving the line; one outside the connection is refused at Finish.
        line->clear();
        QInputMethodEvent typing;
        typing.setCommitString(typed);
        QApplication::sendEvent(line, &typing);
        emit line->editingFinished();
        QCOMPARE(line->text(), typed);
        auto seen = wiztest::closeNextMessageBox();
        QCOMPARE(wizard->validateCurrentPage(), typed == result);
        *seen->armed = false;
    }

    void exportAndCheckPages()
    {
        ExportAction action = exportTo(main_);
        action.only_changed_documents = false;
        action.modification_times = {{L"vadro://Хранилище/Проекты/Мост", 42}};
        auto wizard = openOnPage(namedTask(action), 3);
        TaskBrowserPage* page = browserPage(*wizard);
        QCOMPARE(child<QGroupBox>(page, "browserGroupBox")->title(), QStringLiteral("Выбор проекта"));
        QVERIFY(!child<QCheckBox>(page, "onlyChangedDocsCheckBox")->isHidden() &&
                !child<QCheckBox>(page, "onlyChangedDocsCheckBox")->isChecked());
        QAbstractItemModel* model = page->Browser()->View()->model();
        model->fetchMore(QModelIndex());
        QCOMPARE(model->rowCount(), 2);
        const auto& stored = std::get<ExportAction>(wizard->GetTaskInfo().action);
        QCOMPARE(stored.modification_times.size(), std::size_t(1));
        child<QCheckBox>(page, "onlyChangedDocsCheckBox")->setChecked(true);
        QVERIFY(stored.only_changed_documents && stored.modification_times.empty());
        child<QCheckBox>(page, "onlyChangedDocsCheckBox")->setChecked(false);
        QVERIFY(!stored.only_changed_documents && stored.modification_times.empty());

        CheckAction check;
        check.ids_file = L"a.ids";
        check.ifc_file = L"b.ifc";
        check.only_changed_documents = false;
        check.modification_times = {{L"/b.ifc", 7}};
        auto checkWizard = openOnPage(namedTask(check), 3);
        TaskBrowserPage* checkPage = browserPage(*checkWizard);
        QCOMPARE(checkWizard->currentId(), 3);
        QVERIFY(checkPage->Browser()->isHidden() && child<QLineEdit>(checkPage, "pathsLineEdit")->isHidden());
        QVERIFY(!child<QCheckBox>(checkPage, "onlyChangedDocsCheckBox")->isHidden());
        QVERIFY(checkPage->isComplete());
        QVERIFY(checkWizard->button(QWizard::FinishButton)->isEnabled());
        QCOMPARE(std::get<CheckAction>(checkWizard->GetTaskInfo().action).modification_times.size(), std::size_t(1));
        child<QCheckBox>(checkPage, "onlyChangedDocsCheckBox")->setChecked(true);
        QVERIFY(std::get<CheckAction>(checkWizard->GetTaskInfo().action).modification_times.empty());
    }

    void storedPathWinsOverANewConnection()
    {
        ExportAction action = exportTo(main_);
        action.project_path = L"vadro://Хранилище/Проекты/Мост";
        auto wizard = openOnPage(namedTask(action), 3);
        TaskBrowserPage* page = browserPage(*wizard);
        QCOMPARE(child<QLineEdit>(page, "pathsLineEdit")->text(), QStringLiteral("vadro://Хранилище/Проекты/Мост"));
        QCOMPARE(page->Browser()->GetSelectionInfo().size(), std::size_t(1));

        wizard->back();
        actionPage(*wizard)->ConnectionsManager()->SelectConnection(mirrorConnection_.id);
        wizard->next();
        QCOMPARE(wizard->currentId(), 3);
        QCOMPARE(child<QLineEdit>(page, "pathsLineEdit")->text(), QStringLiteral("vadro://Хранилище/Проекты/Мост"));
        // The same folder names are opened in the other repository.
        const auto mirrorResolver = vadro::CreateCore()
                                        ->OpenSession(mirrorConnection_.address, mirrorConnection_.credentials)
                                        ->GetPathResolver();
        const auto selection = page->Browser()->GetSelectionInfo();
        QCOMPARE(selection.size(), std::size_t(1));
        QVERIFY(mirrorResolver->GetPathNames(selection.front().path) ==
                (std::vector<std::wstring>{L"Проекты", L"Мост"}));
        // Leaving the untouched line keeps the path; Finish refuses it, naming the connection's prefix.
        emit child<QLineEdit>(page, "pathsLineEdit")->editingFinished();
        QCOMPARE(child<QLineEdit>(page, "pathsLineEdit")->text(), QStringLiteral("vadro://Хранилище/Проекты/Мост"));
        auto seen = wiztest::closeNextMessageBox();
        QVERIFY(!wizard->validateCurrentPage());
        *seen->armed = false;
        QVERIFY(seen->seen && seen->text.contains(QStringLiteral("vadro://Копия/")));
        QVERIFY(std::get<ExportAction>(wizard->GetTaskInfo().action).project_path == L"vadro://Хранилище/Проекты/Мост");
        // A click on the folder the tree shows picks it under the new connection.
        QTreeView* view = page->Browser()->View();
        view->scrollTo(view->currentIndex());
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(view->currentIndex()).center());
        QVERIFY(std::get<ExportAction>(wizard->GetTaskInfo().action).project_path == L"vadro://Копия/Проекты/Мост");
    }

    void storedPaths_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QStringList>("selected");
        QTest::newRow("a folder at the top")
            << QStringLiteral("vadro://Хранилище/Проекты") << QStringLiteral("vadro://Хранилище/Проекты")
            << QStringList{QStringLiteral("Проекты")};
        QTest::newRow("a folder further down") << QStringLiteral("vadro://Хранилище/Проекты/Тоннель")
                                               << QStringLiteral("vadro://Хранилище/Проекты/Тоннель")
                                               << QStringList{QStringLiteral("Проекты"), QStringLiteral("Тоннель")};
        // The folders are gone: nothing of the same name elsewhere is picked instead.
        QTest::newRow("folders that do not exist") << QStringLiteral("vadro://Хранилище/Нет/Проекты")
                                                   << QStringLiteral("vadro://Хранилище/Нет/Проекты") << QStringList();
        QTest::newRow("the bare prefix") << QStringLiteral("vadro://Хранилище/") << QStringLiteral("vadro://Хранилище/")
                                         << QStringList();
        // A text that is no repository path is neither opened nor shown.
        QTest::newRow("no repository path") << QStringLiteral("Проекты/Мост") << QString() << QStringList();
    }

    void storedPaths()
    {
        QFETCH(QString, stored);
        QFETCH(QString, shown);
        QFETCH(QStringList, selected);
        auto wizard = openOnPage(namedTask(BackupAction{main_.id, stored.toStdWString(), L"/tmp/dest"}), 3);
        QCOMPARE(wizard->currentId(), 3);
        TaskBrowserPage* page = browserPage(*wizard);
        QCOMPARE(child<QLineEdit>(page, "pathsLineEdit")->text(), shown);
        QCOMPARE(page->isComplete(), !shown.isEmpty());
        // The task keeps its path as long as the line does not change.
        QCOMPARE(QString::fromStdWString(std::get<BackupAction>(wizard->GetTaskInfo().action).source_path), stored);
        const auto resolver = vadro::CreateCore()->OpenSession(main_.address, main_.credentials)->GetPathResolver();
        QStringList names;
        for (const vadro::BrowserItemInfo& item : page->Browser()->GetSelectionInfo())
            for (const std::wstring& name : resolver->GetPathNames(item.path))
                names << QString::fromStdWString(name);
        QCOMPARE(names, selected);
    }

    void sessionFailureIsReported()
    {
        QTemporaryDir vanishing;
        QVERIFY(wiztest::makeFile(vanishing.filePath(QStringLiteral("a/b.txt"))));
        const vadro_cm::Connection connection =
            wiztest::folderConnection(QStringLiteral("Исчезающее"), vanishing.path());
        wiztest::saveConnections({main_, mirrorConnection_, broken_, unnamed_, connection});
        auto wizard = openOnPage(namedTask(BackupAction{connection.id, L"", L"/tmp/dest"}), 3);
        TaskBrowserPage* page = browserPage(*wizard);
        QCOMPARE(child<QLineEdit>(page, "pathsLineEdit")->text(), QStringLiteral("vadro://Исчезающее/"));
        wizard->back();
        // Passes the connection test, then the folder goes before the page opens its session.
        connect(
            wizard.get(), &QWizard::currentIdChanged, this, [&](int) {}, Qt::UniqueConnection);
        QVERIFY(actionPage(*wizard)->validatePage());
        QVERIFY(vanishing.remove());
        auto seen = wiztest::closeNextMessageBox();
        page->initializePage();
        *seen->armed = false;
        QVERIFY(seen->seen);
        QCOMPARE(seen->icon, QMessageBox::Critical);
        QCOMPARE(seen->title, QStringLiteral("Ошибка соединения"));
        QCOMPARE(seen->buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QVERIFY(seen->text.startsWith(QStringLiteral("Не удалось установить соединение с сервером.\n")));
        QCOMPARE(child<QLineEdit>(page, "pathsLineEdit")->text(), QStringLiteral("vadro://Исчезающее/"));
        QCOMPARE(page->Browser()->View()->model()->rowCount(), 0);
        wiztest::saveConnections({main_, mirrorConnection_, broken_, unnamed_});
    }
};

QTEST_MAIN(TaskWizardPagesTest)
#include "TaskWizardPagesTest.moc"
