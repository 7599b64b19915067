#include "execution/ToolRun.h"

#include "common/Text.h"
#include "common/UniqueFd.h"
#include "common/Utf8.h"
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
common::UniqueFd openPidFd(pid_t pid)
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

QString systemMessage(int error)
{
    return QString::fromLocal8Bit(std::error_code(error, std::system_category()).message().c_str());
}

// Whether the child has ended, without collecting its status: until it is collected its
// process group cannot vanish or be reused, so the group can still be signalled.
bool hasEnded(pid_t pid)
{
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return errno == ECHILD;
    return info.si_pid == pid;
}

// The child leads its own group; should that ever be missing, the child alone is signalled.
void signalGroup(pid_t pid, int signal)
{
    if (::kill(-pid, signal) != 0)
        ::kill(pid, signal);
}

int collect(pid_t pid)
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
pid_t launch(const std::string& program, const std::vector<std::string>& args, const ChildSetup& setup, QString& error)
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

// The start of a stream, whole lines, up to kStderrKeptLines lines or kStderrKeptBytes bytes;
// of the rest only the lines and bytes are counted, so memory stays bounded.
class HeadBuffer
{
public:
    void Append(const char* data, std::size_t size)
    {
        while (size > 0 && !full_) {
            const std::size_t room = kStderrKeptBytes - kept_.size();
            const std::size_t take = std::min(size, room);
            const auto* lf = static_cast<const char*>(std::memchr(data, '\n', take));
            if (lf != nullptr) {
                const std::size_t line = static_cast<std::size_t>(lf - data) + 1;
                kept_.append(data, line);
                data += line;
                size -= line;
                full_ = ++lines_ == kStderrKeptLines;
                continue;
            }
            kept_.append(data, take);
            data += take;
            size -= take;
            if (kept_.size() == kStderrKeptBytes) {
                full_ = true;
                DropPartialLine();
            }
        }
        Skip(data, size);
    }

    std::vector<std::string> Lines() const
    {
        std::vector<std::string> lines;
        std::string_view text(kept_);
        while (!text.empty()) {
            const auto lf = text.find('\n');
            lines.emplace_back(text.substr(0, lf));
            text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
        }
        return lines;
    }
    std::size_t OmittedLines() const { return omittedLines_; }
    std::size_t OmittedBytes() const { return omittedBytes_; }

private:
    // The byte limit fell inside a line: a line that began before it goes to the omitted
    // part; a single line longer than the limit is kept cut, at a character's start.
    void DropPartialLine()
    {
        const std::size_t lastLf = kept_.rfind('\n');
        std::size_t keep = lastLf + 1;
        if (lastLf == std::string::npos) {
            keep = kept_.size();
            std::size_t lead = keep;
            while (lead > 0 && (static_cast<unsigned char>(kept_[lead - 1]) & 0xC0) == 0x80)
                --lead;
            if (lead > 0) {
                const auto first = static_cast<unsigned char>(kept_[--lead]);
                const std::size_t length = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
                if (keep - lead < length)
                    keep = lead;
            }
            atLineStart_ = false;
        } else {
            atLineStart_ = true;
        }
        Skip(kept_.data() + keep, kept_.size() - keep);
        kept_.resize(keep);
    }

    void Skip(const char* data, std::size_t size)
    {
        omittedBytes_ += size;
        for (std::size_t i = 0; i < size; ++i) {
            if (atLineStart_)
                ++omittedLines_;
            atLineStart_ = data[i] == '\n';
        }
    }

    std::string kept_;
    std::size_t lines_ = 0;
    bool full_ = false;
    bool atLineStart_ = true; // the next omitted byte starts a line
    std::size_t omittedLines_ = 0;
    std::size_t omittedBytes_ = 0;
};

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

ToolResult runTool(const std::vector<std::string>& arguments, const ToolLimits& limits, const ToolStop* stop,
                   const ToolStop* cancel, const ToolReply* reply)
{
    ToolResult result;
    if (arguments.empty()) {
        result.launchError = QStringLiteral("no program given");
        return result;
    }
    if (stop != nullptr && stop->Requested()) {
        result.stopped = true;
        return result;
    }
    if (cancel != nullptr && cancel->Requested()) {
        result.cancelled = true;
        return result;
    }

    // The parent's copies of the child's ends are closed on every path, a failed start
    // included: a write end left open here would keep the read below from ever ending.
    common::UniqueFd nullOut(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (nullOut.get() < 0) {
        result.launchError = systemMessage(errno);
        return result;
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        result.launchError = systemMessage(errno);
        return result;
    }
    // The pipe carries standard error, or standard output for a tool that answers.
    common::UniqueFd source(ends[0]);
    common::UniqueFd sink(ends[1]);
    // The child's end blocks as usual.
    ::fcntl(sink.get(), F_SETFL, ::fcntl(sink.get(), F_GETFL) & ~O_NONBLOCK);

    ChildSetup setup;
    setup.errorSink = reply != nullptr ? nullOut.get() : sink.get();
    setup.outputSink = reply != nullptr ? sink.get() : nullOut.get();
    setup.ownGroup = true;
    const std::vector<std::string> args(arguments.begin() + 1, arguments.end());
    const pid_t pid = launch(arguments.front(), args, setup, result.launchError);
    sink.reset();
    nullOut.reset();
    if (pid < 0)
        return result;
    result.started = true;
    if (reply != nullptr && reply->started)
        reply->started();

    const common::UniqueFd pidFd(openPidFd(pid));
    const int stopFd = stop != nullptr ? stop->Descriptor() : -1;
    const int cancelFd = cancel != nullptr ? cancel->Descriptor() : -1;
    HeadBuffer head;
    bool pipeOpen = true;
    bool ended = false;
    bool ending = false;   // SIGTERM sent
    bool killed = false;   // SIGKILL sent
    bool answered = false; // the reply is complete: the tool only has to exit
    const Clock::time_point deadline = Clock::now() + limits.timeout;
    Clock::time_point exitBy = Clock::time_point::max();
    Clock::time_point killAt = Clock::time_point::max();
    Clock::time_point drainUntil = Clock::time_point::max();

    const auto terminate = [&](std::chrono::milliseconds grace) {
        signalGroup(pid, SIGTERM);
        ending = true;
        killAt = Clock::now() + grace;
    };

    for (;;) {
        const Clock::time_point now = Clock::now();
        if (!ended && hasEnded(pid)) {
            ended = true;
            drainUntil = now + limits.drainGrace;
        }
        // Quitting does not wait for a helper that holds the pipe.
        if (ended && (!pipeOpen || now >= drainUntil || result.stopped || result.cancelled ||
                      (stop != nullptr && stop->Requested())))
            break;
        if (!ended && !ending && !answered && now >= deadline) {
            result.timedOut = true;
            terminate(limits.killGrace);
        }
        if (!ended && !result.stopped && stop != nullptr && stop->Requested()) {
            result.stopped = true;
            if (ending) // already past its limit: quitting does not wait the whole grace
                killAt = std::min(killAt, now + kStopGrace);
            else
                terminate(kStopGrace);
        }
        // The user's stop ends the tool as its time limit does.
        if (!ended && !ending && !result.cancelled && cancel != nullptr && cancel->Requested()) {
            result.cancelled = true;
            terminate(limits.killGrace);
        }
        if (!ended && ending && !killed && now >= killAt) {
            signalGroup(pid, SIGKILL);
            killed = true;
        }
        if (!ended && answered && !ending && now >= exitBy) {
            signalGroup(pid, SIGKILL);
            ending = killed = true;
        }

        Clock::time_point wakeAt = Clock::time_point::max();
        if (ended)
            wakeAt = drainUntil;
        else if (!ending)
            wakeAt = answered ? exitBy : deadline;
        else if (!killed)
            wakeAt = killAt;
        pollfd fds[4];
        nfds_t count = 0;
        if (pipeOpen)
            fds[count++] = {source.get(), POLLIN, 0};
        if (!ended && pidFd.get() >= 0)
            fds[count++] = {pidFd.get(), POLLIN, 0};
        if (!result.stopped && stopFd >= 0)
            fds[count++] = {stopFd, POLLIN, 0};
        if (!result.cancelled && !ending && cancelFd >= 0)
            fds[count++] = {cancelFd, POLLIN, 0};
        // Without a descriptor for the child's end, or for a stop, look again regularly.
        const bool polled =
            !ended && (pidFd.get() < 0 || (stop != nullptr && stopFd < 0) || (cancel != nullptr && cancelFd < 0));
        long long waitMs = -1;
        if (wakeAt != Clock::time_point::max())
            waitMs = std::max<long long>(0, std::chrono::ceil<std::chrono::milliseconds>(wakeAt - now).count());
        if (polled && (waitMs < 0 || waitMs > kPollMs))
            waitMs = kPollMs;
        const int ready = ::poll(fds, count, static_cast<int>(std::min<long long>(waitMs, 1 << 30)));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready > 0 && pipeOpen && fds[0].revents != 0) {
            char buffer[64 * 1024];
            // A bounded number of chunks at a time, so a tool that writes without pause
            // cannot keep the limits below from being looked at.
            for (int chunks = 0; chunks < 64; ++chunks) {
                const ssize_t got = ::read(source.get(), buffer, sizeof buffer);
                if (got > 0 && reply == nullptr) {
                    head.Append(buffer, static_cast<std::size_t>(got));
                    continue;
                }
                if (got > 0) {
                    if (!answered && !reply->take(buffer, static_cast<std::size_t>(got))) {
                        answered = true;
                        exitBy = std::min(deadline, Clock::now() + reply->exitGrace);
                    }
                    continue;
                }
                if (got == 0 || (errno != EINTR && errno != EAGAIN))
                    pipeOpen = false;
                if (got < 0 && errno == EINTR)
                    continue;
                break;
            }
        }
    }

    // A run we ended takes the helpers of its group with it.
    if (ending)
        signalGroup(pid, SIGKILL);
    const int status = collect(pid);
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    result.exitCode = WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status);
    if (!result.Succeeded()) {
        const std::vector<std::string> lines = head.Lines();
        result.omittedErrorLines = head.OmittedLines();
        result.omittedErrorBytes = head.OmittedBytes();
        result.errorLines.reserve(lines.size());
        for (const auto& l : lines)
            result.errorLines.push_back(DecodeToolText(l));
    }
    return result;
}

} // namespace

ToolResult RunTool(const std::vector<std::string>& arguments, const ToolLimits& limits, const ToolStop* stop,
                   const ToolStop* cancel)
{
    return runTool(arguments, limits, stop, cancel, nullptr);
}

ToolResult RunTool(const std::vector<std::string>& arguments, const ToolLimits& limits, const ToolStop* stop,
                   const ToolReply& reply)
{
    return runTool(arguments, limits, stop, nullptr, &reply);
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
                it->pidFd = openPidFd(it->pid);
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
    const pid_t pid = launch(program.string(), {argument}, setup, start.error);
    if (pid < 0)
        return start;
    if (started)
        started(pid);
    reaper.Watch(pid, std::move(ended));
    start.started = true;
    return start;
}

} // namespace execution
