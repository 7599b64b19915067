#pragma once

// Page 0 of the task wizard: the task's name and description.

#include <QWizardPage>

#include <QString>

#include <memory>
#include <string>

class TaskInfo;

namespace Ui {
class TaskInfoPage;
}

class TaskInfoPage : public QWizardPage
{
    Q_OBJECT

public:
    explicit TaskInfoPage(QWidget* parent = nullptr);
    ~TaskInfoPage() override;

    // Connects the widgets to the working copy of `task`, which outlives the page.
    void ConnectHandlers(TaskInfo& task);

    void initializePage() override;
    bool isComplete() const override;

private:
    std::unique_ptr<Ui::TaskInfoPage> ui_;
    TaskInfo* task_ = nullptr;
    // The description as stored and as the box shows it: the box turns line ends and no-break
    // spaces into its own, so an unedited text is written back as it was stored.
    std::wstring storedDescription_;
    QString shownDescription_;
};
