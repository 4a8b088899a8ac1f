// The receive side of a UART channel: bytes the card has sent, each batch stamped with
// the moment it reaches the host. A batch counts as received only once its moment has
// passed. Batches keep their order, like bytes on a serial line, so a batch is never
// due before the one queued ahead of it. Not thread-safe: the card guards it.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>

#include "scenario.h"

namespace cardbench {

class TimedByteQueue {
public:
    void push(Clock::time_point due, std::string bytes);
    std::size_t arrived(Clock::time_point now) const;
    std::string take(std::size_t maxBytes, Clock::time_point now);
    void dropArrived(Clock::time_point now);
    std::optional<Clock::time_point> nextArrival(Clock::time_point now) const;

private:
    struct Batch {
        Clock::time_point due;
        std::string bytes;
    };
    std::deque<Batch> batches_;
};

}  // namespace cardbench
