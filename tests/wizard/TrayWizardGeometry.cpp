#include "WizardTestSupport.h"

#include "wizard/TaskWizard.h"

#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

// The wizard's size on a real X server, where the screen bounds it.
class TrayWizardGeometry : public QObject
{
    Q_OBJECT

private slots:
    // Five edits walking every page: the wizard stops growing and stays on the screen; a
    // geometry saved larger than the screen and partly off it comes back on it.
    void wizardKeepsToTheScreen()
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            QSKIP("needs an X server");
        wiztest::setApplicationNames();
        QTemporaryDir repo;
        QVERIFY(wiztest::makeFile(repo.filePath(QStringLiteral("Проекты/план.dwg"))));
        const auto connection = wiztest::folderConnection(QStringLiteral("Хранилище"), repo.path());
        wiztest::saveConnections({connection});
        TaskInfo task;
        task.name = L"Экспорт";
        ExportAction action;
        action.connection_id = connection.id;
        action.output_path = L"/tmp/out";
        action.project_path = L"vadro://Хранилище/Проекты";
        task.action = action;
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        QList<QSize> sizes;
        for (int i = 0; i < 6; ++i) {
            TaskWizard wizard(task, wiztest::storageContext());
            wizard.show();
            QVERIFY(QTest::qWaitForWindowExposed(&wizard));
            for (int id = 1; id <= TaskWizard::BrowserPageId; ++id) {
                wizard.next();
                QCOMPARE(wizard.currentId(), id);
            }
            QTest::qWait(50);
            QVERIFY2(area.contains(wizard.frameGeometry()), qPrintable(QString::number(wizard.height())));
            sizes << wizard.size();
            if (i == 4)
                wizard.setGeometry(area.right() - 200, area.bottom() - 150, area.width() + 400, area.height() + 300);
            QTRY_VERIFY(i != 4 || wizard.height() > area.height());
        }
        QCOMPARE(sizes.at(4), sizes.at(1));
    }
};

QTEST_MAIN(TrayWizardGeometry)
#include "TrayWizardGeometry.moc"
