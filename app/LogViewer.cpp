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
    , ui(new Ui::LogViewer)
    , path(filePath)
{
    ui->setupUi(this);
    setWindowTitle(tr("Журнал: %1").arg(taskName));
    setAttribute(Qt::WA_DeleteOnClose);
    ui->logTextEdit->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    // A folder is watched too: a log that does not exist yet or is removed and written
    // again shows up there.
    connect(&watcher, &QFileSystemWatcher::fileChanged, this, &LogViewer::readNew);
    connect(&watcher, &QFileSystemWatcher::directoryChanged, this, &LogViewer::readNew);
    const QString folder = QFileInfo(path).absolutePath();
    if (QFileInfo::exists(folder))
        watcher.addPath(folder);
    reload();
}

LogViewer::~LogViewer() = default;

void LogViewer::watchFile()
{
    if (!watcher.files().contains(path) && QFileInfo::exists(path))
        watcher.addPath(path);
}

void LogViewer::reload()
{
    ui->logTextEdit->clear();
    decoder.reset(QTextCodec::codecForName("UTF-8")->makeDecoder());
    offset = 0;
    shown.reset();
    QFile file(path);
    if (file.open(QIODevice::ReadOnly) && file.size() > kShownTail) {
        // Starts at a line boundary inside the tail, so no line is shown cut.
        file.seek(file.size() - kShownTail);
        file.readLine();
        offset = file.pos();
    }
    readNew();
}

void LogViewer::readNew()
{
    watchFile();
    const QString older = common::toQString(execution::OlderLogPath(common::toPath(path)));
    ui->olderLogLabel->setVisible(QFileInfo(older).isFile());
    ui->olderLogLabel->setText(tr("Более ранние записи журнала — в файле %1").arg(older));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (offset > 0)
            reload();
        return;
    }
    struct stat st
    {};
    if (::fstat(file.handle(), &st) != 0)
        return;
    const Identity identity{static_cast<quint64>(st.st_dev), static_cast<quint64>(st.st_ino)};
    if (shown && *shown != identity) {
        // Another file under the same name: the watch moves to it and it is read from its start.
        watcher.removePath(path);
        reload();
        return;
    }
    if (file.size() < offset) {
        reload();
        return;
    }
    shown = identity;
    if (file.size() == offset)
        return;
    file.seek(offset);
    const QByteArray bytes = file.readAll();
    offset += bytes.size();

    QPlainTextEdit* edit = ui->logTextEdit;
    QScrollBar* bar = edit->verticalScrollBar();
    // Follows the end only while the reader is there; one who scrolled back stays put.
    const bool atEnd = bar->value() == bar->maximum();
    QTextCursor cursor(edit->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(decoder->toUnicode(bytes));
    if (atEnd) {
        edit->moveCursor(QTextCursor::End);
        bar->setValue(bar->maximum());
    }
}
