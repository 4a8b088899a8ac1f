// Replay: the bench plays the cards of a D2XX recording (recorder/README.md) instead of
// its own models. recording_reader.h turns a recording into a scenario whose cards carry
// what their recorded counterparts did; this file holds that record and plays it.
//
// A replayed card is not played call for call, since the program polls a different number
// of times in every run. It is played against the moments of its own traffic: each command
// it is sent must be the next one the recorded card received, and the bytes the recorded
// program read from it come due at the recorded delay after the moment they followed
// (a command, a UART open, the start or end of a FIFO write). Its FIFO takes each write at
// the pace, to the count and with the status of the recorded write in the same place. The
// driver's other statuses are placed the same way: a poll, read or command write that the
// recorded driver failed fails at its moment, and a card whose recorded chip went away
// goes at the moment it went, so that every later call answers as on a gone card.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "link/ftd2xx_abi.h"
#include "scenario.h"
#include "upgrade.h"

namespace cardbench {

// The moments of a card's traffic that the bytes it sends are timed against.
enum class Milestone { UartOpened, Command, FifoWriteStart, FifoWriteEnd };
constexpr std::size_t kMilestoneKinds = 4;

// A moment of the recorded run, placed against the card's traffic: `offset` after the
// `ordinal`-th milestone of its kind (counted from 0 over the card's life).
struct RecordedMoment {
    Milestone anchor = Milestone::UartOpened;
    std::size_t ordinal = 0;
    Clock::duration offset{};
};

// Bytes the recorded program read from the card, due at their moment.
struct RecordedArrival {
    RecordedMoment at;
    std::string bytes;
};

// A poll, read or command write that the recorded driver failed while the card was still
// there: from its moment on, the next `calls` calls of that function on that channel
// answer `status`, a write with at most `written` bytes taken.
struct RecordedFailure {
    RecordedMoment at;
    std::string function;
    Channel channel = Channel::Uart;
    FT_STATUS status = FT_OK;
    std::uint64_t calls = 1;
    std::uint64_t written = 0;
};

// The status a call is answered with in place of its own, and for a write the most it
// reports taken.
struct PlayedFailure {
    FT_STATUS status;
    std::uint64_t written;
};

struct RecordedFifoWrite {
    std::uint64_t length = 0;
    std::uint64_t written = 0;  // at most `length`
    FT_STATUS status = FT_OK;
    Clock::duration duration{};
};

struct RecordedCard {
    std::string name;                   // its channel A's serial number, as the program names the card
    std::vector<std::string> commands;  // the lines it received, in order, without their line feeds
    std::vector<RecordedArrival> arrivals;
    std::vector<RecordedFifoWrite> fifoWrites;
    std::vector<RecordedFailure> failures;    // in the recorded order
    std::optional<RecordedMoment> unplugged;  // when the card went away, if it did
};

// What the recorded FT_EE_Read gave: every numeric field (the string pointers null), and
// the four strings, none where the recording has null.
struct RecordedEeprom {
    FT_PROGRAM_DATA fields{};
    std::array<std::optional<std::string>, 4> strings;  // Manufacturer, ManufacturerId, Description, SerialNumber
};

// How one FIFO write is taken, by a replayed card or a scenario's: up to `wanted` bytes at
// `bytesPerSecond` (0: all at once), ending with `status` once they are taken and `lasts`
// has passed.
struct FifoTake {
    std::size_t wanted = 0;
    double bytesPerSecond = 0;
    FT_STATUS status = FT_OK;
    Clock::duration lasts{};

    std::size_t takenAfter(Clock::duration elapsed) const;
    bool over(std::size_t taken, Clock::duration elapsed) const;
    // When, after the write's start, more bytes are taken or the write may end.
    Clock::duration nextChange(std::size_t taken) const;
};

// One replayed card while the program runs. Not thread-safe: the card guards it.
class CardReplay {
public:
    explicit CardReplay(std::shared_ptr<const RecordedCard> recording) : recording_(std::move(recording)) {}

    void uartOpened(Clock::time_point now) { happened(Milestone::UartOpened, now); }
    // A command line from the program, without its line feed. One that the recorded card
    // did not receive next is left unanswered, and a divergence is noted.
    void command(const std::string& line, Clock::time_point now);
    FifoTake fifoWriteStarts(std::size_t length, Clock::time_point now);
    void fifoWriteEnded(Clock::time_point now) { happened(Milestone::FifoWriteEnd, now); }

    // The recorded bytes whose moment has come, in the recorded order, each stamped with
    // when it is due; bytes wait for those before them.
    std::vector<TimedLine> arrivals();
    // The recorded failure that a call of `function` on `channel` answers now, if one is
    // due: each is played for as many calls as it was recorded for, in order.
    std::optional<PlayedFailure> failure(const std::string& function, Channel channel, Clock::time_point now);
    // Whether the recorded card has gone by now: its moment has come, and every byte the
    // recorded program read before it has been handed on.
    bool unplugDue(Clock::time_point now) const;
    // The divergences noted since the last call, one line of text each.
    std::vector<std::string> takeDivergences() { return std::exchange(divergences_, {}); }

private:
    void happened(Milestone kind, Clock::time_point now);
    std::optional<Clock::time_point> when(const RecordedMoment& moment) const;

    std::shared_ptr<const RecordedCard> recording_;
    std::size_t nextCommand_ = 0;
    std::size_t nextArrival_ = 0;
    std::size_t fifoWritesStarted_ = 0;
    std::vector<std::uint64_t> failureCallsPlayed_;  // per recorded failure
    std::array<std::vector<Clock::time_point>, kMilestoneKinds> happened_;
    std::vector<std::string> divergences_;
};

}  // namespace cardbench
