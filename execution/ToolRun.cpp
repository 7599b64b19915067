#include "execution/ToolRun.h"

#include "common/Text.h"
#include "common/UniqueFd.h"
#include "common/Utf8.h"
#include "execution/HeadBuffer.h"
#include "execution/RunTexts.h"

#include <boost/process/args.hpp>
#include <boost/process/child.hpp>
#include <boost/process/error.hpp>
#include <boost/process/exe.hpp>
#include <boost/process/extend.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bp = boost::process;

namespace execution {
namespace {

using Clock = std::chrono::steady_clock;

// Children watched through a descriptor each; further ones are polled, so a flood of
// long-running commands cannot use up the descriptors that tool runs need.
constexpr std::size_t kMaxWatchedChildren = 64;
constexpr int kPollMs = 200;
// Of the descriptors the process may open, the reaper leaves at least this many, and at
// least a quarter, to logs, tool runs and saves.
constexpr rlim_t kKeptDescriptors = 32;

// A descriptor for the child, or none (the child is then polled). Descriptors are numbered
// lowest first, so a high number means that few are left: such a one is given back.
common::UniqueFd OpenPidFd(pid_t pid)
{
#ifdef SYS_pidfd_open
    common::UniqueFd fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    rlimit limit{};
    if (fd.get() < 0 || ::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return fd;
    const rlim_t kept = std::max(kKeptDescriptors, limit.rlim_cur / 4);
    if (static_cast<rlim_t>(fd.get()) + kept >= limit.rlim_cur)
        return common::UniqueFd();
    return fd;
#else
    (void)pid;
    return common::UniqueFd();
#endif
}

QString SystemMessage(int error)
{
    return QString::fromLocal8Bit(std::error_code(error, std::system_category()).message().c_str());
}

// Whether the child has ended, without collecting its status: until it is collected its
// process group cannot vanish or be reused, so the group can still be signalled.
bool HasEnded(pid_t pid)
{
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return errno == ECHILD;
    return info.si_pid == pid;
}

// The child leads its own group; should that ever be missing, the child alone is signalled.
void SignalGroup(pid_t pid, int signal)
{
    if (::kill(-pid, signal) != 0)
        ::kill(pid, signal);
}

int WaitFor(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            throw bp::process_error(std::error_code(errno, std::system_category()), "wait error");
    }
    return status;
}

// What the child does between fork and exec, and what the parent does when the start
// fails. Boost.Process leaves a child whose exec failed uncollected; it is collected here.
struct ChildSetup : bp::extend::handler
{
    int errorSink = -1;      // becomes standard error when set
    int outputSink = -1;     // becomes standard output when set
    bool ownGroup = false;   // the child leads a process group of its own
    const char* directory{}; // the child starts here when set

    template <class Executor>
    void on_exec_setup(Executor& exec) const
    {
        const auto fail = [&exec](const char* what) {
            exec.set_error(std::error_code(errno, std::system_category()), what);
            ::_exit(127); // the launcher would exec after reporting: it must not
        };
        if (ownGroup && ::setpgid(0, 0) != 0)
            fail("setpgid");
        if (directory != nullptr && ::chdir(directory) != 0)
            fail("chdir");
        if (outputSink >= 0 && ::dup2(outputSink, STDOUT_FILENO) < 0)
            fail("dup2");
        if (errorSink >= 0 && ::dup2(errorSink, STDERR_FILENO) < 0)
            fail("dup2");
    }

    template <class Executor>
    void on_error(Executor& exec, const std::error_code&) const
    {
        if (exec.pid > 0) {
            int status = 0;
            while (::waitpid(exec.pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
};

// Starts a child; returns its pid (the launcher's child object gives up ownership) or
// -1 with `error` set.
pid_t Launch(const std::string& program, const std::vector<std::string>& args, const ChildSetup& setup, QString& error)
{
    std::error_code ec;
    errno = 0;
    bp::child child(bp::exe = program, bp::args = args, setup, ec);
    const int lastErrno = errno;
    // When its own pipe cannot be made the launcher returns no child and no error code;
    // errno still tells why (descriptors running out is the one way to get there).
    if (!ec && !child.valid())
        ec = std::error_code(lastErrno != 0 ? lastErrno : EMFILE, std::system_category());
    if (ec) {
        error = QString::fromLocal8Bit(ec.message().c_str());
        return -1;
    }
    const pid_t pid = child.id();
    child.detach();
    return pid;
}

} // namespace

QString DecodeToolText(const std::string& bytes)
{
    return common::decodeUtf8(bytes);
}

QString ToolEndText(const ToolResult& result)
{
    if (result.signal != 0)
        return RunTexts::Translate("Программа завершена сигналом %1.").arg(result.signal);
    return RunTexts::Translate("Программа завершилась с кодом %1.").arg(result.exitCode);
}

ToolStop::ToolStop()
    : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{}

ToolStop::~ToolStop() = default;

void ToolStop::Request()
{
    requested_.store(true);
    if (fd_.get() >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(fd_.get(), &one, sizeof one);
    }
}

void ToolStop::Reset()
{
    requested_.store(false);
    if (fd_.get() >= 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto got = ::read(fd_.get(), &count, sizeof count);
    }
}

namespace {

// A run that never starts: no program, or a stop already requested. True with `result` telling why.
bool RefusedBeforeStart(const std::vector<std::string>& arguments, const ToolStop* stop, const ToolStop* cancel,
                        ToolResult& result)
{
    if (arguments.empty()) {
        result.launchError = QStringLiteral("no program given");
        return true;
    }
    if (stop != nullptr && stop->Requested()) {
        result.stopped = true;
        return true;
    }
    if (cancel != nullptr && cancel->Requested()) {
        result.cancelled = true;
        return true;
    }
    return false;
}

// Starts the tool in a process group of its own with a pipe as standard error, or as standard
// output for a tool that `answers`, and the null device as the other. Returns its pid with the
// pipe's read end (non-blocking) in `source`, or -1 with `launchError` set.
pid_t StartWithPipe(const std::vector<std::string>& arguments, bool answers, common::UniqueFd& source,
                    QString& launchError)
{
    // The parent's copies of the child's ends are closed on every path, a failed start
    // included: a write end left open here would keep the read below from ever ending.
    common::UniqueFd nullOut(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (nullOut.get() < 0) {
        launchError = SystemMessage(errno);
        return -1;
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        launchError = SystemMessage(errno);
        return -1;
    }
    source = common::UniqueFd(ends[0]);
    common::UniqueFd sink(ends[1]);
    // The child's end blocks as usual.
    ::fcntl(sink.get(), F_SETFL, ::fcntl(sink.get(), F_GETFL) & ~O_NONBLOCK);

    ChildSetup setup;
    setup.errorSink = answers ? nullOut.get() : sink.get();
    setup.outputSink = answers ? sink.get() : nullOut.get();
    setup.ownGroup = true;
    const std::vector<std::string> args(arguments.begin() + 1, arguments.end());
    return Launch(arguments.front(), args, setup, launchError);
}

// A started tool watched until it has ended: its time limit, the stops, and its pipe read
// while it runs (kept in a HeadBuffer, or handed to the reply). Used on the running thread.
class ToolWatch
{
public:
    ToolWatch(pid_t pid, common::UniqueFd source, const ToolLimits& limits, const ToolStop* stop,
              const ToolStop* cancel, const ToolReply* reply, ToolResult& result)
        : pid_(pid)
        , source_(std::move(source))
        , pidFd_(OpenPidFd(pid))
        , limits_(limits)
        , stop_(stop)
        , cancel_(cancel)
        , reply_(reply)
        , result_(result)
        , deadline_(Clock::now() + limits.timeout)
    {}

    // Returns once the tool has ended and its pipe is read to its end, or given up on.
    void Run()
    {
        for (;;) {
            const Clock::time_point now = Clock::now();
            if (!ended_ && HasEnded(pid_)) {
                ended_ = true;
                drainUntil_ = now + limits_.drainGrace;
            }
            // Quitting does not wait for a helper that holds the pipe.
            if (ended_ && (!pipeOpen_ || now >= drainUntil_ || result_.stopped || result_.cancelled || StopRequested()))
                return;
            ApplyLimits(now);
            if (!WaitAndRead(now))
                return;
        }
    }

    // Whether we signalled the tool (its limit, a stop, a reply that was complete).
    bool Ending() const { return ending_; }
    const HeadBuffer& Head() const { return head_; }

private:
    bool StopRequested() const { return stop_ != nullptr && stop_->Requested(); }

    void Terminate(std::chrono::milliseconds grace)
    {
        SignalGroup(pid_, SIGTERM);
        ending_ = true;
        killAt_ = Clock::now() + grace;
    }

    // Signals the running tool where its time limit, a stop or the end of its grace says so.
    void ApplyLimits(Clock::time_point now)
    {
        if (ended_)
            return;
        if (!ending_ && !answered_ && now >= deadline_) {
            result_.timedOut = true;
            Terminate(limits_.killGrace);
        }
        if (!result_.stopped && StopRequested()) {
            result_.stopped = true;
            if (ending_) // already past its limit: quitting does not wait the whole grace
                killAt_ = std::min(killAt_, now + kStopGrace);
            else
                Terminate(kStopGrace);
        }
        // The user's stop ends the tool as its time limit does.
        if (!ending_ && !result_.cancelled && cancel_ != nullptr && cancel_->Requested()) {
            result_.cancelled = true;
            Terminate(limits_.killGrace);
        }
        if (ending_ && !killed_ && now >= killAt_) {
            SignalGroup(pid_, SIGKILL);
            killed_ = true;
        }
        if (answered_ && !ending_ && now >= exitBy_) {
            SignalGroup(pid_, SIGKILL);
            ending_ = killed_ = true;
        }
    }

    // How long the next wait may take: until the next limit falls due, -1 for no limit.
    int WaitMs(Clock::time_point now) const
    {
        Clock::time_point wakeAt = Clock::time_point::max();
        if (ended_)
            wakeAt = drainUntil_;
        else if (!ending_)
            wakeAt = answered_ ? exitBy_ : deadline_;
        else if (!killed_)
            wakeAt = killAt_;
        // Without a descriptor for the child's end, or for a stop, look again regularly.
        const bool polled = !ended_ && (pidFd_.get() < 0 || (stop_ != nullptr && stop_->Descriptor() < 0) ||
                                        (cancel_ != nullptr && cancel_->Descriptor() < 0));
        long long waitMs = -1;
        if (wakeAt != Clock::time_point::max())
            waitMs = std::max<long long>(0, std::chrono::ceil<std::chrono::milliseconds>(wakeAt - now).count());
        if (polled && (waitMs < 0 || waitMs > kPollMs))
            waitMs = kPollMs;
        return static_cast<int>(std::min<long long>(waitMs, 1 << 30));
    }

    // Waits for the pipe, the child's end, a stop or the next limit, and reads what the pipe
    // holds; false when waiting failed.
    bool WaitAndRead(Clock::time_point now)
    {
        const int stopFd = stop_ != nullptr ? stop_->Descriptor() : -1;
        const int cancelFd = cancel_ != nullptr ? cancel_->Descriptor() : -1;
        pollfd fds[4];
        nfds_t count = 0;
        if (pipeOpen_)
            fds[count++] = {source_.get(), POLLIN, 0};
        if (!ended_ && pidFd_.get() >= 0)
            fds[count++] = {pidFd_.get(), POLLIN, 0};
        if (!result_.stopped && stopFd >= 0)
            fds[count++] = {stopFd, POLLIN, 0};
        if (!result_.cancelled && !ending_ && cancelFd >= 0)
            fds[count++] = {cancelFd, POLLIN, 0};
        const int ready = ::poll(fds, count, WaitMs(now));
        if (ready < 0 && errno != EINTR)
            return false;
        if (ready > 0 && pipeOpen_ && fds[0].revents != 0)
            ReadPipe();
        return true;
    }

    // Reads what the pipe holds, a bounded number of chunks at a time, so a tool that writes
    // without pause cannot keep the limits from being looked at.
    void ReadPipe()
    {
        char buffer[64 * 1024];
        for (int chunks = 0; chunks < 64; ++chunks) {
            const ssize_t got = ::read(source_.get(), buffer, sizeof buffer);
            if (got > 0 && reply_ == nullptr) {
                head_.Append(buffer, static_cast<std::size_t>(got));
                continue;
            }
            if (got > 0) {
                if (!answered_ && !reply_->take(buffer, static_cast<std::size_t>(got))) {
                    answered_ = true;
                    exitBy_ = std::min(deadline_, Clock::now() + reply_->exitGrace);
                }
                continue;
            }
            if (got == 0 || (errno != EINTR && errno != EAGAIN))
                pipeOpen_ = false;
            if (got < 0 && errno == EINTR)
                continue;
            break;
        }
    }

    const pid_t pid_;
    const common::UniqueFd source_; // the pipe's read end
    const common::UniqueFd pidFd_;
    const ToolLimits& limits_;
    const ToolStop* const stop_;
    const ToolStop* const cancel_;
    const ToolReply* const reply_;
    ToolResult& result_;
    HeadBuffer head_;
    bool pipeOpen_ = true;
    bool ended_ = false;
    bool ending_ = false;   // SIGTERM sent
    bool killed_ = false;   // SIGKILL sent
    bool answered_ = false; // the reply is complete: the tool only has to exit
    const Clock::time_point deadline_;
    Clock::time_point exitBy_ = Clock::time_point::max();
    Clock::time_point killAt_ = Clock::time_point::max();
    Clock::time_point drainUntil_ = Clock::time_point::max();
};

// Collects the ended tool into `result`; a failed run keeps the start of its standard error.
void Collect(pid_t pid, const HeadBuffer& head, ToolResult& result)
{
    const int status = WaitFor(pid);
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    result.exitCode = WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status);
    if (result.Succeeded())
        return;
    const std::vector<std::string> lines = head.Lines();
    result.omittedErrorLines = head.OmittedLines();
    result.omittedErrorBytes = head.OmittedBytes();
    result.errorLines.reserve(lines.size());
    for (const auto& l : lines)
        result.errorLines.push_back(DecodeToolText(l));
}

ToolResult RunToolWith(const std::vector<std::string>& arguments, const ToolLimits& limits, const ToolStop* stop,
                       const ToolStop* cancel, const ToolReply* reply)
{
    ToolResult result;
    if (RefusedBeforeStart(arguments, stop, cancel, result))
        return result;
    common::UniqueFd source;
    const pid_t pid = StartWithPipe(arguments, reply != nullptr, source, result.launchError);
    if (pid < 0)
        return result;
    result.started = true;
    if (reply != nullptr && reply->started)
        reply->started();
    ToolWatch watch(pid, std::move(source), limits, stop, cancel, reply, result);
    watch.Run();
    // A run we ended takes the helpers of its group with it.
    if (watch.Ending())
        SignalGroup(pid, SIGKILL);
    Collect(pid, watch.Head(), result);
    return result;
}

} // namespace

ToolResult RunTool(const std::vector<std::string>& arguments, const ToolLimits& limits, const ToolStop* stop,
                   const ToolStop* cancel)
{
    return RunToolWith(arguments, limits, stop, cancel, nullptr);
}

ToolResult RunTool(const std::vector<std::string>& arguments, const ToolLimits& limits, const ToolStop* stop,
                   const ToolReply& reply)
{
    return RunToolWith(arguments, limits, stop, nullptr, &reply);
}

ChildReaper::ChildReaper()
    : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    thread_ = std::thread([this] { Run(); });
}

ChildReaper::~ChildReaper()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    Wake();
    thread_.join();
}

void ChildReaper::Wake()
{
    if (wakeFd_.get() >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wakeFd_.get(), &one, sizeof one);
    }
}

void ChildReaper::Watch(pid_t pid, ChildEnd ended)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        incoming_.push_back({pid, common::UniqueFd(), std::move(ended)});
    }
    Wake();
}

void ChildReaper::Run()
{
    std::vector<Child> children;
    std::vector<pollfd> fds;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (quit_)
                return;
            children.insert(children.end(), std::make_move_iterator(incoming_.begin()),
                            std::make_move_iterator(incoming_.end()));
            incoming_.clear();
        }
        std::size_t watched = 0;
        bool polled = wakeFd_.get() < 0;
        for (auto it = children.begin(); it != children.end();) {
            int status = 0;
            const pid_t got = ::waitpid(it->pid, &status, WNOHANG);
            if (got == it->pid || (got < 0 && errno == ECHILD)) {
                ChildEnd ended = std::move(it->ended);
                it = children.erase(it);
                if (ended) {
                    // A completion that throws loses its own end only; the others are still told.
                    try {
                        ended(got < 0 ? -1 : status);
                    } catch (...) {
                    }
                }
                continue;
            }
            if (it->pidFd.get() < 0 && watched < kMaxWatchedChildren)
                it->pidFd = OpenPidFd(it->pid);
            if (it->pidFd.get() >= 0)
                ++watched;
            else
                polled = true;
            ++it;
        }
        fds.clear();
        if (wakeFd_.get() >= 0)
            fds.push_back({wakeFd_.get(), POLLIN, 0});
        for (const Child& c : children)
            if (c.pidFd.get() >= 0)
                fds.push_back({c.pidFd.get(), POLLIN, 0});
        ::poll(fds.data(), fds.size(), polled ? kPollMs : -1);
        if (wakeFd_.get() >= 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const auto got = ::read(wakeFd_.get(), &count, sizeof count);
        }
    }
}

CommandStart StartProgram(const std::filesystem::path& program, const std::string& argument,
                          const std::filesystem::path& directory, ChildReaper& reaper, ChildEnd ended,
                          const ChildStarted& started)
{
    CommandStart start;
    ChildSetup setup;
    // Its own group, so a stop reaches the helpers it starts as well.
    setup.ownGroup = true;
    if (!directory.empty())
        setup.directory = directory.c_str();
    const pid_t pid = Launch(program.string(), {argument}, setup, start.error);
    if (pid < 0)
        return start;
    if (started)
        started(pid);
    reaper.Watch(pid, std::move(ended));
    start.started = true;
    return start;
}

} // namespace execution
