#pragma once

// Page 0 of the task wizard: the task's name and description.

#include <QWizardPage>

class QFormLayout;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QVBoxLayout;
class TaskInfo;

class TaskInfoPage : public QWizardPage
{
    Q_OBJECT

public:
    explicit TaskInfoPage(QWidget* parent = nullptr);

    // Connects the widgets to the working copy of `task`, which outlives the page.
    void ConnectHandlers(TaskInfo& task);

    void initializePage() override;
    bool isComplete() const override;

    QVBoxLayout* verticalLayout;
    QFormLayout* formLayout;
    QLabel* nameLabel;
    QLineEdit* nameEdit;
    QLabel* descriptionLable;
    QPlainTextEdit* descriptionEdit;

private:
    TaskInfo* task_ = nullptr;
};
