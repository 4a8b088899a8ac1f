// One firmware upgrade as the card runs it, from the accepted "SET FW_UPGRADE" request
// to DONE or FAIL. The session is a timeline: status events fall due on a fixed tick
// (every event interval), and advance() hands out every line whose moment has come,
// stamped with that moment. Stage 1 lasts as long as the upload; stages 2 to 4 take the
// configured times. Nothing runs on its own: the card advances the session whenever the
// host looks, which keeps the bench free of worker threads. Not thread-safe: the card
// guards it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "scenario.h"

namespace cardbench {

struct UpgradeRequest {
    std::string type;  // SW or FPGA
    std::uint64_t size = 0;
    bool skipVerify = false;
    bool reconfig = false;
};

struct TimedLine {
    Clock::time_point due;
    std::string text;
};

// The card's view of one announced upload: it counts the bytes arriving on the FIFO up
// to the announced size and, once they are all there, judges the 32-byte header the
// same way the card's firmware does (tag, payload length, CRC-32 of the payload).
class UploadCheck {
public:
    UploadCheck(const std::string& updateType, std::uint64_t announcedSize);

    // Takes what belongs to the upload and returns how many bytes that was.
    std::size_t feed(const std::uint8_t* data, std::size_t length);
    std::uint64_t received() const { return received_; }
    std::uint64_t size() const { return size_; }
    bool complete() const { return received_ >= size_; }
    bool headerValid() const;

private:
    static constexpr std::size_t kHeaderSize = 32;
    std::string expectedTag_;
    std::uint64_t size_;
    std::uint64_t received_ = 0;
    std::array<std::uint8_t, kHeaderSize> header_{};
    unsigned long payloadCrc_ = 0;  // zlib's running CRC-32, as the payload arrives in pieces
};

class UpgradeSession {
public:
    UpgradeSession(const UpgradeConfig& config, const UpgradeRequest& request, Clock::time_point start);

    void takeFifoBytes(const std::uint8_t* data, std::size_t length, Clock::time_point now);
    std::vector<TimedLine> advance(Clock::time_point now);
    std::optional<Clock::time_point> nextEventTime() const;
    // When the last byte of the announced image came in, once it has.
    std::optional<Clock::time_point> uploadDoneAt() const { return uploadDoneAt_; }
    void abort();

private:
    enum class Phase { Uploading, Staging, FailPending, DonePending, Finished };

    void processTick(Clock::time_point tick, std::vector<TimedLine>& out);
    void uploadTick(Clock::time_point tick, std::vector<TimedLine>& out);
    void stageTick(Clock::time_point tick, std::vector<TimedLine>& out);
    void enterStage(int stage, Clock::time_point start);
    void schedule(Clock::time_point due, int stage, std::string text);
    void emit(int stage, std::string text, Clock::time_point due, std::vector<TimedLine>& out) const;
    void emitStatus(int stage, unsigned percent, Clock::time_point due, std::vector<TimedLine>& out) const;
    void emitFail(Clock::time_point due, std::vector<TimedLine>& out);
    unsigned uploadPercent() const;
    bool intakeStalled(Clock::time_point tick) const;
    int lastStage() const { return request_.skipVerify ? 3 : 4; }

    struct ScheduledLine {
        Clock::time_point due;
        int stage;
        std::string text;
    };

    UpgradeConfig config_;
    UpgradeRequest request_;
    UploadCheck upload_;
    std::chrono::milliseconds interval_;
    Phase phase_ = Phase::Uploading;
    int stage_ = 1;
    int ticksInStage_ = 0;
    Clock::time_point nextTick_;
    Clock::time_point lastIntake_;
    std::optional<Clock::time_point> uploadDoneAt_;
    std::vector<ScheduledLine> scheduled_;  // one-off lines, kept sorted by due time
};

}  // namespace cardbench
