#include "execution/CliPath.h"

#include "common/Logging.h"
#include "common/Text.h"

#include <QCoreApplication>
#include <QSettings>
#include <QString>

#include <algorithm>

namespace {
std::filesystem::path ApplicationDir()
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
    return ApplicationDir() / "config.ini";
}

std::chrono::minutes ToolTimeoutFrom(const std::filesystem::path& configIni, std::string* unused)
{
    constexpr std::chrono::minutes kFallback{240};
    QSettings settings(common::toQString(configIni), QSettings::IniFormat);
    const QVariant value = settings.value(QStringLiteral("Limits/ToolTimeoutMinutes"));
    if (!value.isValid())
        return kFallback;
    // Whole minutes in decimal digits only: "0.5", "-3" or "1e3" are not taken for anything.
    const QString text = value.toString().trimmed();
    bool ok = !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    const qlonglong minutes = ok ? text.toLongLong(&ok) : 0;
    // Past a century the steady clock's deadline would overflow.
    if (ok && minutes > 0 && minutes <= 100LL * 366 * 24 * 60)
        return std::chrono::minutes(minutes);
    if (unused != nullptr)
        *unused = QStringLiteral("%1: Limits/ToolTimeoutMinutes=\"%2\" is not a whole number of minutes from 1 to %3; "
                                 "a tool run may take %4 minutes.")
                      .arg(common::toQString(configIni), value.toStringList().join(QLatin1Char(',')))
                      .arg(100LL * 366 * 24 * 60)
                      .arg(kFallback.count())
                      .toStdString();
    return kFallback;
}

std::chrono::minutes ToolTimeout()
{
    static const std::chrono::minutes timeout = [] {
        std::string unused;
        const auto minutes = ToolTimeoutFrom(CliConfigPath(), &unused);
        if (!unused.empty())
            qCWarning(lcExecution).noquote() << common::decodeUtf8(unused);
        return minutes;
    }();
    return timeout;
}

std::filesystem::path CliExecutablePath()
{
    static const std::filesystem::path path = CliExecutablePathFrom(CliConfigPath());
    return path;
}
