#include "StoreMessages.h"

#include "common/Text.h"
#include "scheduler/TaskStorage.h"

#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QStatusBar>

bool StoreMessages::MayQuit()
{
    // A second quit while the question is open waits for its answer.
    if (quitting_)
        return false;
    TaskStorage& storage = TaskStorage::Instance();
    if (!storage.HasUnsavedChanges())
        return true;
    quitting_ = true;
    const bool saved = storage.Save();
    if (saved) {
        quitting_ = false;
        return true;
    }
    QMessageBox question(QMessageBox::Warning, window_->windowTitle(),
                         tr("Не удалось сохранить список задач: %1\n\nЕсли выйти сейчас, несохранённые изменения "
                            "пропадут. Выйти без сохранения?")
                             .arg(saveFailure_),
                         QMessageBox::Yes | QMessageBox::No, window_);
    question.setObjectName(QStringLiteral("unsavedQuitQuestion"));
    question.setDefaultButton(QMessageBox::No);
    question.setEscapeButton(QMessageBox::No);
    const bool discard = question.exec() == QMessageBox::Yes;
    quitting_ = false;
    return discard;
}

void StoreMessages::UpdateSaveState()
{
    const bool unsaved = TaskStorage::Instance().HasUnsavedChanges();
    if (unsaved && !unsavedLabel_) {
        unsavedLabel_ = new QLabel(tr("Изменения не сохранены"), window_);
        unsavedLabel_->setObjectName(QStringLiteral("unsavedChangesLabel"));
        window_->statusBar()->addPermanentWidget(unsavedLabel_);
    }
    if (unsavedLabel_) {
        unsavedLabel_->setVisible(unsaved);
        unsavedLabel_->setToolTip(saveFailure_);
        // The message of the failed save goes with the failure.
        if (!unsaved && window_->statusBar()->currentMessage().startsWith(tr("Список задач не сохранён")))
            window_->statusBar()->clearMessage();
    }
}

void StoreMessages::OnSaveFailed(const QString& reason)
{
    const QString text = tr("Не удалось сохранить список задач: изменение не сохранено в файле и пропадёт, если "
                            "программа завершится до следующего удачного сохранения.") +
                         QLatin1Char('\n') + reason;
    saveFailure_ = reason;
    window_->statusBar()->showMessage(tr("Список задач не сохранён: %1").arg(reason));
    UpdateSaveState();
    // Quitting asks its own question with this reason.
    if (quitting_)
        return;
    if (!saveFailedBox_) {
        saveFailedBox_ = new QMessageBox(QMessageBox::Warning, window_->windowTitle(), text, QMessageBox::Ok, window_);
        saveFailedBox_->setObjectName(QStringLiteral("saveFailedMessage"));
        saveFailedBox_->setAttribute(Qt::WA_DeleteOnClose);
        saveFailedBox_->setWindowModality(Qt::NonModal);
    }
    saveFailedBox_->setText(text);
    saveFailedBox_->show();
    saveFailedBox_->raise();
}

void StoreMessages::ReportStoreDamage()
{
    TaskStorage& storage = TaskStorage::Instance();
    TaskStorage::StoreDamage damage = storage.Damage();
    if (damage.reason.empty())
        return;
    // The copy is made by the first save; made now, its place can be named.
    if (damage.keptAs.empty()) {
        storage.Save();
        damage = storage.Damage();
    }
    QString text = tr("Файл задач %1 повреждён: %2.")
                       .arg(common::toQString(storage.StorePath()), QString::fromStdString(damage.reason));
    text += QLatin1Char('\n') +
            tr("Восстановлено задач: %1, не удалось прочитать: %2.").arg(damage.recovered).arg(damage.dropped);
    if (!damage.keptAs.empty())
        text += QLatin1Char('\n') + tr("Копия повреждённого файла сохранена: %1").arg(common::toQString(damage.keptAs));
    else
        text += QLatin1Char('\n') + tr("Копию повреждённого файла сохранить не удалось; файл задач не перезаписан.");
    auto* box = new QMessageBox(QMessageBox::Warning, window_->windowTitle(), text, QMessageBox::Ok, window_);
    box->setObjectName(QStringLiteral("storeDamageMessage"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
}
