#include "scheduler/StoreSaver.h"

#include "common/Logging.h"

#include <utility>

StoreSaver::StoreSaver(std::function<bool()> write, std::chrono::milliseconds delay,
                       std::chrono::milliseconds retryDelay)
    : write_(std::move(write))
    , delay_(delay)
    , retryDelay_(retryDelay)
    , thread_([this] { Run(); })
{}

StoreSaver::~StoreSaver()
{
    Stop();
}

void StoreSaver::Request()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stop_) {
            pending_ = true;
            wake_.notify_one();
            return;
        }
    }
    write_();
}

void StoreSaver::RetryLater()
{
    std::lock_guard<std::mutex> lock(mutex_);
    retry_ = true;
    wake_.notify_one();
}

void StoreSaver::Stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

void StoreSaver::Run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (!pending_) {
            if (stop_)
                return; // a failure is not tried again at the end: the caller asks
            if (!retry_) {
                wake_.wait(lock, [this] { return stop_ || pending_ || retry_; });
                continue;
            }
            // A new change writes sooner, after its own delay.
            if (wake_.wait_for(lock, retryDelay_, [this] { return stop_ || pending_; }))
                continue;
        } else if (!stop_) {
            // Changes made within the delay share this write.
            wake_.wait_for(lock, delay_, [this] { return stop_; });
        }
        pending_ = false;
        retry_ = false;
        lock.unlock();
        bool written = false;
        try {
            written = write_();
        } catch (const std::exception& e) {
            qCWarning(lcScheduler, "The task store was not saved: %s", e.what());
        }
        lock.lock();
        retry_ = retry_ || !written;
    }
}
