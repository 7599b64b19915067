#pragma once

// Runs of outside programs: synchronous tool runs whose standard error is kept (or whose
// standard output is the answer), with a time limit and a way to end them early, and the
// reaping of started commands. Every outside program the service or the wizard starts
// goes through here.

#include "common/UniqueFd.h"

#include <QString>

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace execution {

struct ToolResult
{
    bool started = false;
    QString launchError;               // the system's message when the program could not be started
    int exitCode = -1;                 // the exit status, or the signal number when a signal ended it
    int signal = 0;                    // the signal that ended it, 0 when it exited
    bool timedOut = false;             // ended by us at the time limit
    bool stopped = false;              // ended by us because the program is quitting
    bool cancelled = false;            // ended by us because the user stopped the run
    std::vector<QString> errorLines;   // the start of standard error, split at line feeds
    std::size_t omittedErrorLines = 0; // lines of standard error after the kept start
    std::size_t omittedErrorBytes = 0; // bytes of standard error after the kept start
    bool Succeeded() const { return started && !timedOut && !stopped && !cancelled && exitCode == 0; }
};

// How long a tool may take. At the limit its process group gets SIGTERM, and SIGKILL
// `killGrace` later. Once the tool has ended, its standard error is read for at most
// `drainGrace` more (a helper it left behind may hold the pipe open).
struct ToolLimits
{
    std::chrono::milliseconds timeout{std::chrono::minutes(240)};
    std::chrono::milliseconds killGrace{std::chrono::seconds(10)};
    std::chrono::milliseconds drainGrace{std::chrono::seconds(3)};
};

// A request to end every tool run that watches it, at once and for good (the program
// is quitting). Request() is safe from any thread.
class ToolStop
{
public:
    ToolStop();
    ~ToolStop();
    ToolStop(const ToolStop&) = delete;
    ToolStop& operator=(const ToolStop&) = delete;

    void Request();
    bool Requested() const { return requested_.load(); }
    // Takes a request back, so one stop serves run after run; only while no run watches it.
    void Reset();
    // Readable once a stop is requested; -1 when no descriptor was available (runs then
    // look at Requested() at least every 100 ms).
    int Descriptor() const { return fd_.get(); }

private:
    std::atomic<bool> requested_{false};
    common::UniqueFd fd_;
};

// How the tool runs of an export or a check are bounded: their time limits and the stop
// that ends them when the program quits (null for none).
struct ToolRunSettings
{
    ToolLimits limits;
    const ToolStop* stop = nullptr;
    // The user's stop of this one run (null for none): it ends the tool as its time limit
    // does, SIGKILL `limits.killGrace` after SIGTERM, and no further tool of the run starts.
    const ToolStop* cancel = nullptr;
};

// A run stopped by a ToolStop is ended with SIGTERM and, this much later, SIGKILL.
constexpr std::chrono::milliseconds kStopGrace{1500};

// Of a failed run's standard error, the first whole lines are kept, at most this many
// lines and bytes (line feeds included); the rest is only counted.
constexpr std::size_t kStderrKeptLines = 200;
constexpr std::size_t kStderrKeptBytes = 64 * 1024;

// Runs `arguments` (program first, bytes passed unchanged, no search along PATH) in a
// process group of its own, with standard output on the null device and standard input
// and environment inherited. Standard error is read while the program runs; only a failed
// run keeps it. Never throws for a program that cannot be started; `stop` and `cancel`
// (see ToolRunSettings) may be null.
ToolResult RunTool(const std::vector<std::string>& arguments, const ToolLimits& limits = {},
                   const ToolStop* stop = nullptr, const ToolStop* cancel = nullptr);

// A tool that answers on its standard output (the scheme lookup). The output is handed to
// `take` in chunks while the tool runs, and standard error goes to the null device. Once
// `take` returns false the rest is read and dropped, so the tool never blocks on a full
// pipe, and the tool has `exitGrace` (within its time limit) to end before its process
// group is killed; a run that ends so is neither timed out nor stopped. `started` (may be
// empty) is told once the tool runs. Both are called on the thread that runs the tool.
struct ToolReply
{
    std::function<bool(const char* data, std::size_t size)> take;
    std::function<void()> started;
    std::chrono::milliseconds exitGrace{2000};
};

// RunTool for a tool that answers through `reply`.
ToolResult RunTool(const std::vector<std::string>& arguments, const ToolLimits& limits, const ToolStop* stop,
                   const ToolReply& reply);

// The tool's bytes as UTF-8 text, every byte that is not part of a valid sequence shown
// as one U+FFFD.
QString DecodeToolText(const std::string& bytes);

// How a started run ended, for the log and the stored reason: its exit code or its signal.
QString ToolEndText(const ToolResult& result);

// How a watched child ended: its wait status as waitpid() gives it, or -1 when something
// else in the process collected the child first. Called on the reaper's thread.
using ChildEnd = std::function<void(int waitStatus)>;

// Collects the exit status of started commands as soon as they end, on a thread of its
// own, so no ended command stays a zombie while the worker is busy. The destructor stops
// the thread; commands still running then are left alone and their ends are never told.
class ChildReaper
{
public:
    ChildReaper();
    ~ChildReaper();
    ChildReaper(const ChildReaper&) = delete;
    ChildReaper& operator=(const ChildReaper&) = delete;

    // Takes over a child of this process; `ended` (may be empty) gets its status once,
    // on the reaper's thread, with no lock of the reaper held.
    void Watch(pid_t pid, ChildEnd ended);

private:
    void Run();
    void Wake();

    struct Child
    {
        pid_t pid;
        common::UniqueFd pidFd; // none when it could not be opened: such children are polled
        ChildEnd ended;
    };
    std::mutex mutex_;
    std::vector<Child> incoming_;
    bool quit_ = false;
    common::UniqueFd wakeFd_;
    std::thread thread_;
};

// The outcome of starting a command: empty on success, else the reason it did not start.
struct CommandStart
{
    bool started = false;
    QString error;
};

// Tells the process id of a started child before anything can have collected it.
using ChildStarted = std::function<void(pid_t pid)>;

// Starts `program` with the one argument `argument` in `directory` (the current one when
// empty), in a process group of its own, with the standard streams and environment
// inherited; `started` learns its id, then the child is handed to `reaper`, which tells
// `ended` how it ended. A directory that cannot be entered fails the start: the program
// never runs elsewhere (and `ended` is never called).
CommandStart StartProgram(const std::filesystem::path& program, const std::string& argument,
                          const std::filesystem::path& directory, ChildReaper& reaper, ChildEnd ended = {},
                          const ChildStarted& started = {});

} // namespace execution
