#include "execution/Actions.h"

#include "common/FloorDiv.h"
#include "common/Logging.h"
#include "common/Text.h"
#include "common/Utf8.h"
#include "execution/Backup.h"
#include "execution/RunTexts.h"
#include "execution/ToolRun.h"
#include "model/ExportFormats.h"
#include "repository/Connections.h"
#include "repository/VadroPath.h"

#include <QString>

#include <boost/process/exception.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>

#include <sys/stat.h>
#include <sys/wait.h>

namespace bp = boost::process;

namespace execution {
namespace {

// Placeholder time of a document without a valid one: it counts as unchanged after its
// first run.
constexpr Instant kUnknownDocumentTime = INT64_MIN + 1;

Instant FileTime(const std::filesystem::path& file)
{
    struct stat st
    {};
    if (::stat(file.c_str(), &st) != 0)
        throw std::filesystem::filesystem_error("cannot read the modification time", file,
                                                std::error_code(errno, std::generic_category()));
    const Instant ns = Instant(st.st_mtim.tv_sec) * kNanosPerSecond + st.st_mtim.tv_nsec;
    return common::floorDiv(ns, kNanosPerMilli) * kNanosPerMilli;
}

// A failed run's standard error as the log keeps it: its start, then how much was left out.
void LogErrorOutput(const ToolResult& result, const LogFunction& log)
{
    for (const QString& line : result.errorLines)
        log(line.toStdWString(), false);
    if (result.omittedErrorBytes > 0)
        log(RunTexts::Translate("… пропущено строк: %1 (байт: %2)")
                .arg(result.omittedErrorLines)
                .arg(result.omittedErrorBytes)
                .toStdWString(),
            false);
}

// The reason of a failed run: the first non-empty line of what the tool wrote on its
// standard error; empty when it wrote none.
std::wstring ErrorOf(const ToolResult& result)
{
    for (const QString& line : result.errorLines)
        if (!line.trimmed().isEmpty())
            return line.toStdWString();
    return {};
}

void LogToolResult(const ToolResult& result, const ToolLimits& limits, const LogFunction& log, RunFailure* failure)
{
    RunFailure ignored;
    RunFailure& noted = failure ? *failure : ignored;
    if (result.cancelled) {
        const std::wstring why = RunTexts::Text("Остановлено пользователем.");
        noted.Note(why);
        log(why, true);
    } else if (result.stopped) {
        log(RunTexts::Text("Задание не выполнено:"), true);
        const std::wstring why = RunTexts::Text("Запуск прерван: планировщик завершает работу.");
        noted.Note(why);
        log(why, false);
        LogErrorOutput(result, log);
    } else if (result.timedOut) {
        log(RunTexts::Text("Задание не выполнено:"), true);
        const auto minutes = std::chrono::duration<double, std::ratio<60>>(limits.timeout).count();
        const std::wstring why = RunTexts::Translate("Программа не завершилась за отведённое время (%1 мин.) и была "
                                                     "остановлена.")
                                     .arg(minutes, 0, 'g', 3)
                                     .toStdWString();
        noted.Note(why);
        log(why, false);
        LogErrorOutput(result, log);
    } else if (!result.started) {
        log(RunTexts::Text("Задание не выполнено:"), true);
        noted.Note(result.launchError.toStdWString());
        log(result.launchError.toStdWString(), false);
    } else if (result.exitCode == 0) {
        log(RunTexts::Text("Задание успешно выполнено."), true);
    } else {
        log(RunTexts::Text("Задание не выполнено:"), true);
        std::wstring why = ErrorOf(result);
        LogErrorOutput(result, log);
        // Without any error output the log still says how the tool ended.
        if (why.empty()) {
            why = ToolEndText(result).toStdWString();
            log(why, false);
        }
        noted.Note(why);
    }
}

} // namespace

Instant DocumentTime(const vadro::ItemInfo& item)
{
    if (!item.modified)
        return kUnknownDocumentTime;
    return *item.modified / kNanosPerMilli * kNanosPerMilli; // cut towards zero
}

std::wstring PathConnectionProblem(const std::wstring& path, const std::wstring& server,
                                   const vadro_cm::Connection& connection, const std::filesystem::path& connectionsFile)
{
    const QString pathText = QString::fromStdWString(path);
    if (server != connection.name)
        return RunTexts::Translate("путь %1 указывает на подключение «%2», а задание использует подключение «%3»")
            .arg(pathText, QString::fromStdWString(server), QString::fromStdWString(connection.name))
            .toStdWString();
    const auto named = FindSavedConnectionByName(server, connectionsFile);
    if (!named || named->id != connection.id)
        return RunTexts::Translate("путь %1 нельзя отнести к одному хранилищу: подключение «%2» сохранено "
                                   "несколько раз")
            .arg(pathText, QString::fromStdWString(server))
            .toStdWString();
    return {};
}

std::vector<std::string> ExportArguments(const std::filesystem::path& tool, const ExportAction& action,
                                         const std::wstring& projectPath)
{
    std::vector<std::string> args{tool.string(),
                                  "--action",
                                  "export",
                                  "--format",
                                  std::string(ExportFormatWord(action.format)),
                                  "--project-path",
                                  common::toUtf8(projectPath),
                                  "--output-dir",
                                  common::toUtf8(action.output_path)};
    if (action.format == IFC) {
        args.insert(args.end(), {"--options-code", common::toUtf8(action.ifc_mapping_code), "--ifc-version",
                                 common::toUtf8(action.ifc_version)});
    } else {
        args.insert(args.end(), {"--options-code", common::toUtf8(action.scheme_code)});
    }
    return args;
}

TimeUpdates RunExport(const ExportAction& action, vadro::ICore& core, const std::filesystem::path& tool,
                      const LogFunction& log, const ToolRunSettings& settings, RunFailure* failure)
{
    TimeUpdates kept;
    // The lines that end the run before any tool starts are its failure as well.
    const LogFunction fail = [&log, failure](const std::wstring& message, bool headed) {
        if (failure)
            failure->Note(message);
        log(message, headed);
    };
    std::wstring server;
    std::vector<std::wstring> components;
    std::optional<vadro::Uuid> parsedId;
    if (!path::utils::ParseVadroPath(action.project_path, server, components, parsedId, true)) {
        fail(RunTexts::Text("Неверно задан путь %1\n", action.project_path), true);
        return kept;
    }
    const auto connection = FindSavedConnection(action.connection_id);
    if (!connection) {
        fail(RunTexts::Text("Не удалось найти подключение к ХД по пути %1", action.project_path), true);
        return kept;
    }
    const std::wstring mismatch =
        PathConnectionProblem(action.project_path, server, *connection, SavedConnectionsPath());
    if (!mismatch.empty()) {
        fail(RunTexts::Text("Экспорт не выполнен: %1", mismatch), true);
        return kept;
    }
    const auto session = core.OpenSession(connection->address, connection->credentials);
    const vadro::IdPath ids = session->GetPathResolver()->ResolvePath(components);
    if (ids.size() != components.size()) {
        fail(RunTexts::Text("Не найден файл %1", action.project_path), true);
        return kept;
    }

    std::vector<std::pair<std::wstring, vadro::ItemInfo>> projects;
    const vadro::ItemInfo item = session->GetItem(ids);
    if (item.isDocument) {
        projects.emplace_back(action.project_path, item);
    } else {
        for (const vadro::ItemInfo& child : session->ListChildren(ids)) {
            if (!child.isDocument)
                continue; // no descent into sub-folders
            auto childComponents = components;
            childComponents.push_back(child.name);
            projects.emplace_back(path::utils::MakeVadroPath(server, childComponents, parsedId), child);
        }
    }

    for (const auto& [projectPath, document] : projects) {
        if (settings.cancel != nullptr && settings.cancel->Requested())
            break; // stopped by the user: no further project starts
        const Instant time = DocumentTime(document);
        if (action.only_changed_documents) {
            const auto known = action.modification_times.find(projectPath);
            if (known != action.modification_times.end() && known->second == time)
                continue;
        }
        try {
            // A folder that cannot be made, or none at all, is the tool's to report.
            if (!action.output_path.empty()) {
                std::error_code ec;
                std::filesystem::create_directories(std::filesystem::u8path(common::toUtf8(action.output_path)), ec);
            }
            const ToolResult result =
                RunTool(ExportArguments(tool, action, projectPath), settings.limits, settings.stop, settings.cancel);
            LogToolResult(result, settings.limits, log, failure);
            // A failed export is retried at the next run instead of being taken as done.
            if (action.only_changed_documents && result.Succeeded())
                kept.emplace_back(projectPath, time);
        } catch (const bp::process_error& e) {
            qCWarning(lcExecution, "%s", e.what());
            if (failure)
                failure->Note(QString::fromLocal8Bit(e.what()).toStdWString());
        }
    }
    return kept;
}

CheckSources CollectCheckSources(const CheckAction& action)
{
    CheckSources sources;
    if (!action.only_changed_documents) {
        sources.paths.push_back(common::toUtf8(action.ifc_file));
        sources.files.push_back(action.ifc_file);
        return sources;
    }
    const auto ifc = std::filesystem::u8path(common::toUtf8(action.ifc_file));
    std::vector<std::filesystem::path> candidates;
    if (std::filesystem::is_directory(ifc)) {
        for (const auto& entry : std::filesystem::directory_iterator(ifc)) {
            const std::string name = entry.path().filename().string();
            if (name.empty() || name.front() == '.' || !entry.is_regular_file())
                continue;
            if (!common::decodeUtf8(name).endsWith(QStringLiteral(".ifc"), Qt::CaseInsensitive))
                continue;
            candidates.push_back(entry.path());
        }
        std::sort(candidates.begin(), candidates.end(), [](const auto& a, const auto& b) {
            return common::toQString(a.filename()).compare(common::toQString(b.filename()), Qt::CaseInsensitive) < 0;
        });
    } else {
        candidates.push_back(ifc);
    }
    for (const auto& candidate : candidates) {
        std::string path = std::filesystem::absolute(candidate).string();
        const std::wstring key = common::fromUtf8(path);
        const Instant time = FileTime(candidate);
        const auto known = action.modification_times.find(key);
        if (known != action.modification_times.end() && known->second == time)
            continue;
        sources.paths.push_back(std::move(path));
        sources.files.push_back(key);
        sources.times.emplace_back(key, time);
    }
    return sources;
}

std::vector<std::string> CheckArguments(const std::filesystem::path& tool, const CheckAction& action,
                                        const std::vector<std::string>& sourcePaths)
{
    std::vector<std::string> args{tool.string(), "--action", "check", "--format", "ids"};
    for (const auto& source : sourcePaths) {
        args.push_back("--source-path");
        args.push_back(source);
    }
    args.push_back("--check-path");
    args.push_back(common::toUtf8(action.ids_file));
    return args;
}

CheckOutcome RunCheck(const CheckAction& action, const std::filesystem::path& tool, const LogFunction& log,
                      const ToolRunSettings& settings, RunFailure* failure)
{
    CheckOutcome outcome;
    CheckSources sources = CollectCheckSources(action);
    if (sources.files.empty())
        return outcome;
    try {
        const ToolResult result =
            RunTool(CheckArguments(tool, action, sources.paths), settings.limits, settings.stop, settings.cancel);
        LogToolResult(result, settings.limits, log, failure);
        // A check that ran keeps its times; one that never started, or was stopped, did not check them all.
        if (result.started && !result.cancelled)
            outcome.times = std::move(sources.times);
    } catch (const bp::process_error& e) {
        qCWarning(lcExecution, "%s", e.what());
        if (failure)
            failure->Note(QString::fromLocal8Bit(e.what()).toStdWString());
    }
    return outcome;
}

std::filesystem::path CommandStartDirectory(const CommandAction& action)
{
    if (!action.working_directory.empty())
        return action.working_directory;
    return action.executable.parent_path();
}

std::filesystem::path CommandProgram(const CommandAction& action)
{
    const auto dir = CommandStartDirectory(action);
    // A relative program is found from the start directory, not from ours.
    if (action.executable.is_relative() && !dir.empty())
        return std::filesystem::absolute(dir) / action.executable;
    return action.executable;
}

bool StartCommand(const CommandAction& action, ChildReaper& reaper, const LogFunction& log, RunFailure* failure,
                  ChildEnd ended, const ChildStarted& started)
{
    const auto fail = [&log, failure](const std::wstring& reason) {
        if (failure)
            failure->Note(reason);
        log(RunTexts::Text("Задание не выполнено:"), true);
        log(reason, false);
        return false;
    };
    if (action.executable.empty())
        return fail(RunTexts::Text("Не задана программа."));
    const auto dir = CommandStartDirectory(action);
    std::error_code ec;
    if (!dir.empty() && !std::filesystem::is_directory(dir, ec))
        return fail(RunTexts::Text("Не найдена рабочая папка %1", common::fromUtf8(dir.string())));
    const CommandStart start =
        StartProgram(CommandProgram(action), common::toUtf8(action.arguments), dir, reaper, std::move(ended), started);
    if (!start.started)
        return fail(start.error.toStdWString());
    return true;
}

std::optional<std::wstring> CommandEndFailure(int waitStatus)
{
    if (waitStatus == -1)
        return RunTexts::Text("Не удалось узнать, как завершилась программа.");
    if (WIFSIGNALED(waitStatus))
        return RunTexts::Translate("Программа завершена сигналом %1.").arg(WTERMSIG(waitStatus)).toStdWString();
    const int code = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
    if (code == 0)
        return std::nullopt;
    return RunTexts::Translate("Программа завершилась с кодом %1.").arg(code).toStdWString();
}

namespace {

ActionResult PerformBackup(const BackupAction& backup, const ActionRun& run)
{
    // The run's start names its version, not the moment the pool got to it.
    const BackupRequest request{backup.connection_id, backup.source_path, backup.destination_path, backup.keep_versions,
                                static_cast<std::time_t>(common::floorDiv(run.started, kNanosPerSecond))};
    const BackupResult done = RunBackup(request, *run.core, run.connections, run.stop);
    const auto lines = BackupReport(done);
    ActionResult result;
    if (!done.ok && run.stop && run.stop->load() && !(run.quit && run.quit->load())) {
        // Stopped by the user: the documents not reached keep their previous copies.
        run.log(RunTexts::Text("Остановлено пользователем."), true);
        result.outcome = RunOutcome::Stopped;
        return result;
    }
    for (std::size_t i = 0; i < lines.size(); ++i)
        run.log(lines[i], i == 0);
    if (!done.ok) {
        result.outcome = RunOutcome::Failed;
        result.reason = lines.front();
    }
    return result;
}

} // namespace

std::optional<ActionResult> PerformAction(const Action& action, const ActionRun& run)
{
    if (const auto* backup = std::get_if<BackupAction>(&action))
        return PerformBackup(*backup, run);
    ActionResult result;
    RunFailure failure;
    try {
        if (const auto* exp = std::get_if<ExportAction>(&action)) {
            result.timesKey = exp->project_path;
            result.times = RunExport(*exp, *run.core, run.tool, run.log, run.settings, &failure);
        } else if (const auto* check = std::get_if<CheckAction>(&action)) {
            result.timesKey = check->ifc_file;
            result.times = RunCheck(*check, run.tool, run.log, run.settings, &failure).times;
        } else if (const auto* command = std::get_if<CommandAction>(&action)) {
            ChildEnd ended = [done = run.commandEnded](int waitStatus) {
                ActionResult end;
                if (const auto reason = CommandEndFailure(waitStatus)) {
                    end.outcome = RunOutcome::Failed;
                    end.reason = *reason;
                }
                if (done)
                    done(std::move(end));
            };
            // A started command stays running until the reaper tells its end.
            if (!run.reaper)
                failure.Note(RunTexts::Text("программа завершает работу"));
            else if (StartCommand(*command, *run.reaper, run.log, &failure, std::move(ended), run.commandStarted))
                return std::nullopt;
        }
    } catch (const std::exception& e) {
        qCWarning(lcExecution, "%s", e.what());
        failure.Note(QString::fromLocal8Bit(e.what()).toStdWString());
    }
    if (failure.failed) {
        result.outcome = RunOutcome::Failed;
        result.reason = failure.reason;
    }
    // A tool run the user stopped ends as stopped; one the quit cut short stays a failure.
    const ToolRunSettings& s = run.settings;
    if (!std::holds_alternative<CommandAction>(action) && s.cancel && s.cancel->Requested() &&
        !(s.stop && s.stop->Requested()))
        result.outcome = RunOutcome::Stopped;
    return result;
}

} // namespace execution
