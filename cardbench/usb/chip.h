// One FT2232H on the bus, over the bench's card model: what its control requests do
// (FTDI's vendor requests, the EEPROM, the standard descriptor requests), where the bytes
// of its two channels go, and what it sends back on bulk IN. Channel A of a card is its
// FIFO, channel B its UART; a chip that is no card takes every byte and sends none.
// Thread-safe: control requests and reads come from the usbfs side, FIFO writes from the
// node's FIFO thread.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "descriptors.h"
#include "eeprom_image.h"
#include "model/device_table.h"

namespace cardbench::usb {

struct SetupPacket {
    std::uint8_t requestType;
    std::uint8_t request;
    std::uint16_t value;
    std::uint16_t index;
    std::uint16_t length;
};

// status 0, or a negative errno: -EPIPE for a request the chip stalls.
struct ControlReply {
    int status = 0;
    Bytes data;  // IN requests: what the chip answers
};

struct ChipStrings {
    std::string manufacturer, product, serial;
};

class Ft2232hChip {
public:
    // `devices`: the model's device index of channel A and B, -1 where the scenario has none.
    Ft2232hChip(DeviceTable& table, std::array<int, 2> devices, ChipStrings strings);

    const ChipStrings& strings() const { return strings_; }
    int device(int channel) const { return devices_[std::size_t(channel)]; }
    bool isCard() const { return card() != nullptr; }

    // No request the chip knows carries data to it, so an OUT request's data is not needed.
    ControlReply control(const SetupPacket& setup);

    // A bulk OUT transfer on a channel. Channel A of a card takes the bytes at the FIFO's
    // pace and returns once it has taken them, or has stopped taking them and `transfer`
    // is released (a discarded URB), or the card has gone.
    WriteOutcome write(int channel, OpenHandle& transfer, const std::uint8_t* data, std::size_t length);

    // Ends a write still running on `transfer`: discarded (`gone` false) or lost with the
    // card (`gone` true).
    void release(OpenHandle& transfer, bool gone);

    // A bulk IN transfer of `capacity` bytes submitted at `submitted`: what the chip sends
    // into it by `now`, if anything yet. A packet leaves once 510 data bytes wait, or when
    // the latency timer, restarted by every packet, runs out; each 512-byte packet starts
    // with the two modem-status bytes.
    std::optional<Bytes> bulkIn(int channel, std::size_t capacity, Clock::time_point submitted, Clock::time_point now);

    // The card behind the chip has gone (its unplug has come).
    bool gone();
    void interfaceClaimed(int channel);
    // Writes what the card's FIFO took to the dump folder, if the scenario names one.
    void dumpFifo() const;

private:
    struct ChannelState {
        unsigned latencyMs = 16;  // the chip's default latency timer
        std::string pending;      // received from the card, not yet sent in a packet
        Clock::time_point lastPacket{};
        std::unique_ptr<OpenHandle> model;  // the model's view of this channel, for reads and purges
    };

    Card* card() const;
    ControlReply vendorRequest(const SetupPacket& setup);
    ControlReply standardRequest(const SetupPacket& setup) const;
    ChannelState& channelOf(const SetupPacket& setup);
    void purgeReceived(int channel);

    DeviceTable& table_;
    const std::array<int, 2> devices_;
    const ChipStrings strings_;
    std::mutex mutex_;
    EepromImage eeprom_;
    std::array<ChannelState, 2> channels_;
};

}  // namespace cardbench::usb
