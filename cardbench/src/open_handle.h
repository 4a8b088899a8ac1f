// One open D2XX handle: which device it belongs to, the time-outs set on it, and whether
// it has been closed. Blocked calls on a device that never answers (a plain FTDI device,
// a card's FIFO channel read) wait here until their time-out or the close.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "link/ftd2xx_abi.h"

namespace cardbench {

class OpenHandle {
public:
    explicit OpenHandle(int device) : device_(device) {}

    int device() const { return device_; }
    void setTimeouts(ULONG readMs, ULONG writeMs);
    ULONG readTimeoutMs() const { return readTimeoutMs_; }
    ULONG writeTimeoutMs() const { return writeTimeoutMs_; }
    const std::atomic<bool>& closedFlag() const { return closed_; }
    bool closed() const { return closed_; }
    void markClosed();
    // Sleeps until the time-out (ms, 0: none) passes or the handle is closed.
    void idleWait(ULONG timeoutMs);

private:
    const int device_;
    std::atomic<ULONG> readTimeoutMs_{0};  // the vendor library opens with no time-outs
    std::atomic<ULONG> writeTimeoutMs_{0};
    std::atomic<bool> closed_{false};
    std::mutex mutex_;
    std::condition_variable closing_;
};

}  // namespace cardbench
