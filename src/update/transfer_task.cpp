#include "update/transfer_task.h"

#include "link/nexir.h"
#include "update/upload_image.h"

TransferTask::TransferTask(NEXIR& card, const UploadImage& image) {
    future_ = std::async(std::launch::async, &NEXIR::transferImage, &card, image.bytes.get(),
                         image.size, &bytesWritten_, &abort_);
}

TransferTask::~TransferTask() {
    stop();
    if (future_.valid()) future_.wait();
}

bool TransferTask::finishedWithin(std::chrono::milliseconds limit) const {
    return future_.wait_for(limit) == std::future_status::ready;
}

UpdateResult TransferTask::result() {
    return future_.get();
}

void TransferTask::stop() {
    abort_ = true;
}
