#include "LogViewer.h"

#include "ui_LogViewer.h"

#include "common/Text.h"
#include "execution/TaskLog.h"

#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QScrollBar>
#include <QTextCodec>

#include <sys/stat.h>

LogViewer::LogViewer(const QString& filePath, const QString& taskName, QWidget* parent)
    : QDialog(parent)
    , ui_(new Ui::LogViewer)
    , path_(filePath)
{
    ui_->setupUi(this);
    setWindowTitle(tr("Журнал: %1").arg(taskName));
    setAttribute(Qt::WA_DeleteOnClose);
    ui_->logTextEdit->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    // A folder is watched too: a log that does not exist yet or is removed and written
    // again shows up there.
    connect(&watcher_, &QFileSystemWatcher::fileChanged, this, &LogViewer::ReadNew);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, &LogViewer::ReadNew);
    const QString folder = QFileInfo(path_).absolutePath();
    if (QFileInfo::exists(folder))
        watcher_.addPath(folder);
    Reload();
}

LogViewer::~LogViewer() = default;

void LogViewer::WatchFile()
{
    if (!watcher_.files().contains(path_) && QFileInfo::exists(path_))
        watcher_.addPath(path_);
}

void LogViewer::Reload()
{
    ui_->logTextEdit->clear();
    decoder_.reset(QTextCodec::codecForName("UTF-8")->makeDecoder());
    offset_ = 0;
    shown_.reset();
    QFile file(path_);
    if (file.open(QIODevice::ReadOnly) && file.size() > kShownTail) {
        // Starts at a line boundary inside the tail, so no line is shown cut.
        file.seek(file.size() - kShownTail);
        file.readLine();
        offset_ = file.pos();
    }
    ReadNew();
}

void LogViewer::ReadNew()
{
    WatchFile();
    const QString older = common::toQString(execution::OlderLogPath(common::toPath(path_)));
    ui_->olderLogLabel->setVisible(QFileInfo(older).isFile());
    ui_->olderLogLabel->setText(tr("Более ранние записи журнала — в файле %1").arg(older));
    QFile file(path_);
    if (!file.open(QIODevice::ReadOnly)) {
        if (offset_ > 0)
            Reload();
        return;
    }
    struct stat st
    {};
    if (::fstat(file.handle(), &st) != 0)
        return;
    const Identity identity{static_cast<quint64>(st.st_dev), static_cast<quint64>(st.st_ino)};
    if (shown_ && *shown_ != identity) {
        // Another file under the same name: the watch moves to it and it is read from its start.
        watcher_.removePath(path_);
        Reload();
        return;
    }
    if (file.size() < offset_) {
        Reload();
        return;
    }
    shown_ = identity;
    if (file.size() == offset_)
        return;
    file.seek(offset_);
    const QByteArray bytes = file.readAll();
    offset_ += bytes.size();

    QPlainTextEdit* edit = ui_->logTextEdit;
    QScrollBar* bar = edit->verticalScrollBar();
    // Follows the end only while the reader is there; one who scrolled back stays put.
    const bool atEnd = bar->value() == bar->maximum();
    QTextCursor cursor(edit->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(decoder_->toUnicode(bytes));
    if (atEnd) {
        edit->moveCursor(QTextCursor::End);
        bar->setValue(bar->maximum());
    }
}
