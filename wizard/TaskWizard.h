#pragma once

// The modal dialog that creates and edits one task. It works on its own copy of the
// record it was built from; every page writes into that copy as the user edits, and the
// caller reads it back with GetTaskInfo after exec() returned Accepted; accepting first
// saves the connection list as edited on the action page. Cancelling drops the copy and
// changes nothing else.

#include "model/TaskInfo.h"
#include "repository/Vadro.h"
#include "wizard/WizardContext.h"

#include <QWizard>

#include <functional>
#include <memory>

class TaskWizard : public QWizard
{
    Q_OBJECT

public:
    enum PageId
    {
        InfoPageId = 0,
        TriggerPageId = 1,
        ActionPageId = 2,
        BrowserPageId = 3,
    };

    // Works on a copy of `task`; `context` connects it to the program around it.
    TaskWizard(const TaskInfo& task, WizardContext context, QWidget* parent = nullptr);
    // Writes the window geometry into the settings, whether accepted or cancelled.
    ~TaskWizard() override;

    // Titles the wizard for a change to a stored task rather than a new one.
    void SetEditing();
    // Grows the wizard of `page` (when it has one) until every widget of the page can have
    // its preferred size, never past the screen's available area; called after groups
    // appear or change their text. A page not yet shown is fitted once it shows.
    static void GrowToFit(QWizardPage* page);

    TaskInfo& GetTaskInfo() { return task_; }

    // Next and Finish are refused, with a message, while a text of the task holds a
    // character that the store file cannot hold; then the current page decides.
    bool validateCurrentPage() override;
    // The connection picked and tested on the action page; the folders page opens its
    // session with it. Not part of the task, which keeps only its identifier.
    vadro_cm::Connection& GetConnection() { return connection_; }
    // Finish writes the connection list first; a failed write keeps the wizard open.
    void done(int result) override;

private:
    std::function<bool()> saveConnections_;
    bool finishing_ = false;
    vadro_cm::Connection connection_;
    TaskInfo task_;
};
