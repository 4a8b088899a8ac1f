// The FTDI device list the host sees, the handles open on it, each chip's configuration
// EEPROM, each card's presence on the bus, and where the traffic of an open channel goes:
// a card's UART channel talks to the card, a card's FIFO channel feeds its upload, and
// any other FTDI device accepts writes and never sends anything. Handles are opaque
// numbers that are never reused, so a stale or invented handle is recognised without
// touching memory. Thread-safe.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "card.h"
#include "device_claim.h"
#include "scenario.h"

namespace cardbench {

// One open D2XX handle: which device it belongs to, the time-outs set on it, and whether
// it has been closed or its device has gone away. Blocked calls on a device that never
// answers (a plain FTDI device, a card's FIFO channel read) wait here until their
// time-out, the close or the device's going.
class OpenHandle {
public:
    explicit OpenHandle(int device) : device_(device) {}

    int device() const { return device_; }
    void setTimeouts(ULONG readMs, ULONG writeMs) {
        readTimeoutMs_ = readMs;
        writeTimeoutMs_ = writeMs;
    }
    ULONG readTimeoutMs() const { return readTimeoutMs_; }
    ULONG writeTimeoutMs() const { return writeTimeoutMs_; }
    // Set once the handle is closed or its device is gone: every wait on it ends.
    const std::atomic<bool>& releasedFlag() const { return released_; }
    bool released() const { return released_; }
    bool gone() const { return gone_; }
    void markClosed() { release(false); }
    void markGone() { release(true); }
    // Sleeps until the time-out (ms, 0: none) passes or the handle is released.
    void idleWait(ULONG timeoutMs);

private:
    void release(bool gone);

    const int device_;
    std::atomic<ULONG> readTimeoutMs_{0};  // the vendor library opens with no time-outs
    std::atomic<ULONG> writeTimeoutMs_{0};
    std::atomic<bool> released_{false};
    std::atomic<bool> gone_{false};
    std::mutex mutex_;
    std::condition_variable releasing_;
};

// Whether a card is still on the bus. The card's scenario may unplug it once its FIFO has
// taken a number of bytes, a while after the last byte of its upload, or as it takes a
// given command line (which the card itself reports, Card::uartWrite); a replayed card goes
// when the recorded one did. It is gone for good then. The counts and times are the
// card's own. Thread-safe.
class Presence {
public:
    // `card` has an unplug in its configuration.
    explicit Presence(std::shared_ptr<Card> card) : card_(std::move(card)) {}

    bool gone() const { return gone_; }
    // Of `length` bytes offered to the FIFO, how many it takes before the card goes.
    std::size_t fifoRoom(std::size_t length) const;
    // Whether the FIFO has taken the bytes the card goes after.
    bool fifoFull() const;
    // Whether the time after the upload has run out, or the recorded card's time has come.
    bool timeUp(Clock::time_point now) const;
    // True for the one caller that takes the card away.
    bool takeAway() { return !gone_.exchange(true); }

private:
    const UnplugConfig& unplug() const { return *card_->config().unplug; }

    const std::shared_ptr<Card> card_;
    std::atomic<bool> gone_{false};
};

struct EepromResult {
    FT_STATUS status = FT_OK;
    std::uint8_t fifoFlag = 0;
    bool othersUnchanged = false;  // for a program: every field but IFAIsFifo7 as last read
};

// The configuration EEPROM of one FTDI chip, as FT_EE_Read and FT_EE_Program see it.
// Both channels of a card share their chip's EEPROM. Like the vendor library on Linux,
// a read fills only the blocks that belong to the chip's family (for an FT2232H bytes
// 12..125 and the four strings) and stores that block version in Version.
class Eeprom {
public:
    Eeprom(const EepromConfig& config, ULONG deviceType, std::string description, std::string serial);

    EepromResult read(FT_PROGRAM_DATA& data);
    EepromResult program(const FT_PROGRAM_DATA& data);
    // Whether interface A works as a FIFO now: with mode_after_replug, as the flag was
    // when the chip enumerated (the scenario's load), else whatever the flag.
    bool fifoModeActive() const { return !config_.modeAfterReplug || config_.fifoFlag != 0; }

    static bool signaturesValid(const FT_PROGRAM_DATA& data);

private:
    struct Strings {
        std::string manufacturer, manufacturerId, description, serial;
        bool operator==(const Strings& other) const;
    };

    void fillFields(FT_PROGRAM_DATA& data) const;
    std::size_t blockEnd() const;
    std::vector<std::uint8_t> comparableBytes(const FT_PROGRAM_DATA& data) const;
    static Strings stringsOf(const FT_PROGRAM_DATA& data);

    const EepromConfig config_;
    const ULONG deviceType_;
    const Strings strings_;
    mutable std::mutex mutex_;
    std::uint8_t fifoFlag_;
    std::optional<std::vector<std::uint8_t>> lastReadBytes_;
    std::optional<Strings> lastReadStrings_;
};

struct Device {
    DeviceConfig config;
    std::shared_ptr<Card> card;  // null for a device that is no card channel
    std::shared_ptr<Eeprom> eeprom;
    std::shared_ptr<Presence> presence;  // null unless the card may be unplugged
};

struct Unplugged {
    std::string card;
    long ms;  // since the table was made
};

struct HandleLookup {
    std::shared_ptr<OpenHandle> handle;  // null unless open
    int device = -1;                     // also known for a handle closed before
};

// With a shared folder, the table claims a device in it (DeviceClaim) while the device is
// open here, and for a moment while listing it: the benches of several processes then see
// each other's opens. Devices are listed in scenario order, less those unplugged; a
// handle names its device by its place in the scenario.
class DeviceTable {
public:
    DeviceTable(const Scenario& scenario, const std::string& sharedDir);

    // Empty when no shared folder was named or it can be used; otherwise why it cannot
    // ("cannot make the shared folder ...", "cannot write in the shared folder ..."):
    // without it every open would fail, as if another process held every device.
    const std::string& sharedDirProblem() const { return sharedDirProblem_; }

    const Device& device(int index) const { return devices_.at(std::size_t(index)); }
    bool isCardFifo(int index) const;
    // FT_CreateDeviceInfoList: lists the devices present now and returns how many.
    int makeList();
    // The last list: its length, and one node.
    int listed() const;
    void fillNode(int position, FT_DEVICE_LIST_INFO_NODE& node) const;

    // `position` is a place in the last list; a device gone since is not found.
    FT_STATUS open(int position, FT_HANDLE& handle);
    HandleLookup find(FT_HANDLE handle) const;
    // Forgets an open handle and releases the calls blocked on it; a handle closed before
    // counts as a double close.
    FT_STATUS close(FT_HANDLE handle);
    int doubleCloses(int index) const;
    // Writes what a card's FIFO has taken to the scenario's dump folder, if it names one.
    void dumpFifo(int index) const;

    // Whether the device's card has gone away; a card whose time has come goes now.
    bool gone(int index);
    // Replay: the status the recorded driver failed this call on the device with, if any.
    std::optional<PlayedFailure> recordedFailure(int index, const std::string& function) const;
    // The unplugs since the last call, in order.
    std::vector<Unplugged> takeUnplugged();

    // Traffic on an open handle, routed by what its device is.
    WriteOutcome write(OpenHandle& handle, const std::uint8_t* data, std::size_t length);
    std::string read(OpenHandle& handle, std::size_t length);
    std::size_t waiting(OpenHandle& handle);
    void purge(OpenHandle& handle, ULONG mask);

private:
    struct ListEntry {
        int device;
        bool heldElsewhere;  // by another process sharing the folder
    };

    Card* uartCard(const OpenHandle& handle) const;
    void unplug(const Device& card);
    std::string prepareSharedDir() const;
    std::filesystem::path claimFile(int index) const;

    const std::vector<Device> devices_;
    const std::string fifoDumpDir_;
    const std::string sharedDir_;
    std::string sharedDirProblem_;
    const Clock::time_point madeAt_ = Clock::now();
    mutable std::mutex mutex_;
    std::map<FT_HANDLE, std::shared_ptr<OpenHandle>> live_;
    std::map<FT_HANDLE, int> closedBefore_;
    std::vector<FT_HANDLE> openHandleOf_;
    std::vector<std::unique_ptr<DeviceClaim>> claims_;  // per device, while open here
    std::vector<int> doubleCloses_;
    std::vector<ListEntry> list_;
    std::vector<Unplugged> unplugged_;
};

}  // namespace cardbench
