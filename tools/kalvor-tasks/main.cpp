// kalvor-tasks: a look into the scheduler's task store for users and administrators,
// mostly for finding out why a task did not come back after a start.

#include "common/Logging.h"
#include "scheduler/LocalZone.h"
#include "scheduler/TaskStorage.h"
#include "tools/kalvor-tasks/StoreCommands.h"

#include <QCoreApplication>

#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace {

const char kUsageText[] = "Usage:\n"
                          "  kalvor-tasks list [--store FILE] [--now NS]\n"
                          "      One line per task that the program loads, separated by tabs: position among the\n"
                          "      task elements (from 0), next run in nanoseconds since 1970-01-01 UTC, next run\n"
                          "      in local time, name. \"never\" stands for a task that does not run again,\n"
                          "      \"paused\" for a paused one.\n"
                          "      --now NS computes the next runs as of that instant instead of the clock.\n"
                          "  kalvor-tasks status [--store FILE]\n"
                          "      One line per task that the program loads, separated by tabs: position, next\n"
                          "      run in local time (\"never\", or \"paused\"), start of the last run in local\n"
                          "      time (\"-\" before the first), its outcome (ok, failed, running, unknown,\n"
                          "      stopped, or -), name with backslash, tab, line feed and carriage return\n"
                          "      written as \\\\, \\t, \\n, \\r, and the pending retry after a failure as\n"
                          "      ATTEMPT/COUNT and its local time (\"-\" when none is pending).\n"
                          "      A run that shows as running after the program was killed is taken at its next\n"
                          "      start as failed (a tool run or a backup) or as unknown (a command, which the\n"
                          "      program leaves running).\n"
                          "  kalvor-tasks run|stop|pause|resume TASK [--store FILE]\n"
                          "      Runs the task now, stops its run, pauses it or resumes it. TASK is its position\n"
                          "      as list prints it, or its exact name when no other task has it. While a\n"
                          "      scheduler runs for the store, it is asked over its local socket and the\n"
                          "      answer is printed (run refuses a task that is running already). Without one,\n"
                          "      pause and resume change the store under its lock; run and stop fail.\n"
                          "  kalvor-tasks validate [--store FILE]\n"
                          "      One line per task element that the program drops at load: position and reason.\n"
                          "  kalvor-tasks repair --store FILE --out FILE\n"
                          "      Writes the tasks that the program loads from the store into another file, as\n"
                          "      the program saves them. Never overwrites the store, nor the store of a running\n"
                          "      scheduler.\n"
                          "\n"
                          "The store is the program's own store file unless --store names another one; only\n"
                          "pause and resume without a running scheduler write it. Local times follow TZ.\n"
                          "A damaged store (not XML, characters XML cannot hold, bytes that are not UTF-8)\n"
                          "is read as the program reads it: task element by task element. The damage is\n"
                          "reported on standard error.\n"
                          "Exit status: 0 done; 1 a task would be dropped (validate) or the store is damaged\n"
                          "(list, status, validate), or the scheduler refused or could not be asked (run,\n"
                          "stop, pause, resume); 2 wrong use, or no single task is TASK; 3 a file that is\n"
                          "missing or cannot be read or written, or larger than 256 MiB, or no scheduler\n"
                          "is running (run, stop).\n";

int UsageError(const std::string& message)
{
    qCCritical(lcTools, "kalvor-tasks: %s (see kalvor-tasks --help)", message.c_str());
    return tasks_tool::kUsage;
}

std::optional<Instant> ParseInstant(const std::string& text)
{
    if (text.empty())
        return std::nullopt;
    std::size_t used = 0;
    try {
        const long long value = std::stoll(text, &used, 10);
        if (used != text.size() || (text[0] != '-' && (text[0] < '0' || text[0] > '9')))
            return std::nullopt;
        return static_cast<Instant>(value);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace

int main(int argc, char* argv[])
{
    common::UseBareMessages();
    // The names give the program's own places to QStandardPaths.
    QCoreApplication::setOrganizationName(QStringLiteral("Holmiq"));
    QCoreApplication::setApplicationName(QStringLiteral("KalvorScheduler"));
    QCoreApplication app(argc, argv);

    // Arguments stay the bytes they are: file names are taken as given.
    if (argc < 2)
        return UsageError("no command given");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsageText, stdout);
        return tasks_tool::kOk;
    }

    const std::map<std::string, std::set<std::string>> allowed = {
        {"list", {"--store", "--now"}},   {"status", {"--store"}}, {"validate", {"--store"}},
        {"repair", {"--store", "--out"}}, {"run", {"--store"}},    {"stop", {"--store"}},
        {"pause", {"--store"}},           {"resume", {"--store"}},
    };
    // The control commands take the task as their one argument.
    const bool control = command == "run" || command == "stop" || command == "pause" || command == "resume";
    std::optional<std::string> task;
    const auto commandOptions = allowed.find(command);
    if (commandOptions == allowed.end())
        return UsageError("unknown command '" + command + "'");

    std::map<std::string, std::string> options;
    for (int i = 2; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            std::fputs(kUsageText, stdout);
            return tasks_tool::kOk;
        }
        std::optional<std::string> value;
        if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.erase(eq);
        }
        if (name.rfind("--", 0) != 0) {
            if (!control || task)
                return UsageError("unexpected argument '" + name + "'");
            task = name;
            continue;
        }
        if (commandOptions->second.count(name) == 0)
            return UsageError("unknown option " + name + " for " + command);
        if (!value) {
            if (i + 1 >= argc)
                return UsageError("option " + name + " needs a value");
            value = argv[++i];
        }
        if (value->empty())
            return UsageError("option " + name + " needs a value");
        if (!options.emplace(name, *value).second)
            return UsageError("option " + name + " given twice");
    }

    const auto store =
        options.count("--store") ? std::filesystem::path(options["--store"]) : TaskStorage::DefaultStorePath();

    if (control) {
        if (!task)
            return UsageError(command + " needs TASK, a position or a name");
        return tasks_tool::Control(command, *task, store, stdout, stderr);
    }
    if (command == "list") {
        Instant now = CurrentInstant();
        if (options.count("--now")) {
            const auto given = ParseInstant(options["--now"]);
            if (!given)
                return UsageError("--now takes whole nanoseconds since 1970-01-01 UTC, not '" + options["--now"] + "'");
            now = *given;
        }
        return tasks_tool::List(store, now, LocalZone(), stdout, stderr);
    }
    if (command == "status")
        return tasks_tool::Status(store, CurrentInstant(), LocalZone(), stdout, stderr);
    if (command == "validate")
        return tasks_tool::Validate(store, stdout, stderr);

    // repair writes a new file beside the one it reads, so both are named explicitly.
    if (!options.count("--store"))
        return UsageError("repair needs --store FILE");
    if (!options.count("--out"))
        return UsageError("repair needs --out FILE");
    return tasks_tool::Repair(store, std::filesystem::path(options["--out"]), stdout, stderr);
}
