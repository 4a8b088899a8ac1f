// One NEXIR card as its two FTDI channels see it: command lines written on the UART
// channel are answered after the card's latency; status events of a running upgrade
// and unsolicited lines join the same receive queue when their moment comes; the FIFO
// channel takes upload bytes at the card's intake rate and keeps every byte received.
// Thread-safe: the program writes the FIFO on one thread while it polls the UART on
// another. Blocking calls wait on a condition variable, never by spinning.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "card_protocol.h"
#include "scenario.h"
#include "timed_byte_queue.h"
#include "upgrade_session.h"

namespace cardbench {

struct WriteOutcome {
    FT_STATUS status;
    std::size_t written;
};

class Card {
public:
    explicit Card(CardConfig config);

    void uartOpened(Clock::time_point now);
    void uartWrite(const std::string& bytes, Clock::time_point now);
    std::size_t uartWaiting(Clock::time_point now);
    // Waits until `count` bytes have arrived, the timeout (0: none) passes or the
    // handle is closed; returns what has arrived, at most `count` bytes.
    std::string uartRead(std::size_t count, ULONG timeoutMs, const std::atomic<bool>& closed);
    void uartPurge(Clock::time_point now);

    // Takes bytes at the card's intake rate; a finite timeout (ms, 0: none) ends the
    // write early with FT_OK and the count taken so far, like the vendor library.
    WriteOutcome fifoWrite(const std::uint8_t* data, std::size_t length, ULONG timeoutMs,
                           const std::atomic<bool>& closed);
    std::vector<std::uint8_t> fifoReceived() const;

    // Lets blocked calls notice that their handle was closed.
    void wake();

private:
    void advanceLocked(Clock::time_point now);
    void handleLineLocked(const std::string& line, Clock::time_point now);
    std::optional<Clock::time_point> nextWakeLocked(Clock::time_point now) const;
    void acceptFifoLocked(const std::uint8_t* data, std::size_t length, Clock::time_point now);
    std::size_t fifoTargetLocked(Clock::time_point start, Clock::time_point now, std::size_t taken,
                                 std::size_t wanted) const;
    std::optional<Clock::time_point> nextIntakeLocked(Clock::time_point start, std::size_t taken,
                                                      std::size_t wanted) const;
    std::size_t shortenedLocked(std::size_t length);
    void waitLocked(std::unique_lock<std::mutex>& lock, std::optional<Clock::time_point> until);

    const CardConfig config_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    TimedByteQueue rx_;
    std::string pendingLine_;
    bool subscribed_ = false;
    std::optional<UpgradeSession> upgrade_;
    std::vector<std::uint8_t> received_;
    std::uint64_t takenSinceRequest_ = 0;
    bool shortWriteUsed_ = false;
    std::uint32_t zeroWritesMade_ = 0;
};

}  // namespace cardbench
