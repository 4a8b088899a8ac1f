// A device's lock file in a folder that the benches of several processes share. While one
// process holds the device open, or lists it for a moment, the others cannot take it, as
// with the vendor library, which claims the USB interface. The operating system drops the
// lock when the process ends, however it ends, so a killed process never leaves a device
// held. Not thread-safe: the device table guards each claim.
#pragma once

#include <filesystem>

namespace cardbench {

class DeviceClaim {
public:
    DeviceClaim() = default;
    ~DeviceClaim() { release(); }
    DeviceClaim(const DeviceClaim&) = delete;
    DeviceClaim& operator=(const DeviceClaim&) = delete;

    // Takes the lock without waiting; false while another holder has it (another process,
    // or another claim of this one).
    bool take(const std::filesystem::path& file);
    void release();

private:
#if defined(_WIN32)
    void* file_ = nullptr;  // opened without sharing
#else
    int file_ = -1;  // carries the flock
#endif
};

}  // namespace cardbench
