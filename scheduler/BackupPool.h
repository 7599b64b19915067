#pragma once

// The threads that run backups: a small fixed pool, started at the first backup, takes the
// jobs from a queue, so backups together hold a bounded number of descriptors. A task has
// at most one backup queued or running. Start, StopOne and Stop are called from the worker
// and the user-interface thread; the pool's own lock guards the queue and the tasks it
// holds, and is never held while a job runs. Stop ends and joins every thread: a running
// backup ends at its next chunk and keeps the previous copy of the document in progress.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class BackupPool
{
public:
    static constexpr std::size_t kThreads = 2;

    // A backup job runs on a pool thread with its stop flag (set by the user's stop of it and
    // for every job when the pool stops) and answers what is left to do once its task may
    // start another backup (keeping the run's end); that may be empty.
    using Job = std::function<std::function<void()>(const std::atomic<bool>& stop)>;

    BackupPool() = default;
    ~BackupPool() { Stop(); }

    BackupPool(const BackupPool&) = delete;
    BackupPool& operator=(const BackupPool&) = delete;

    // Queues the job of the task `key` (its serial). False when the task already has a backup
    // queued or running; true, running nothing, once the pool is stopped.
    bool Start(std::uint64_t key, Job job);
    // The user's stop of the task's backup, queued or running; false when it has none.
    bool StopOne(std::uint64_t key);
    // Drops the queued jobs, stops the running ones and joins the threads.
    void Stop();
    // Set once the pool stops: a backup that fails from then on was cut short by the quit.
    const std::atomic<bool>& Stopping() const { return stop_; }

private:
    struct Queued
    {
        std::uint64_t key;
        Job job;
        std::shared_ptr<std::atomic<bool>> stop;
    };

    void Serve();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Queued> queue_;
    std::unordered_set<std::uint64_t> busy_;                                      // the tasks queued or running
    std::unordered_map<std::uint64_t, std::shared_ptr<std::atomic<bool>>> stops_; // of the busy ones
    std::vector<std::thread> threads_;
    std::atomic<bool> stop_{false};
    std::size_t running_ = 0;
};
