#include "scheduler/Worker.h"

#include "common/Logging.h"
#include "common/UniqueFd.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>

#include <sys/timerfd.h>
#include <unistd.h>

Worker::Worker()
{
    WatchClock();
    thread_ = std::thread([this] { Run(); });
}

Worker::~Worker()
{
    Stop();
}

void Worker::Stop()
{
    io_.stop();
    if (thread_.joinable())
        thread_.join();
}

void Worker::WatchClock()
{
    common::UniqueFd fd(::timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK));
    if (fd.get() < 0 || !ArmClockWatch(fd.get())) {
        qCWarning(lcScheduler, "The scheduler is not told when the clock is set: %s", std::strerror(errno));
        return;
    }
    clockChanges_.assign(fd.release());
    AwaitClockChange();
}

// Armed a year ahead: it is cancelled long before when the clock is set or the machine
// resumes, and re-armed when it expires.
bool Worker::ArmClockWatch(int fd)
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    itimerspec armed{};
    armed.it_value.tv_sec = now.tv_sec + 365 * 86'400;
    return ::timerfd_settime(fd, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &armed, nullptr) == 0;
}

void Worker::AwaitClockChange()
{
    clockChanges_.async_wait(
        boost::asio::posix::stream_descriptor::wait_read, [this](const boost::system::error_code& ec) {
            if (ec)
                return;
            // ECANCELED when the clock changed; the count when it expired.
            std::uint64_t expirations = 0;
            [[maybe_unused]] const auto got = ::read(clockChanges_.native_handle(), &expirations, sizeof expirations);
            recheck_.expires_after(std::chrono::nanoseconds(0));
            recheck_.async_wait([](const boost::system::error_code&) {});
            if (ArmClockWatch(clockChanges_.native_handle()))
                AwaitClockChange();
            if (clockChanged_)
                clockChanged_();
        });
}

void Worker::Run()
{
    // A job that throws is reported and the loop goes on with the next one.
    for (;;) {
        try {
            io_.run();
            return;
        } catch (const std::exception& e) {
            qCWarning(lcScheduler, "A scheduler job failed: %s", e.what());
        } catch (...) {
            qCWarning(lcScheduler, "A scheduler job failed.");
        }
    }
}
