#include "replay.h"

#include <algorithm>
#include <cmath>

namespace cardbench {
namespace {

// A command as the divergence line shows it: in quotes, with what is not printable
// escaped.
std::string quoted(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string shown = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            shown += {'\\', c};
        } else if (c == '\r') {
            shown += "\\r";
        } else if (c == '\t') {
            shown += "\\t";
        } else if (byte < 0x20 || byte >= 0x7F) {
            shown += {'\\', 'x', hex[byte >> 4], hex[byte & 15]};
        } else {
            shown += c;
        }
    }
    return shown + "\"";
}

}  // namespace

std::size_t FifoTake::takenAfter(Clock::duration elapsed) const {
    if (bytesPerSecond <= 0) {
        return wanted;
    }
    const double allowed = std::floor(std::chrono::duration<double>(elapsed).count() * bytesPerSecond);
    return allowed < double(wanted) ? std::size_t(allowed) : wanted;
}

bool FifoTake::over(std::size_t taken, Clock::duration elapsed) const { return taken >= wanted && elapsed >= lasts; }

Clock::duration FifoTake::nextChange(std::size_t taken) const {
    if (taken >= wanted || bytesPerSecond <= 0) {
        return lasts;
    }
    // About every 5 ms of transfer time rather than for every byte; at the slowest, daily.
    const double next = std::min(double(wanted), double(taken) + std::max(1.0, bytesPerSecond / 200.0));
    return std::chrono::ceil<Clock::duration>(std::chrono::duration<double>(std::min(next / bytesPerSecond, 86400.0)));
}

void CardReplay::command(const std::string& line, Clock::time_point now) {
    const auto& commands = recording_->commands;
    if (nextCommand_ < commands.size() && commands[nextCommand_] == line) {
        ++nextCommand_;
        happened(Milestone::Command, now);
        return;
    }
    divergences_.push_back(
        "the card " + recording_->name + " was sent " + quoted(line) + " but the recording has it receive " +
        (nextCommand_ < commands.size() ? quoted(commands[nextCommand_]) + " next" : "nothing more"));
}

FifoTake CardReplay::fifoWriteStarts(std::size_t length, Clock::time_point now) {
    happened(Milestone::FifoWriteStart, now);
    FifoTake take;
    take.wanted = length;
    const auto& writes = recording_->fifoWrites;
    if (writes.empty()) {
        return take;
    }
    // Writes beyond the recorded ones go at the last one's pace.
    const std::size_t index = fifoWritesStarted_++;
    const RecordedFifoWrite& recorded = writes[std::min(index, writes.size() - 1)];
    const double seconds = std::chrono::duration<double>(recorded.duration).count();
    take.bytesPerSecond = seconds > 0 ? double(recorded.written) / seconds : 0;
    if (index < writes.size() && (recorded.written < recorded.length || recorded.status != FT_OK)) {
        take.wanted = std::size_t(std::min<std::uint64_t>(length, recorded.written));
        take.status = recorded.status;
        take.lasts = recorded.duration;
    }
    return take;
}

std::vector<TimedLine> CardReplay::arrivals() {
    std::vector<TimedLine> due;
    const auto& arrivals = recording_->arrivals;
    for (; nextArrival_ < arrivals.size(); ++nextArrival_) {
        const RecordedArrival& arrival = arrivals[nextArrival_];
        const auto moment = when(arrival.at);
        if (!moment) {
            break;
        }
        due.push_back({*moment, arrival.bytes});
    }
    return due;
}

std::optional<PlayedFailure> CardReplay::failure(const std::string& function, Channel channel, Clock::time_point now) {
    const auto& failures = recording_->failures;
    failureCallsPlayed_.resize(failures.size());
    for (std::size_t i = 0; i < failures.size(); ++i) {
        const RecordedFailure& failure = failures[i];
        if (failure.function != function || failure.channel != channel || failureCallsPlayed_[i] >= failure.calls) {
            continue;
        }
        // Only the first one not yet played may be: they come in the recorded order.
        const auto moment = when(failure.at);
        if (!moment || now < *moment) {
            return std::nullopt;
        }
        ++failureCallsPlayed_[i];
        return PlayedFailure{failure.status, failure.written};
    }
    return std::nullopt;
}

bool CardReplay::unplugDue(Clock::time_point now) const {
    if (!recording_->unplugged || nextArrival_ < recording_->arrivals.size()) {
        return false;
    }
    const auto moment = when(*recording_->unplugged);
    return moment && now >= *moment;
}

std::optional<Clock::time_point> CardReplay::when(const RecordedMoment& moment) const {
    const auto& moments = happened_[std::size_t(moment.anchor)];
    if (moment.ordinal >= moments.size()) {
        return std::nullopt;
    }
    return moments[moment.ordinal] + moment.offset;
}

void CardReplay::happened(Milestone kind, Clock::time_point now) { happened_[std::size_t(kind)].push_back(now); }

}  // namespace cardbench
