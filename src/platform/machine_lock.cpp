#include "platform/machine_lock.h"

#include <thread>

#include "platform/interruption.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#endif

namespace nexir {
namespace {

constexpr std::chrono::milliseconds kPollInterval{10};

#if defined(_WIN32)
constexpr char kMutexName[] = "Global\\nexir-updater-discovery";
#endif

#if !defined(_WIN32)
// Opens the lock file at `path`, creating it readable for everyone: flock needs only a
// descriptor, so any user can lock a file another user created. An existing file is
// opened without O_CREAT, which a sticky folder such as /run/lock would refuse for a
// file of another user's.
int openLockFile(const std::string& path) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (file >= 0 || errno != ENOENT) return file;
        const int created = open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (created >= 0) {
            fchmod(created, 0644);  // whatever the umask left
            return created;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}
#endif

}  // namespace

#if defined(_WIN32)
// A named mutex in the global namespace, so that every session of the machine shares it,
// with a security descriptor that lets every user wait on it. A mutex whose owner died
// comes back as abandoned, which hands it over as well.
bool MachineLock::tryTake() {
    if (!mutex_) {
        name_ = kMutexName;
        SECURITY_DESCRIPTOR descriptor;
        InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
        SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
        mutex_ = CreateMutexA(&attributes, FALSE, kMutexName);
        if (!mutex_) mutex_ = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kMutexName);
        if (!mutex_) return false;
    }
    const DWORD waited = WaitForSingleObject(mutex_, 0);
    held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    return held_;
}

void MachineLock::release() {
    if (held_) ReleaseMutex(mutex_);
    held_ = false;
    if (mutex_) CloseHandle(mutex_);
    mutex_ = nullptr;
}
#else
// /run/lock is the machine's folder for such files; where it is missing, the temporary
// folder serves.
bool MachineLock::tryTake() {
    if (file_ < 0) {
        for (const std::string& folder : {std::string("/run/lock"), std::filesystem::temp_directory_path().string()}) {
            name_ = folder + "/nexir-updater.lock";
            file_ = openLockFile(name_);
            if (file_ >= 0) break;
        }
        if (file_ < 0) return false;
    }
    return flock(file_, LOCK_EX | LOCK_NB) == 0;
}

void MachineLock::release() {
    if (file_ >= 0) close(file_);  // which also unlocks
    file_ = -1;
}
#endif

bool MachineLock::acquire(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!tryTake()) {
        leaveIfInterrupted();
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kPollInterval);
    }
    return true;
}

}  // namespace nexir
