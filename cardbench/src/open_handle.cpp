#include "open_handle.h"

#include <chrono>

namespace cardbench {

void OpenHandle::setTimeouts(ULONG readMs, ULONG writeMs) {
    readTimeoutMs_ = readMs;
    writeTimeoutMs_ = writeMs;
}

void OpenHandle::markClosed() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    closing_.notify_all();
}

void OpenHandle::idleWait(ULONG timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto isClosed = [this] { return closed_.load(); };
    if (timeoutMs == 0) {
        closing_.wait(lock, isClosed);
    } else {
        closing_.wait_for(lock, std::chrono::milliseconds(timeoutMs), isClosed);
    }
}

}  // namespace cardbench
