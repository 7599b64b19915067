#pragma once

// Page 0 of the task wizard: the task's name and description.

#include <QWizardPage>

#include <memory>

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
    std::unique_ptr<Ui::TaskInfoPage> ui;
    TaskInfo* task_ = nullptr;
};
