#include "timed_byte_queue.h"

#include <algorithm>

namespace cardbench {

void TimedByteQueue::push(Clock::time_point due, std::string bytes) {
    if (bytes.empty()) {
        return;
    }
    if (!batches_.empty()) {
        due = std::max(due, batches_.back().due);
    }
    batches_.push_back({due, std::move(bytes)});
}

std::size_t TimedByteQueue::arrived(Clock::time_point now) const {
    std::size_t count = 0;
    for (const auto& batch : batches_) {
        if (batch.due > now) {
            break;
        }
        count += batch.bytes.size();
    }
    return count;
}

std::string TimedByteQueue::take(std::size_t maxBytes, Clock::time_point now) {
    std::string taken;
    while (taken.size() < maxBytes && !batches_.empty() && batches_.front().due <= now) {
        auto& front = batches_.front();
        const std::size_t part = std::min(maxBytes - taken.size(), front.bytes.size());
        taken.append(front.bytes, 0, part);
        front.bytes.erase(0, part);
        if (front.bytes.empty()) {
            batches_.pop_front();
        }
    }
    return taken;
}

void TimedByteQueue::dropArrived(Clock::time_point now) {
    while (!batches_.empty() && batches_.front().due <= now) {
        batches_.pop_front();
    }
}

std::optional<Clock::time_point> TimedByteQueue::nextArrival(Clock::time_point now) const {
    for (const auto& batch : batches_) {
        if (batch.due > now) {
            return batch.due;
        }
    }
    return std::nullopt;
}

}  // namespace cardbench
