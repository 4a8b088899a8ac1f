#pragma once

#include <cstdint>
#include <string>

// Outcome of the image transfer task.
struct UpdateResult {
    std::int32_t code = 0;  // 0 when the whole image was written, -1 otherwise
    std::string message;    // empty on success, the reason on failure
};
