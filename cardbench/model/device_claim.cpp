#include "device_claim.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace cardbench {

#if defined(_WIN32)
// A file opened with no sharing at all cannot be opened again until its handle closes.
bool DeviceClaim::take(const std::filesystem::path& file) {
    release();
    HANDLE opened = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        return false;
    }
    file_ = opened;
    return true;
}

void DeviceClaim::release() {
    if (file_ != nullptr) {
        CloseHandle(file_);
    }
    file_ = nullptr;
}
#else
// flock belongs to the open file description, so two claims conflict even within one process.
bool DeviceClaim::take(const std::filesystem::path& file) {
    release();
    const int opened = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (opened < 0) {
        return false;
    }
    if (flock(opened, LOCK_EX | LOCK_NB) != 0) {
        close(opened);
        return false;
    }
    file_ = opened;
    return true;
}

void DeviceClaim::release() {
    if (file_ >= 0) {
        close(file_);  // which drops the lock
    }
    file_ = -1;
}
#endif

}  // namespace cardbench
