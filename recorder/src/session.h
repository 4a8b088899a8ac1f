// The recorder's state for the whole process: the vendor library it forwards to, the
// handles it has seen and the recording it writes.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "handle_table.h"
#include "recording.h"
#include "vendor_library.h"

namespace recorder {
struct Session {
    VendorLibrary library;
    HandleTable handles;
    std::unique_ptr<Recording> recording;
    std::chrono::steady_clock::time_point started;

    // Microseconds since the recording started, on the monotonic clock.
    std::int64_t now() const;
};

// The session, made by the process's first D2XX call and kept until it exits, when the
// recording gets its closing line. Null when the vendor library or the recording file
// is missing: one line on standard error has said so, and every call then fails the way
// it would with no device attached.
Session* session();

}  // namespace recorder
