#include "wizard/TaskInfoPage.h"

#include "model/TaskInfo.h"
#include "ui_TaskInfoPage.h"

#include <QSignalBlocker>

TaskInfoPage::TaskInfoPage(QWidget* parent)
    : QWizardPage(parent)
    , ui_(std::make_unique<Ui::TaskInfoPage>())
{
    ui_->setupUi(this);
}

TaskInfoPage::~TaskInfoPage() = default;

void TaskInfoPage::ConnectHandlers(TaskInfo& task)
{
    task_ = &task;
    connect(ui_->nameEdit, &QLineEdit::textChanged, this,
            [this](const QString& text) { task_->name = text.toStdWString(); });
    connect(ui_->descriptionEdit, &QPlainTextEdit::textChanged, this, [this] {
        const QString text = ui_->descriptionEdit->toPlainText();
        task_->description = text == shownDescription_ ? storedDescription_ : text.toStdWString();
    });
    connect(ui_->nameEdit, &QLineEdit::textChanged, this, &QWizardPage::completeChanged);
}

void TaskInfoPage::initializePage()
{
    QWizardPage::initializePage();
    if (task_ == nullptr)
        return;
    ui_->nameEdit->setText(QString::fromStdWString(task_->name));
    storedDescription_ = task_->description;
    {
        const QSignalBlocker blocker(ui_->descriptionEdit);
        ui_->descriptionEdit->setPlainText(QString::fromStdWString(storedDescription_));
    }
    shownDescription_ = ui_->descriptionEdit->toPlainText();
}

bool TaskInfoPage::isComplete() const
{
    return !ui_->nameEdit->text().isEmpty();
}
