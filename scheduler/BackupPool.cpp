#include "scheduler/BackupPool.h"

#include <utility>

bool BackupPool::Start(std::uint64_t key, Job job)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (stop_)
        return true; // the service is going; nothing starts any more
    if (!busy_.insert(key).second)
        return false;
    auto stop = std::make_shared<std::atomic<bool>>(false);
    stops_[key] = stop;
    queue_.push_back({key, std::move(job), std::move(stop)});
    if (threads_.size() < kThreads && threads_.size() < queue_.size() + running_) {
        try {
            threads_.emplace_back([this] { Serve(); });
        } catch (...) {
            // With no thread to take it, the job would wait for ever and block the task.
            if (threads_.empty()) {
                queue_.pop_back();
                busy_.erase(key);
                stops_.erase(key);
                throw;
            }
        }
    }
    wake_.notify_one();
    return true;
}

void BackupPool::Stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        queue_.clear();
        for (auto& [key, flag] : stops_)
            flag->store(true);
    }
    wake_.notify_all();
    for (std::thread& t : threads_)
        t.join();
    threads_.clear();
}

bool BackupPool::StopOne(std::uint64_t key)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = stops_.find(key);
    if (it == stops_.end())
        return false;
    it->second->store(true);
    return true;
}

void BackupPool::Serve()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (stop_)
            return;
        Queued queued = std::move(queue_.front());
        queue_.pop_front();
        ++running_;
        lock.unlock();
        const std::function<void()> then = queued.job(*queued.stop);
        // The task may run again from here on, while this run's end is being kept.
        lock.lock();
        --running_;
        busy_.erase(queued.key);
        stops_.erase(queued.key);
        if (then) {
            lock.unlock();
            then();
            lock.lock();
        }
    }
}
