// The image transfer running on a thread of its own while the main thread follows
// the card's events. Destroying the task stops the transfer at its next write and
// waits for it, so the image and the card outlive every write.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <optional>

#include "link/nexir.h"
#include "update/upload_image.h"

namespace nexir {

class TransferTask {
public:
    TransferTask(NEXIR& card, const UploadImage& image);
    ~TransferTask();
    TransferTask(const TransferTask&) = delete;
    TransferTask& operator=(const TransferTask&) = delete;

    // True once the transfer has ended; waits at most `limit` for it.
    bool finishedWithin(std::chrono::milliseconds limit) const;
    // The transfer's outcome; only once finishedWithin has returned true.
    const UpdateResult& result();
    // Asks the transfer to stop at its next chunk and waits for it to end, which takes
    // at most one chunk's write timeout.
    void stop();

private:
    std::atomic<bool> abort_{false};
    std::future<UpdateResult> future_;
    std::optional<UpdateResult> result_;
};

}  // namespace nexir
