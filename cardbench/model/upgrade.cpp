#include "upgrade.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace cardbench {
namespace {

const char* const kDoneLine = "EVT FW_UPGRADE_STATUS DONE\n";
const char* const kFailLine = "EVT FW_UPGRADE_STATUS FAIL\n";

std::uint32_t littleEndian32(const std::uint8_t* bytes) {
    return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
           std::uint32_t(bytes[3]) << 24;
}

}  // namespace

UploadCheck::UploadCheck(const std::string& updateType, std::uint64_t announcedSize)
    : expectedTag_("NEXIR-" + updateType), size_(announcedSize) {
    expectedTag_.resize(12, ' ');
}

std::size_t UploadCheck::feed(const std::uint8_t* data, std::size_t length) {
    const std::size_t taken = std::size_t(std::min<std::uint64_t>(length, size_ - received_));
    std::size_t offset = 0;
    if (received_ < kHeaderSize) {
        const std::size_t headerPart = std::min<std::size_t>(taken, kHeaderSize - received_);
        std::memcpy(header_.data() + received_, data, headerPart);
        offset = headerPart;
    }
    payloadCrc_ = crc32_z(payloadCrc_, data + offset, taken - offset);
    received_ += taken;
    return taken;
}

bool UploadCheck::headerValid() const {
    if (!complete() || size_ < kHeaderSize) {
        return false;
    }
    const bool tagMatches = std::memcmp(header_.data(), expectedTag_.data(), 12) == 0;
    const bool lengthMatches = littleEndian32(header_.data() + 12) == size_ - kHeaderSize;
    const bool crcMatches = littleEndian32(header_.data() + 16) == std::uint32_t(payloadCrc_);
    return tagMatches && lengthMatches && crcMatches;
}

UpgradeSession::UpgradeSession(const UpgradeConfig& config, const UpgradeRequest& request, Clock::time_point start)
    : config_(config),
      request_(request),
      upload_(request.type, request.size),
      interval_(config.eventIntervalMs),
      nextTick_(start + interval_),
      lastIntake_(start) {
    enterStage(1, start);
    if (upload_.complete()) {
        uploadDoneAt_ = start;
    }
}

void UpgradeSession::takeFifoBytes(const std::uint8_t* data, std::size_t length, Clock::time_point now) {
    if (phase_ != Phase::Uploading || uploadDoneAt_) {
        return;
    }
    if (upload_.feed(data, length) > 0) {
        lastIntake_ = now;
    }
    if (upload_.complete()) {
        uploadDoneAt_ = now;
        if (config_.doneAfterUploadMs >= 0) {
            // A card that reports nothing between the last byte and its DONE.
            phase_ = Phase::Finished;
            schedule(now + std::chrono::milliseconds(config_.doneAfterUploadMs), 1, kDoneLine);
        }
    }
}

std::vector<TimedLine> UpgradeSession::advance(Clock::time_point now) {
    std::vector<TimedLine> out;
    for (;;) {
        const bool tickDue = phase_ != Phase::Finished && nextTick_ <= now;
        const bool lineDue = !scheduled_.empty() && scheduled_.front().due <= now;
        if (!tickDue && !lineDue) {
            return out;
        }
        if (lineDue && (!tickDue || scheduled_.front().due <= nextTick_)) {
            ScheduledLine line = std::move(scheduled_.front());
            scheduled_.erase(scheduled_.begin());
            emit(line.stage, std::move(line.text), line.due, out);
            continue;
        }
        processTick(nextTick_, out);
        nextTick_ += interval_;
    }
}

std::optional<Clock::time_point> UpgradeSession::nextEventTime() const {
    if (phase_ == Phase::Finished) {
        return scheduled_.empty() ? std::nullopt : std::optional<Clock::time_point>(scheduled_.front().due);
    }
    if (!scheduled_.empty()) {
        return std::min(nextTick_, scheduled_.front().due);
    }
    return nextTick_;
}

void UpgradeSession::abort() {
    phase_ = Phase::Finished;
    scheduled_.clear();
}

void UpgradeSession::processTick(Clock::time_point tick, std::vector<TimedLine>& out) {
    switch (phase_) {
        case Phase::Uploading:
            uploadTick(tick, out);
            break;
        case Phase::Staging:
            stageTick(tick, out);
            break;
        case Phase::FailPending:
            emitFail(tick, out);
            break;
        case Phase::DonePending:
            emit(stage_, kDoneLine, tick, out);
            abort();
            break;
        case Phase::Finished:
            break;
    }
}

void UpgradeSession::uploadTick(Clock::time_point tick, std::vector<TimedLine>& out) {
    const bool done = uploadDoneAt_ && *uploadDoneAt_ <= tick;
    if (!done && intakeStalled(tick)) {
        emitFail(tick, out);
        return;
    }
    const unsigned percent = done ? 100 : uploadPercent();
    if (config_.failAtStage == 1 && percent >= 50) {
        emitFail(tick, out);
        return;
    }
    emitStatus(1, percent, tick, out);
    if (!done) {
        return;
    }
    if (upload_.headerValid()) {
        enterStage(2, tick);
    } else {
        stage_ = 2;  // the CRC check is what rejects the image
        phase_ = Phase::FailPending;
    }
}

void UpgradeSession::stageTick(Clock::time_point tick, std::vector<TimedLine>& out) {
    ++ticksInStage_;
    const int duration = config_.stageMs[std::size_t(stage_ - 2)];
    const std::uint64_t elapsed = std::uint64_t(ticksInStage_ - 1) * std::uint64_t(config_.eventIntervalMs);
    const unsigned percent =
        duration <= 0 ? 100 : unsigned(std::min<std::uint64_t>(100, elapsed * 100 / unsigned(duration)));
    if (config_.failAtStage == stage_ && percent >= 50) {
        emitFail(tick, out);
        return;
    }
    emitStatus(stage_, percent, tick, out);
    if (percent < 100) {
        return;
    }
    if (stage_ == lastStage()) {
        phase_ = Phase::DonePending;
    } else {
        enterStage(stage_ + 1, tick);
    }
}

void UpgradeSession::enterStage(int stage, Clock::time_point start) {
    stage_ = stage;
    ticksInStage_ = 0;
    if (stage > 1) {
        phase_ = Phase::Staging;
    }
    for (const auto& extra : config_.extraLines) {
        if (extra.stage == stage) {
            // By default between the stage's first and second event.
            const auto offset = extra.atMs >= 0 ? std::chrono::milliseconds(extra.atMs) : interval_ + interval_ / 2;
            schedule(start + offset, stage, extra.data);
        }
    }
}

void UpgradeSession::schedule(Clock::time_point due, int stage, std::string text) {
    auto position = std::upper_bound(scheduled_.begin(), scheduled_.end(), due,
                                     [](Clock::time_point t, const ScheduledLine& line) { return t < line.due; });
    scheduled_.insert(position, {due, stage, std::move(text)});
}

void UpgradeSession::emit(int stage, std::string text, Clock::time_point due, std::vector<TimedLine>& out) const {
    const bool silenced = stage == 1 ? config_.silentDuringTransfer : config_.silentAfterTransfer;
    if (!silenced) {
        out.push_back({due, std::move(text)});
    }
}

void UpgradeSession::emitStatus(int stage, unsigned percent, Clock::time_point due, std::vector<TimedLine>& out) const {
    emit(stage, "EVT FW_UPGRADE_STATUS " + std::to_string(stage) + " " + std::to_string(percent) + "\n", due, out);
}

void UpgradeSession::emitFail(Clock::time_point due, std::vector<TimedLine>& out) {
    emit(stage_, kFailLine, due, out);
    abort();
}

unsigned UpgradeSession::uploadPercent() const {
    if (upload_.size() == 0) {
        return 100;
    }
    // The last bytes may have come in after this tick; the tick still saw the upload running.
    return unsigned(std::min<std::uint64_t>(99, upload_.received() * 100 / upload_.size()));
}

bool UpgradeSession::intakeStalled(Clock::time_point tick) const {
    return config_.intakeTimeoutMs > 0 && tick - lastIntake_ >= std::chrono::milliseconds(config_.intakeTimeoutMs);
}

}  // namespace cardbench
