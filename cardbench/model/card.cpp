#include "card.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace cardbench {
namespace {

using Millis = std::chrono::milliseconds;
constexpr std::uint64_t kReservedIntake = 256u << 20;  // beyond this, the vector grows as it must

std::optional<Clock::time_point> earliest(std::optional<Clock::time_point> a, std::optional<Clock::time_point> b) {
    if (a && b) {
        return std::min(*a, *b);
    }
    return a ? a : b;
}

std::optional<Clock::time_point> deadlineAfter(Clock::time_point start, ULONG timeoutMs) {
    if (timeoutMs == 0) {
        return std::nullopt;
    }
    return start + Millis(timeoutMs);
}

// What a card says to one command line and what the command sets in motion.
enum class CardAction { None, Subscribe, StartUpgrade, AbortUpgrade };

struct CommandOutcome {
    ScriptedAnswer answer;
    CardAction action = CardAction::None;
    UpgradeRequest request;  // for StartUpgrade
};

ScriptedAnswer say(std::string text) { return ScriptedAnswer{{AnswerChunk{std::move(text), 0}}}; }

ScriptedAnswer reply(const std::string& command, const std::string& value) {
    return say("R" + command + " " + value + "\n");
}

std::vector<std::string> words(const std::string& line) {
    std::istringstream stream(line);
    std::vector<std::string> result;
    for (std::string word; stream >> word;) {
        result.push_back(word);
    }
    return result;
}

bool isDecimal(const std::string& word) {
    if (word.empty() || word.size() > 19) {
        return false;
    }
    for (char c : word) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

// "SET FW_UPGRADE <type> <size> <which> [SKIP_VERIFY] [RECONFIG]"
bool parseUpgradeRequest(const std::vector<std::string>& w, UpgradeRequest& request) {
    if (w.size() < 5 || w.size() > 7 || (w[2] != "SW" && w[2] != "FPGA") || !isDecimal(w[3])) {
        return false;
    }
    request.type = w[2];
    request.size = std::stoull(w[3]);
    for (std::size_t i = 5; i < w.size(); ++i) {
        if (w[i] == "SKIP_VERIFY" && !request.skipVerify) {
            request.skipVerify = true;
        } else if (w[i] == "RECONFIG" && !request.reconfig) {
            request.reconfig = true;
        } else {
            return false;
        }
    }
    return true;
}

CommandOutcome defaultOutcome(const std::string& line, const CardConfig& card) {
    CommandOutcome outcome;
    outcome.answer = say("ERROR\n");
    if (line == "GET HW_SLOT_ID") {
        outcome.answer = reply(line, card.slot);
    } else if (line == "GET HW_FW_VER") {
        outcome.answer = reply(line, card.fpgaVersion);
    } else if (line == "GET HW_SW_VER") {
        outcome.answer = reply(line, card.swVersion);
    } else if (line == "SET EVT_ENA FW_UPGRADE_STATUS ON") {
        outcome.answer =
            card.subscriptionAnswer ? say(*card.subscriptionAnswer) : reply("SET EVT_ENA FW_UPGRADE_STATUS", "OK");
        outcome.action = CardAction::Subscribe;
    } else if (line == "SET FW_ABORT_UPGRADE") {
        outcome.answer = reply(line, "OK");
        outcome.action = CardAction::AbortUpgrade;
    } else if (line.rfind("SET FW_UPGRADE ", 0) == 0 && parseUpgradeRequest(words(line), outcome.request)) {
        outcome.answer = reply("SET FW_UPGRADE", "OK");
        outcome.action = CardAction::StartUpgrade;
    }
    return outcome;
}

const ScriptedAnswer* scriptedAnswer(const std::string& line, const CardConfig& card) {
    if (auto exact = card.answers.find(line); exact != card.answers.end()) {
        return &exact->second;
    }
    for (const auto& [key, answer] : card.answers) {
        if (commandMatches(key, line)) {
            return &answer;
        }
    }
    return nullptr;
}

// `line` is one command without its line feed.
CommandOutcome interpretCommand(const std::string& line, const CardConfig& card) {
    CommandOutcome outcome = defaultOutcome(line, card);
    if (const ScriptedAnswer* scripted = scriptedAnswer(line, card)) {
        // A scripted answer replaces only the words; the card still acts on the command.
        outcome.answer = *scripted;
    }
    return outcome;
}

}  // namespace

void TimedByteQueue::push(Clock::time_point due, std::string bytes) {
    if (bytes.empty()) {
        return;
    }
    if (!batches_.empty()) {
        due = std::max(due, batches_.back().due);
    }
    batches_.push_back({due, std::move(bytes)});
}

std::size_t TimedByteQueue::arrived(Clock::time_point now) const {
    std::size_t count = 0;
    for (const auto& batch : batches_) {
        if (batch.due > now) {
            break;
        }
        count += batch.bytes.size();
    }
    return count;
}

std::string TimedByteQueue::take(std::size_t maxBytes, Clock::time_point now) {
    std::string taken;
    while (taken.size() < maxBytes && !batches_.empty() && batches_.front().due <= now) {
        auto& front = batches_.front();
        const std::size_t part = std::min(maxBytes - taken.size(), front.bytes.size());
        taken.append(front.bytes, 0, part);
        front.bytes.erase(0, part);
        if (front.bytes.empty()) {
            batches_.pop_front();
        }
    }
    return taken;
}

void TimedByteQueue::dropArrived(Clock::time_point now) {
    while (!batches_.empty() && batches_.front().due <= now) {
        batches_.pop_front();
    }
}

std::optional<Clock::time_point> TimedByteQueue::nextArrival(Clock::time_point now) const {
    for (const auto& batch : batches_) {
        if (batch.due > now) {
            return batch.due;
        }
    }
    return std::nullopt;
}

void Card::uartOpened(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (replay_) {
        replay_->uartOpened(now);
    }
    rx_.dropArrived(now);
    pendingLine_.clear();
}

bool Card::uartWrite(const std::string& bytes, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    advanceLocked(now);
    pendingLine_ += bytes;
    bool goes = false;
    for (auto end = pendingLine_.find('\n'); !goes && end != std::string::npos; end = pendingLine_.find('\n')) {
        const std::string line = pendingLine_.substr(0, end);
        pendingLine_.erase(0, end + 1);
        goes = config_.unplug && config_.unplug->atCommand && commandMatches(*config_.unplug->atCommand, line);
        if (!goes) {
            handleLineLocked(line, now);
        }
    }
    changed_.notify_all();
    return goes;
}

std::size_t Card::uartWaiting(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    advanceLocked(now);
    return rx_.arrived(now);
}

std::string Card::uartRead(std::size_t count, ULONG timeoutMs, const std::atomic<bool>& closed) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto deadline = deadlineAfter(Clock::now(), timeoutMs);
    for (;;) {
        const auto now = Clock::now();
        advanceLocked(now);
        if (rx_.arrived(now) >= count || closed || (deadline && now >= *deadline)) {
            return rx_.take(count, now);
        }
        waitLocked(lock, earliest(deadline, nextWakeLocked(now)));
    }
}

void Card::uartPurge(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    advanceLocked(now);
    rx_.dropArrived(now);
}

WriteOutcome Card::fifoWrite(const std::uint8_t* data, std::size_t length, ULONG timeoutMs,
                             const std::atomic<bool>& closed) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (replay_) {
        return replayFifoWriteLocked(lock, data, length, timeoutMs, closed);
    }
    if (zeroWritesMade_ < config_.upgrade.zeroWrites) {
        ++zeroWritesMade_;  // a driver that does not wait for room
        return {FT_OK, 0};
    }
    FifoTake take;
    take.wanted = shortenedLocked(length);
    if (config_.upgrade.maxWriteBytes > 0) {
        take.wanted = std::min<std::size_t>(take.wanted, config_.upgrade.maxWriteBytes);
    }
    take.bytesPerSecond = config_.upgrade.rateBytesPerS;
    return takeFifoLocked(lock, data, take, Clock::now(), timeoutMs, closed);
}

std::vector<std::uint8_t> Card::fifoReceived() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::uint64_t Card::fifoTaken() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_.size();
}

std::optional<Clock::time_point> Card::uploadDoneAt() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return upgrade_ ? upgrade_->uploadDoneAt() : std::nullopt;
}

void Card::wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    changed_.notify_all();
}

void Card::advanceLocked(Clock::time_point now) {
    if (replay_) {
        for (auto& line : replay_->arrivals()) {
            rx_.push(line.due, std::move(line.text));
        }
    }
    if (!upgrade_) {
        return;
    }
    for (auto& line : upgrade_->advance(now)) {
        // The card reports upgrade progress only to a host that subscribed to it.
        if (subscribed_) {
            rx_.push(line.due, std::move(line.text));
        }
    }
}

void Card::handleLineLocked(const std::string& line, Clock::time_point now) {
    if (replay_) {
        replay_->command(line, now);
        return;
    }
    if (config_.silent) {
        return;
    }
    const CommandOutcome outcome = interpretCommand(line, config_);
    const auto answerAt = now + Millis(config_.latencyMs);
    switch (outcome.action) {
        case CardAction::Subscribe:
            subscribed_ = true;
            break;
        case CardAction::StartUpgrade:
            upgrade_.emplace(config_.upgrade, outcome.request, answerAt);
            takenSinceRequest_ = 0;
            // Growing the record of received bytes mid-upload would copy it all and stall
            // the intake for as long: room for the announced image is made now.
            received_.reserve(received_.size() +
                              std::size_t(std::min<std::uint64_t>(outcome.request.size, kReservedIntake)));
            break;
        case CardAction::AbortUpgrade:
            if (upgrade_) {
                upgrade_->abort();
            }
            break;
        case CardAction::None:
            break;
    }
    auto due = answerAt;
    for (const auto& chunk : outcome.answer.chunks) {
        due += Millis(chunk.delayMs);
        rx_.push(due, chunk.data);
    }
}

std::optional<Clock::time_point> Card::nextWakeLocked(Clock::time_point now) const {
    auto wake = rx_.nextArrival(now);
    if (upgrade_ && subscribed_) {
        wake = earliest(wake, upgrade_->nextEventTime());
    }
    return wake;
}

void Card::acceptFifoLocked(const std::uint8_t* data, std::size_t length, Clock::time_point now) {
    // Events that fell due before these bytes came in must not see them yet.
    advanceLocked(now);
    received_.insert(received_.end(), data, data + length);
    takenSinceRequest_ += length;
    if (upgrade_) {
        upgrade_->takeFifoBytes(data, length, now);
    }
    changed_.notify_all();
}

std::size_t Card::roomLocked(std::size_t most) const {
    const auto& limit = config_.upgrade.stopTakingAfter;
    if (!limit) {
        return most;
    }
    const std::uint64_t room = *limit > takenSinceRequest_ ? *limit - takenSinceRequest_ : 0;
    return std::size_t(std::min<std::uint64_t>(most, room));
}

std::size_t Card::shortenedLocked(std::size_t length) {
    const std::uint32_t shortBy = config_.upgrade.shortWrite;
    if (shortBy == 0 || shortWriteUsed_) {
        return length;
    }
    shortWriteUsed_ = true;
    return length > shortBy ? length - shortBy : 0;
}

void Card::waitLocked(std::unique_lock<std::mutex>& lock, std::optional<Clock::time_point> until) {
    if (until) {
        changed_.wait_until(lock, *until);
    } else {
        changed_.wait(lock);
    }
}

// Replay: the write is taken at the recorded write's pace, no more than the recorded card
// took, and ends with the recorded status, no sooner than the recorded write did. Its
// start and end are moments that the card's recorded lines are timed against.
WriteOutcome Card::replayFifoWriteLocked(std::unique_lock<std::mutex>& lock, const std::uint8_t* data,
                                         std::size_t length, ULONG timeoutMs, const std::atomic<bool>& closed) {
    const auto start = Clock::now();
    const FifoTake take = replay_->fifoWriteStarts(length, start);
    changed_.notify_all();
    const WriteOutcome outcome = takeFifoLocked(lock, data, take, start, timeoutMs, closed);
    replay_->fifoWriteEnded(Clock::now());
    changed_.notify_all();
    return outcome;
}

// Bytes are taken as the write's pace allows and the card still takes any; once it takes
// no more, the write waits for its time-out or a close.
WriteOutcome Card::takeFifoLocked(std::unique_lock<std::mutex>& lock, const std::uint8_t* data, const FifoTake& take,
                                  Clock::time_point start, ULONG timeoutMs, const std::atomic<bool>& closed) {
    const auto deadline = deadlineAfter(start, timeoutMs);
    WriteOutcome outcome{FT_OK, 0};
    for (;;) {
        const auto now = Clock::now();
        const std::size_t paced = take.takenAfter(now - start);
        const std::size_t count = paced > outcome.written ? roomLocked(paced - outcome.written) : 0;
        if (count > 0) {
            acceptFifoLocked(data + outcome.written, count, now);
            outcome.written += count;
        }
        if (take.over(outcome.written, now - start)) {
            return {take.status, outcome.written};
        }
        if (closed) {
            return {FT_IO_ERROR, outcome.written};
        }
        if (deadline && now >= *deadline) {
            return outcome;
        }
        const bool full = roomLocked(1) == 0;
        waitLocked(lock,
                   earliest(deadline, full ? std::nullopt : std::optional(start + take.nextChange(outcome.written))));
    }
}

std::vector<std::string> Card::takeReplayDivergences() {
    std::lock_guard<std::mutex> lock(mutex_);
    return replay_ ? replay_->takeDivergences() : std::vector<std::string>{};
}

std::optional<PlayedFailure> Card::recordedFailure(const std::string& function, Channel channel) {
    std::lock_guard<std::mutex> lock(mutex_);
    return replay_ ? replay_->failure(function, channel, Clock::now()) : std::nullopt;
}

bool Card::recordedUnplugDue(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!replay_) {
        return false;
    }
    advanceLocked(now);
    return rx_.empty() && replay_->unplugDue(now);
}

}  // namespace cardbench
