#include "wizard/TaskInfoPage.h"

#include "model/TaskInfo.h"

#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QVBoxLayout>

TaskInfoPage::TaskInfoPage(QWidget* parent)
    : QWizardPage(parent)
{
    setObjectName(QStringLiteral("TaskInfoPage"));
    setTitle(tr("Создать задачу"));

    verticalLayout = new QVBoxLayout(this);
    verticalLayout->setObjectName(QStringLiteral("verticalLayout"));
    formLayout = new QFormLayout;
    formLayout->setObjectName(QStringLiteral("formLayout"));

    nameLabel = new QLabel(tr("Название:"), this);
    nameLabel->setObjectName(QStringLiteral("nameLabel"));
    nameEdit = new QLineEdit(this);
    nameEdit->setObjectName(QStringLiteral("nameEdit"));
    nameLabel->setBuddy(nameEdit);
    formLayout->addRow(nameLabel, nameEdit);

    descriptionLable = new QLabel(tr("Описание:"), this);
    descriptionLable->setObjectName(QStringLiteral("descriptionLable"));
    descriptionEdit = new QPlainTextEdit(this);
    descriptionEdit->setObjectName(QStringLiteral("descriptionEdit"));
    descriptionEdit->setTabChangesFocus(true);
    descriptionLable->setBuddy(descriptionEdit);
    formLayout->addRow(descriptionLable, descriptionEdit);

    verticalLayout->addLayout(formLayout);
}

void TaskInfoPage::ConnectHandlers(TaskInfo& task)
{
    task_ = &task;
    connect(nameEdit, &QLineEdit::textChanged, this,
            [this](const QString& text) { task_->name = text.toStdWString(); });
    connect(descriptionEdit, &QPlainTextEdit::textChanged, this,
            [this] { task_->description = descriptionEdit->toPlainText().toStdWString(); });
    connect(nameEdit, &QLineEdit::textChanged, this, &QWizardPage::completeChanged);
}

void TaskInfoPage::initializePage()
{
    QWizardPage::initializePage();
    if (task_ == nullptr)
        return;
    nameEdit->setText(QString::fromStdWString(task_->name));
    descriptionEdit->setPlainText(QString::fromStdWString(task_->description));
}

bool TaskInfoPage::isComplete() const
{
    return !nameEdit->text().isEmpty();
}
