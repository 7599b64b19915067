#include "execution/CliPath.h"

#include "common/Text.h"

#include <QCoreApplication>
#include <QSettings>
#include <QString>

namespace {
std::filesystem::path applicationDir()
{
    // Without an application object (command-line tools, tests) the executable is found
    // through /proc.
    if (QCoreApplication::instance() != nullptr)
        return common::toPath(QCoreApplication::applicationDirPath());
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : self.parent_path();
}
} // namespace

std::filesystem::path CliExecutablePathFrom(const std::filesystem::path& configIni)
{
    QSettings settings(common::toQString(configIni), QSettings::IniFormat);
    QString dir = settings.value(QStringLiteral("Paths/Kalvor-III")).toString();
    if (dir.isEmpty())
        dir = QStringLiteral("/opt/kalvorbim/bin");
    return common::toPath(dir) / "KalvorCLI";
}

std::filesystem::path CliConfigPath()
{
    return applicationDir() / "config.ini";
}

std::chrono::minutes ToolTimeoutFrom(const std::filesystem::path& configIni)
{
    constexpr std::chrono::minutes fallback{240};
    QSettings settings(common::toQString(configIni), QSettings::IniFormat);
    bool ok = false;
    const qlonglong minutes = settings.value(QStringLiteral("Limits/ToolTimeoutMinutes")).toLongLong(&ok);
    // Past a century the steady clock's deadline would overflow.
    if (!ok || minutes <= 0 || minutes > 100LL * 366 * 24 * 60)
        return fallback;
    return std::chrono::minutes(minutes);
}

std::chrono::minutes ToolTimeout()
{
    static const std::chrono::minutes timeout = ToolTimeoutFrom(CliConfigPath());
    return timeout;
}

std::filesystem::path CliExecutablePath()
{
    static const std::filesystem::path path = CliExecutablePathFrom(CliConfigPath());
    return path;
}
