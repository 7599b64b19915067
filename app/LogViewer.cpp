#include "LogViewer.h"

#include "ui_LogViewer.h"

#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QScrollBar>
#include <QTextCodec>

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
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (offset > 0)
            reload();
        return;
    }
    if (file.size() < offset) {
        reload();
        return;
    }
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
