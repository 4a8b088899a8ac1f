// One NEXIR card as its two FTDI channels see it. Command lines written on the UART
// channel are answered after the card's latency, from the scenario's script or the card's
// own defaults; status events of a running upgrade join the same receive queue when their
// moment comes. The FIFO channel takes upload bytes at the card's intake rate and keeps
// every byte received. Thread-safe: the program writes the FIFO on one thread while it
// polls the UART on another. Blocking calls wait on a condition variable, never by
// spinning, and end early once the `closed` flag they were given is set (and the card woken).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "replay.h"
#include "scenario.h"
#include "upgrade.h"

namespace cardbench {

// The receive side of a UART channel: bytes the card has sent, each batch stamped with
// the moment it reaches the host. A batch counts as received only once its moment has
// passed. Batches keep their order, like bytes on a serial line, so a batch is never
// due before the one queued ahead of it. Not thread-safe: the card guards it.
class TimedByteQueue {
public:
    void push(Clock::time_point due, std::string bytes);
    std::size_t arrived(Clock::time_point now) const;
    std::string take(std::size_t maxBytes, Clock::time_point now);
    void dropArrived(Clock::time_point now);
    std::optional<Clock::time_point> nextArrival(Clock::time_point now) const;
    bool empty() const { return batches_.empty(); }

private:
    struct Batch {
        Clock::time_point due;
        std::string bytes;
    };
    std::deque<Batch> batches_;
};

struct WriteOutcome {
    FT_STATUS status;
    std::size_t written;
};

class Card {
public:
    explicit Card(CardConfig config) : config_(std::move(config)) {
        if (config_.replay) {
            replay_.emplace(config_.replay);
        }
    }

    const CardConfig& config() const { return config_; }

    void uartOpened(Clock::time_point now);
    // True when the card has just taken the command line it goes at (its unplug's
    // atCommand): that line is never answered, and what follows it is left unhandled.
    bool uartWrite(const std::string& bytes, Clock::time_point now);
    std::size_t uartWaiting(Clock::time_point now);
    // Waits until `count` bytes have arrived, the timeout (0: none) passes or the
    // handle is closed; returns what has arrived, at most `count` bytes.
    std::string uartRead(std::size_t count, ULONG timeoutMs, const std::atomic<bool>& closed);
    void uartPurge(Clock::time_point now);

    // Takes bytes at the card's intake rate; a finite timeout (ms, 0: none) ends the
    // write early with FT_OK and the count taken so far, like the vendor library. A close
    // ends it with FT_IO_ERROR and the count taken so far.
    WriteOutcome fifoWrite(const std::uint8_t* data, std::size_t length, ULONG timeoutMs,
                           const std::atomic<bool>& closed);
    std::vector<std::uint8_t> fifoReceived() const;
    // How many bytes the FIFO has taken, over the card's whole life.
    std::uint64_t fifoTaken() const;
    // When the last byte of the running upgrade's image came in, once it has.
    std::optional<Clock::time_point> uploadDoneAt() const;

    // Lets blocked calls notice that their handle was closed.
    void wake();

    // Replay: the commands sent that the recorded card never received here, one line each.
    std::vector<std::string> takeReplayDivergences();
    // Replay: the status the recorded driver failed this call of `function` with, if it
    // failed one at this point of the session.
    std::optional<PlayedFailure> recordedFailure(const std::string& function, Channel channel);
    // Replay: whether the recorded card has gone by now. It goes only once the program
    // has read every byte it sent, as the recorded program had.
    bool recordedUnplugDue(Clock::time_point now);

private:
    void advanceLocked(Clock::time_point now);
    void handleLineLocked(const std::string& line, Clock::time_point now);
    std::optional<Clock::time_point> nextWakeLocked(Clock::time_point now) const;
    void acceptFifoLocked(const std::uint8_t* data, std::size_t length, Clock::time_point now);
    // Of `most` more bytes, how many the card takes before it stops taking any.
    std::size_t roomLocked(std::size_t most) const;
    std::size_t shortenedLocked(std::size_t length);
    void waitLocked(std::unique_lock<std::mutex>& lock, std::optional<Clock::time_point> until);
    WriteOutcome takeFifoLocked(std::unique_lock<std::mutex>& lock, const std::uint8_t* data, const FifoTake& take,
                                Clock::time_point start, ULONG timeoutMs, const std::atomic<bool>& closed);
    WriteOutcome replayFifoWriteLocked(std::unique_lock<std::mutex>& lock, const std::uint8_t* data, std::size_t length,
                                       ULONG timeoutMs, const std::atomic<bool>& closed);

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
    std::optional<CardReplay> replay_;  // a recorded card: it plays the recording instead of the config
};

}  // namespace cardbench
