// Writing the upload image on the card's FIFO channel.
//
// No D2XX call can cancel a write that blocks in another thread, and closing the
// handle under it is unsafe. So the channel gets a finite write timeout and the image
// goes out as a loop of bounded writes: a write that times out returns FT_OK with what
// it managed, a driver may take less than it was given, and the loop checks the count,
// the abort flag and the card's progress between calls.
#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "link/d2xx_library.h"
#include "link/nexir.h"

namespace nexir {

namespace {

constexpr ULONG kFifoTimeoutMs = 1000;
constexpr std::chrono::seconds kStallLimit{60};
// Bytes handed to one write. Every call costs a wake-up of this thread and of the
// driver's, and on a busy machine a late wake-up is time lost to the wire. A 64 MiB
// upload to the bench's 40 MB/s FIFO (BENCHMARKS.md) ran 1.9 s past the card's own
// timeline in 64 KiB chunks, 0.7 s in 256 KiB, 0.15 to 0.8 s in 1 MiB and 0.05 to 0.37 s in
// 4 MiB, against 0.04 to 0.11 s for one single write. The upper bound is the wire: at
// a real FIFO's 8 MB/s a 4 MiB chunk takes about half a second, well within the write
// timeout, and a stop asked for between chunks is honoured within that time.
constexpr DWORD kChunkBytes = 4 * 1024 * 1024;
// A write that took nothing without an error (a driver that does not wait for room)
// is tried again after this pause rather than at once.
constexpr std::chrono::milliseconds kIdleWriteBackOff{10};

UpdateResult failure(std::string message) { return {-1, std::move(message)}; }

UpdateResult statusFailure(FT_STATUS status) { return failure("error: " + std::to_string(status)); }

}  // namespace

// A write that failed the way it does on a device that is gone is followed by one
// query on the same channel: if that fails alike, the card is gone, which the update
// tells in its own words.
UpdateResult NEXIR::writeFailure(FT_STATUS status) {
    fifoGone_.note(status);
    DWORD waiting = 0, transmitQueue = 0, events = 0;
    if (status == FT_IO_ERROR || status == FT_DEVICE_NOT_FOUND)
        fifoGone_.note(fifoStatus = d2xx().getStatus(fifoHandle, &waiting, &transmitQueue, &events));
    return fifoGone_.gone() ? failure(disconnectedMessage()) : statusFailure(status);
}

UpdateResult NEXIR::transferImage(const std::uint8_t* image, std::uint64_t size, const std::atomic<bool>* abort) {
    const D2xxFunctions& ft = d2xx();
    fifoStatus = ft.setTimeouts(fifoHandle, kFifoTimeoutMs, kFifoTimeoutMs);
    if (fifoStatus != FT_OK) return statusFailure(fifoStatus);

    std::uint64_t total = 0;
    auto lastProgress = std::chrono::steady_clock::now();
    while (total < size) {
        if (abort->load()) {
            return failure("error: transfer aborted after " + std::to_string(total) + " of " + std::to_string(size) +
                           " bytes");
        }
        const DWORD chunk = static_cast<DWORD>(std::min<std::uint64_t>(size - total, kChunkBytes));
        DWORD written = 0;
        // The library's buffer parameter is not const, but it only reads from it.
        fifoStatus = ft.write(fifoHandle, const_cast<std::uint8_t*>(image + total), chunk, &written);
        if (written > chunk) written = chunk;
        total += written;
        if (fifoStatus != FT_OK) return writeFailure(fifoStatus);
        const auto now = std::chrono::steady_clock::now();
        if (written > 0) {
            lastProgress = now;
        } else if (now - lastProgress >= kStallLimit) {
            return failure("error: card stopped taking data after " + std::to_string(total) + " of " +
                           std::to_string(size) + " bytes");
        } else {
            std::this_thread::sleep_for(kIdleWriteBackOff);
        }
    }
    return {0, ""};
}

}  // namespace nexir
