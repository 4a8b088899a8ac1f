// One lock that every nexir-updater process of the machine shares, whoever runs it.
// Finding the cards opens every free FTDI device for a moment, in the driver's device
// listing and in our own opening of each card; two processes doing so at once take the
// devices from under each other. So each takes this lock first, and gives it back once
// it holds only the cards it keeps. A process that ends, however it ends, releases it.
#pragma once

#include <chrono>
#include <string>

namespace nexir {

class MachineLock {
public:
    MachineLock() = default;
    ~MachineLock() { release(); }
    MachineLock(const MachineLock&) = delete;
    MachineLock& operator=(const MachineLock&) = delete;

    // Waits at most `limit` for the lock; false when it did not come. Throws Interrupted
    // when an interruption comes while waiting.
    bool acquire(std::chrono::milliseconds limit);
    void release();
    // The lock file (Linux) or the mutex's name (Windows), for messages.
    const std::string& name() const { return name_; }

private:
    bool tryTake();

    std::string name_;
#if defined(_WIN32)
    void* mutex_ = nullptr;
    bool held_ = false;  // the mutex is ours to release
#else
    int file_ = -1;  // locked while open: closing it unlocks
#endif
};

}  // namespace nexir
