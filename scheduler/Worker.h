#pragma once

// The worker thread of the task storage service with its event loop: the tasks' timers wait
// there, and runs, command stops and clock checks are jobs on it. The thread is started by
// the constructor and joined by Stop (or the destructor); the loop is stopped first, also
// when the service's construction fails after the thread has started.
//
// The tasks' timers wait for instants of the wall clock, but the loop measures its waits on
// the monotonic clock, which stands still while the machine sleeps and does not follow a
// clock that is set. The kernel tells of both through a wall-clock timerfd armed with
// TFD_TIMER_CANCEL_ON_SET: the loop then checks every wait again. Otherwise the worker only
// wakes when a task is due. Everything here but Io() and Stop() belongs to the worker thread.

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <functional>
#include <thread>

class Worker
{
public:
    Worker();
    ~Worker();

    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // The loop the service's timers and jobs use; it outlives every timer made on it.
    boost::asio::io_context& Io() { return io_; }
    // Called on the worker when the clock changed, after the waits were measured anew. Set
    // it before any task is armed; from then on only the worker reads it.
    void SetClockChanged(std::function<void()> clockChanged) { clockChanged_ = std::move(clockChanged); }
    // The job running at this moment ends first; nothing queued runs afterwards. The loop
    // itself lives on until the worker is destroyed.
    void Stop();

private:
    void WatchClock();
    static bool ArmClockWatch(int fd);
    void AwaitClockChange();
    void Run();

    boost::asio::io_context io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard_{io_.get_executor()};
    boost::asio::posix::stream_descriptor clockChanges_{io_};
    // Expires at once when the clock changed: the loop measures every wait anew when one of
    // its own timers expires.
    boost::asio::steady_timer recheck_{io_};
    std::function<void()> clockChanged_;
    std::thread thread_;
};
