#include "AutoStart.h"

#include "common/Logging.h"
#include "common/Text.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QStandardPaths>
#include <QtDebug>

#include <exception>
#include <system_error>

namespace fs = std::filesystem;

namespace {

using common::toPath;

} // namespace

fs::path desktopEntryName()
{
    return toPath(QGuiApplication::desktopFileName()).replace_extension(".desktop");
}

fs::path autoStartEntryPath()
{
    return toPath(QStandardPaths::writableLocation(QStandardPaths::ConfigLocation)) / "autostart" / desktopEntryName();
}

bool AutoStartEnabled()
{
    std::error_code error;
    const fs::file_status status = fs::status(autoStartEntryPath(), error);
    return status.type() != fs::file_type::not_found && status.type() != fs::file_type::none;
}

QString setupAutoStartLinux(bool enable)
{
    QString reason;
    try {
        const fs::path target = autoStartEntryPath();
        if (!enable) {
            fs::remove(target);
            return {};
        }
        const fs::path source = toPath(QCoreApplication::applicationDirPath()) / desktopEntryName();
        std::error_code error;
        if (!fs::is_regular_file(source, error))
            reason = QCoreApplication::translate("MainWindow", "Рядом с программой нет файла %1.")
                         .arg(common::toQString(source));
        fs::create_directories(target.parent_path());
        fs::copy_file(source, target);
    } catch (const std::exception& e) {
        if (reason.isEmpty())
            reason = QString::fromLocal8Bit(e.what());
        // QDebug quotes a QString, which the message is meant to show.
        qCWarning(lcApp) << "Exception was thrown in `setupAutoStartLinux`: " << QString::fromLocal8Bit(e.what());
    }
    return reason;
}
