#include "wizard/TaskInfoPage.h"

#include "model/TaskInfo.h"
#include "ui_TaskInfoPage.h"

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
    connect(ui->descriptionEdit, &QPlainTextEdit::textChanged, this,
            [this] { task_->description = ui->descriptionEdit->toPlainText().toStdWString(); });
    connect(ui->nameEdit, &QLineEdit::textChanged, this, &QWizardPage::completeChanged);
}

void TaskInfoPage::initializePage()
{
    QWizardPage::initializePage();
    if (task_ == nullptr)
        return;
    ui->nameEdit->setText(QString::fromStdWString(task_->name));
    ui->descriptionEdit->setPlainText(QString::fromStdWString(task_->description));
}

bool TaskInfoPage::isComplete() const
{
    return !ui->nameEdit->text().isEmpty();
}
