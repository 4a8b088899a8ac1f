#include "update/transfer_task.h"

namespace nexir {

TransferTask::TransferTask(NEXIR& card, const UploadImage& image) {
    future_ = std::async(std::launch::async, &NEXIR::transferImage, &card, image.bytes.get(), image.size, &abort_);
}

TransferTask::~TransferTask() { stop(); }

bool TransferTask::finishedWithin(std::chrono::milliseconds limit) const {
    return future_.wait_for(limit) == std::future_status::ready;
}

const UpdateResult& TransferTask::result() {
    if (!result_) result_ = future_.get();
    return *result_;
}

void TransferTask::stop() {
    abort_ = true;
    if (future_.valid()) future_.wait();
}

}  // namespace nexir
