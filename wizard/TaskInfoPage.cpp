#include "wizard/TaskInfoPage.h"

#include "model/TaskInfo.h"
#include "ui_TaskInfoPage.h"

#include <QSignalBlocker>

TaskInfoPage::TaskInfoPage(QWidget* parent)
    : QWizardPage(parent)
    , ui(std::make_unique<Ui::TaskInfoPage>())
{
    ui->setupUi(this);
}

TaskInfoPage::~TaskInfoPage() = default;

void TaskInfoPage::ConnectHandlers(TaskInfo& task)
{
    task_ = &task;
    connect(ui->nameEdit, &QLineEdit::textChanged, this,
            [this](const QString& text) { task_->name = text.toStdWString(); });
    connect(ui->descriptionEdit, &QPlainTextEdit::textChanged, this, [this] {
        const QString text = ui->descriptionEdit->toPlainText();
        task_->description = text == shownDescription_ ? storedDescription_ : text.toStdWString();
    });
    connect(ui->nameEdit, &QLineEdit::textChanged, this, &QWizardPage::completeChanged);
}

void TaskInfoPage::initializePage()
{
    QWizardPage::initializePage();
    if (task_ == nullptr)
        return;
    ui->nameEdit->setText(QString::fromStdWString(task_->name));
    storedDescription_ = task_->description;
    {
        const QSignalBlocker blocker(ui->descriptionEdit);
        ui->descriptionEdit->setPlainText(QString::fromStdWString(storedDescription_));
    }
    shownDescription_ = ui->descriptionEdit->toPlainText();
}

bool TaskInfoPage::isComplete() const
{
    return !ui->nameEdit->text().isEmpty();
}
