#pragma once

// Writes the store on a thread of its own, so that no run waits for the disk.
//
// Anyone may ask for a write (Request); the saver waits `delay` after the first request,
// so every change made meanwhile, and every change made while a write goes on, is covered
// by one later write of the newest state. A write that fails is tried again after
// `retryDelay`, or sooner when a new change asks for a write. At rest the thread sleeps
// without a timeout.
//
// What a kill may lose: the changes asked for within `delay` plus the time of two writes
// before it. Everything the caller writes itself (its own `write` call) is on disk when
// that call returns.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class StoreSaver
{
public:
    // `write` writes the newest state and answers whether it is on disk now; it is called
    // on the saver's thread, one call at a time.
    StoreSaver(std::function<bool()> write, std::chrono::milliseconds delay, std::chrono::milliseconds retryDelay);
    // Stop().
    ~StoreSaver();

    StoreSaver(const StoreSaver&) = delete;
    StoreSaver& operator=(const StoreSaver&) = delete;

    // Has the state as it is from now on written soon. Once stopped, writes at once on the
    // calling thread.
    void Request();
    // A write made elsewhere failed: tries again after the retry delay, unless a request
    // comes first.
    void RetryLater();
    // Writes what was asked for and not written yet, then ends the thread.
    void Stop();

private:
    void Run();

    std::function<bool()> write_;
    const std::chrono::milliseconds delay_;
    const std::chrono::milliseconds retryDelay_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool pending_ = false; // a write was asked for
    bool retry_ = false;   // the last write failed
    bool stop_ = false;
    std::thread thread_;
};
