#pragma once

// Page 3 of the task wizard: the repository folder of a backup or the project of an
// export, picked in a browser of the repository on the chosen connection, and the option
// to process only changed documents.

#include "repository/Vadro.h"

#include <QWizardPage>

#include <memory>
#include <string>

class TaskWizard;

namespace Ui {
class TaskBrowserPage;
}

namespace vadro_browser {
class BrowserWidget;
}

class TaskBrowserPage : public QWizardPage
{
    Q_OBJECT

public:
    explicit TaskBrowserPage(std::shared_ptr<vadro::ICore> core, QWidget* parent = nullptr);
    ~TaskBrowserPage() override;

    // Connects the widgets to the wizard's working copy and chosen connection, after setting
    // the only-changed box from an export or a check (that first setting keeps the recorded
    // modification times).
    void ConnectHandlers(TaskWizard& wizard);

    void initializePage() override;
    bool isComplete() const override;
    // Refuses, with the reason, a path that does not lie under the chosen connection, and a
    // backup whose destination is its source folder or lies inside it: the run would refuse
    // it anyway.
    bool validatePage() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

    // "vadro://" + the chosen connection's name + "/", as of the last initialisation.
    const std::wstring& Prefix() const { return prefix_; }
    // The repository browser above the path line; owned by the page.
    vadro_browser::BrowserWidget* Browser() const { return browser_; }

private:
    void SelectionToPath();
    // Enter: a path outside the connection is put back to its prefix, saying so.
    void ResetToPrefix();
    // Leaving a typed line: a path outside the connection is pointed out, not replaced.
    void CheckTypedPath();
    // Shows `text` in the line and opens and selects its item in the tree; a text that is
    // no repository path changes nothing.
    void ShowPath(const std::wstring& text);
    // Sets the line as the page's own text, not the user's.
    void SetLine(const QString& text);
    // "vadro://" + the name of the connection chosen now + "/".
    QString ConnectionPrefix() const;

    std::unique_ptr<Ui::TaskBrowserPage> ui_;
    vadro_browser::BrowserWidget* browser_ = nullptr;
    std::shared_ptr<vadro::ICore> core_;
    std::wstring prefix_;
    std::shared_ptr<vadro::ISession> session_;
    std::shared_ptr<vadro::IPathResolver> resolver_;
    TaskWizard* wizard_ = nullptr;
    // The user has typed in the line since the page last set it.
    bool typed_ = false;
};
