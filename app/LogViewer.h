#pragma once

// A read-only window on one task's log file. It opens scrolled to the end and follows
// lines appended while it is open: the file system tells it of each write, nothing polls.
// A file that is removed, replaced by another (a rename over it, the log's rotation) or cut
// shorter is read again from its start. Very long logs are shown from their last megabyte.
// While the log has an older file, a line above the text names it. GUI thread only.

#include <QDialog>
#include <QFileSystemWatcher>
#include <QString>
#include <QTextDecoder>

#include <memory>
#include <optional>

namespace Ui {
class LogViewer;
}

class LogViewer : public QDialog
{
    Q_OBJECT

public:
    // `filePath` is the log (UTF-8 lines); `taskName` goes into the title.
    LogViewer(const QString& filePath, const QString& taskName, QWidget* parent = nullptr);
    ~LogViewer() override;

    const QString& FilePath() const { return path_; }

    // How much of a long log is shown when the viewer opens.
    static constexpr qint64 kShownTail = 1024 * 1024;

private:
    // Appends what was written since the last read; starts over when the file shrank.
    void ReadNew();
    void Reload();
    void WatchFile();

    std::unique_ptr<Ui::LogViewer> ui_;
    QString path_;
    QFileSystemWatcher watcher_;
    std::unique_ptr<QTextDecoder> decoder_;
    qint64 offset_ = 0;
    // The file that was read (device and inode); none before the first read.
    struct Identity
    {
        quint64 device = 0;
        quint64 inode = 0;
        bool operator!=(const Identity& o) const { return device != o.device || inode != o.inode; }
    };
    std::optional<Identity> shown_;
};
