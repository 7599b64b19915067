#include "execution/Backup.h"

#include "common/Utf8.h"
#include "execution/Actions.h"
#include "execution/BackupFiles.h"
#include "execution/BackupRun.h"
#include "execution/BackupVersions.h"
#include "execution/RunTexts.h"
#include "repository/Connections.h"
#include "repository/VadroPath.h"

#include <QString>

#include <cstdint>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include <time.h>

namespace execution {
namespace {

using namespace backup;

// The folder a backup copies, with the session it is read through.
struct Source
{
    std::shared_ptr<vadro::ISession> session;
    vadro::IdPath ids;
    std::vector<vadro::LocalIdentity> andHolders; // see SourceAndHolders()
};

// Opens the source folder of a request; empty, with `reason` set, when it cannot be found.
std::optional<Source> OpenSource(const BackupRequest& request, vadro::ICore& core, const fs::path& connectionsFile,
                                 std::wstring& reason)
{
    std::wstring server;
    std::vector<std::wstring> components;
    std::optional<vadro::Uuid> id;
    if (!path::utils::ParseVadroPath(request.source_path, server, components, id, true)) {
        reason = RunTexts::Text("неверно задан путь %1", request.source_path);
        return std::nullopt;
    }
    const auto connection = FindSavedConnection(request.connection_id, connectionsFile);
    if (!connection) {
        reason = RunTexts::Text("не найдено подключение к ХД для %1", request.source_path);
        return std::nullopt;
    }
    reason = PathConnectionProblem(request.source_path, server, *connection, connectionsFile);
    if (!reason.empty())
        return std::nullopt;
    Source source{core.OpenSession(connection->address, connection->credentials), {}, {}};
    source.ids = source.session->GetPathResolver()->ResolvePath(components);
    if (source.ids.size() != components.size()) {
        reason = RunTexts::Text("не найдена папка %1", request.source_path);
        return std::nullopt;
    }
    source.andHolders = SourceAndHolders(*source.session, source.ids, connection->address);
    return source;
}

// Why the request's destination cannot take a copy of the source; empty when it can.
std::wstring DestinationProblem(const BackupRequest& request, const Source& source)
{
    if (request.destination_path.empty())
        return RunTexts::Text("не задана папка назначения");
    // A destination that holds the source is refused once it is open (BackupRun::MakeDestination).
    return source.andHolders.empty() ? std::wstring()
                                     : DestinationOverlapProblem(request.destination_path, source.andHolders.front());
}

void BackUp(const BackupRequest& request, vadro::ICore& core, const fs::path& connectionsFile,
            const std::atomic<bool>& stop, BackupResult& result)
{
    const std::optional<Source> source = OpenSource(request, core, connectionsFile, result.reason);
    if (!source)
        return;
    result.reason = DestinationProblem(request, *source);
    if (!result.reason.empty())
        return;
    // The version is named after the run's start, read from the precise clock (the coarse one
    // may still tell the previous second).
    std::time_t started = request.started;
    struct timespec now
    {};
    if (started == 0 && ::clock_gettime(CLOCK_REALTIME, &now) == 0)
        started = now.tv_sec;
    const std::string version = request.keep_versions > 0 ? VersionName(started) : "";
    BackupRun run(*source->session, stop, result, fs::u8path(common::toUtf8(request.destination_path)),
                  source->andHolders, request.keep_versions, common::toUtf8(request.source_path), version);
    run.CopyAll(source->ids, request.source_path);
    if (stop.load(std::memory_order_relaxed) && result.reason.empty())
        result.reason = RunTexts::Text("прервано при завершении программы");
    run.Finish();
    result.ok = result.reason.empty() && result.failed == 0;
}

// The text on one line: control characters (names may hold line feeds) are written as
// visible escapes, so that one item is one log line.
std::wstring OneLine(const std::wstring& text)
{
    std::wstring line;
    line.reserve(text.size());
    for (const wchar_t c : text) {
        const auto code = static_cast<std::uint32_t>(c);
        if (c == L'\n')
            line += L"\\n";
        else if (c == L'\r')
            line += L"\\r";
        else if (c == L'\t')
            line += L"\\t";
        else if (code < 0x20 || (code >= 0x7f && code < 0xa0) || code == 0x2028 || code == 0x2029) {
            wchar_t escape[16];
            std::swprintf(escape, sizeof escape / sizeof *escape, code < 0x100 ? L"\\x%02x" : L"\\u%04x", code);
            line += escape;
        } else
            line += c;
    }
    return line;
}

} // namespace

std::wstring DestinationOverlapProblem(const std::wstring& destination, const vadro::LocalIdentity& source)
{
    switch (backup::OverlapOf(std::filesystem::u8path(common::toUtf8(destination)), source)) {
    case backup::Overlap::Same:
        return RunTexts::Text("папка назначения %1 совпадает с копируемой папкой", destination);
    case backup::Overlap::Inside:
        return RunTexts::Text("папка назначения %1 находится внутри копируемой папки", destination);
    case backup::Overlap::None:
        break;
    }
    return {};
}

BackupResult RunBackup(const BackupRequest& request, vadro::ICore& core, const std::filesystem::path& connectionsFile,
                       const std::atomic<bool>* stop)
{
    static const std::atomic<bool> never{false};
    BackupResult result;
    try {
        BackUp(request, core, connectionsFile, stop ? *stop : never, result);
    } catch (const vadro::VadroError& e) {
        result.reason = e.GetDescription();
    } catch (const std::exception& e) {
        result.reason = QString::fromLocal8Bit(e.what()).toStdWString();
    }
    return result;
}

std::vector<std::wstring> BackupReport(const BackupResult& result)
{
    const auto text = [](const char* source) { return RunTexts::Translate(source); };
    const auto count = [](std::size_t n) { return static_cast<qulonglong>(n); };
    if (result.ok && !result.version.empty())
        return {text("Резервное копирование завершено: версия %1, скопировано документов %2, без изменений %3.")
                    .arg(QString::fromStdWString(result.version))
                    .arg(count(result.documents))
                    .arg(count(result.linked))
                    .toStdWString()};
    if (result.ok)
        return {text("Резервное копирование завершено: скопировано документов %1.")
                    .arg(count(result.documents))
                    .toStdWString()};
    const QString counts = text("скопировано документов %1, не скопировано %2.")
                               .arg(count(result.documents + result.linked))
                               .arg(count(result.failed));
    QString head = text("Резервное копирование не выполнено:") + QLatin1Char(' ');
    if (result.reason.empty())
        head += counts;
    else if (result.documents > 0 || result.failed > 0)
        head += QString::fromStdWString(result.reason) + QStringLiteral("; ") + counts;
    else
        head += QString::fromStdWString(result.reason);
    std::vector<std::wstring> lines{OneLine(head.toStdWString())};
    for (const BackupFailure& failure : result.failures)
        lines.push_back(OneLine(failure.path + L": " + failure.reason));
    return lines;
}

} // namespace execution
