#include "chip.h"

#include <algorithm>
#include <cerrno>

namespace cardbench::usb {
namespace {

// FTDI's vendor requests (bRequest of a vendor OUT/IN control transfer).
enum VendorRequest : std::uint8_t {
    kReset = 0x00,  // wValue 0: reset, 1: purge what waits for the host, 2: purge what waits for the chip
    kModemControl = 0x01,
    kSetFlowControl = 0x02,
    kSetBaudRate = 0x03,
    kSetData = 0x04,
    kGetModemStatus = 0x05,
    kSetEventChar = 0x06,
    kSetErrorChar = 0x07,
    kSetLatencyTimer = 0x09,
    kGetLatencyTimer = 0x0A,
    kSetBitMode = 0x0B,
    kReadPins = 0x0C,
    kReadEeprom = 0x90,
    kWriteEeprom = 0x91,
    kEraseEeprom = 0x92,
};

// CTS and DSR up, then the transmitter empty: an idle, connected line.
constexpr std::uint8_t kModemStatus[2] = {0x31, 0x60};
constexpr std::size_t kPacketData = kPacketSize - sizeof kModemStatus;

EepromImage initialEeprom(const Card* card, const ChipStrings& strings) {
    if (card && card->config().eeprom.readStatus != FT_OK) {
        return EepromImage();  // a chip whose EEPROM cannot be read as programmed: blank
    }
    const bool fifo = card && card->config().eeprom.fifoFlag != 0;
    return EepromImage(fifo, strings.manufacturer, strings.product, strings.serial);
}

ControlReply answer(std::initializer_list<std::uint8_t> bytes) { return {0, Bytes(bytes)}; }

}  // namespace

Ft2232hChip::Ft2232hChip(DeviceTable& table, std::array<int, 2> devices, ChipStrings strings)
    : table_(table), devices_(devices), strings_(std::move(strings)), eeprom_(initialEeprom(card(), strings_)) {
    for (int channel = 0; channel < 2; ++channel) {
        if (devices_[std::size_t(channel)] >= 0) {
            channels_[std::size_t(channel)].model = std::make_unique<OpenHandle>(devices_[std::size_t(channel)]);
        }
    }
}

Card* Ft2232hChip::card() const {
    for (int index : devices_) {
        if (index >= 0 && table_.device(index).card) return table_.device(index).card.get();
    }
    return nullptr;
}

ControlReply Ft2232hChip::control(const SetupPacket& setup) {
    const unsigned kind = setup.requestType & 0x60u;
    ControlReply reply = kind == 0x00   ? standardRequest(setup)
                         : kind == 0x40 ? vendorRequest(setup)
                                        : ControlReply{-EPIPE, {}};
    if (reply.data.size() > setup.length) reply.data.resize(setup.length);
    return reply;
}

ControlReply Ft2232hChip::standardRequest(const SetupPacket& setup) const {
    constexpr std::uint8_t kGetStatus = 0, kGetDescriptor = 6, kGetConfiguration = 8;
    switch (setup.request) {
        case kGetDescriptor: {
            const unsigned type = setup.value >> 8, index = setup.value & 0xFF;
            if (type == 1) return {0, deviceDescriptor()};
            if (type == 2) return {0, configurationDescriptor()};
            if (type == 3 && index <= 3) {
                const std::string* texts[] = {nullptr, &strings_.manufacturer, &strings_.product, &strings_.serial};
                return {0, index == 0 ? languageDescriptor() : stringDescriptor(*texts[index])};
            }
            return {-EPIPE, {}};
        }
        case kGetStatus:
            return answer({0, 0});
        case kGetConfiguration:
            return answer({1});
        default:
            return {};  // SET_CONFIGURATION, SET_INTERFACE, CLEAR_FEATURE...: accepted
    }
}

// wIndex's low byte names the port: 1 (or 0) is A, 2 is B.
Ft2232hChip::ChannelState& Ft2232hChip::channelOf(const SetupPacket& setup) {
    return channels_[(setup.index & 0xFF) == 2 ? 1 : 0];
}

ControlReply Ft2232hChip::vendorRequest(const SetupPacket& setup) {
    std::lock_guard<std::mutex> lock(mutex_);
    ChannelState& channel = channelOf(setup);
    switch (setup.request) {
        case kReset:
            if (setup.value == 0 || setup.value == 1) purgeReceived(&channel == &channels_[0] ? 0 : 1);
            return {};
        case kModemControl:
        case kSetFlowControl:
        case kSetBaudRate:
        case kSetData:
        case kSetEventChar:
        case kSetErrorChar:
        case kSetBitMode:
            return {};  // line settings: they matter to a real line only
        case kGetModemStatus:
            return answer({kModemStatus[0], kModemStatus[1]});
        case kSetLatencyTimer:
            channel.latencyMs = std::max(1u, setup.value & 0xFFu);
            return {};
        case kGetLatencyTimer:
            return answer({std::uint8_t(channel.latencyMs)});
        case kReadPins:
            return answer({0xFF});
        case kReadEeprom: {
            const std::uint16_t word = eeprom_.readWord(setup.index);
            return answer({std::uint8_t(word & 0xFF), std::uint8_t(word >> 8)});
        }
        case kWriteEeprom:
            eeprom_.writeWord(setup.index, setup.value);
            return {};
        case kEraseEeprom:
            eeprom_.erase();
            return {};
        default:
            return {-EPIPE, {}};
    }
}

// Bytes the card sent that wait in the chip are dropped, and so are those the model holds.
void Ft2232hChip::purgeReceived(int channel) {
    ChannelState& state = channels_[std::size_t(channel)];
    state.pending.clear();
    if (state.model) table_.purge(*state.model, FT_PURGE_RX);
}

WriteOutcome Ft2232hChip::write(int channel, OpenHandle& transfer, const std::uint8_t* data, std::size_t length) {
    if (devices_[std::size_t(channel)] < 0) return {FT_OK, length};
    return table_.write(transfer, data, length);
}

std::optional<Bytes> Ft2232hChip::bulkIn(int channel, std::size_t capacity, Clock::time_point submitted,
                                         Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    ChannelState& state = channels_[std::size_t(channel)];
    if (state.model) {
        const std::size_t arrived = table_.waiting(*state.model);
        if (arrived > 0) state.pending += table_.read(*state.model, arrived);
    }
    const auto timerEnd = std::max(submitted, state.lastPacket) + std::chrono::milliseconds(state.latencyMs);
    if (state.pending.size() < kPacketData && now < timerEnd) return std::nullopt;
    Bytes payload;
    while (capacity - payload.size() >= sizeof kModemStatus) {
        const std::size_t room = std::min(kPacketSize, capacity - payload.size()) - sizeof kModemStatus;
        const std::size_t count = std::min(room, state.pending.size());
        payload.insert(payload.end(), std::begin(kModemStatus), std::end(kModemStatus));
        payload.insert(payload.end(), state.pending.begin(), state.pending.begin() + std::ptrdiff_t(count));
        state.pending.erase(0, count);
        if (count < kPacketData) break;  // a short packet ends the transfer
    }
    state.lastPacket = now;
    return payload;
}

void Ft2232hChip::release(OpenHandle& transfer, bool gone) {
    gone ? transfer.markGone() : transfer.markClosed();
    if (Card* target = card()) target->wake();
}

bool Ft2232hChip::gone() {
    for (int index : devices_) {
        if (index >= 0 && table_.gone(index)) return true;
    }
    return false;
}

void Ft2232hChip::interfaceClaimed(int channel) {
    const int index = devices_[std::size_t(channel)];
    if (index >= 0 && table_.device(index).card && table_.device(index).config.channel == Channel::Uart) {
        table_.device(index).card->uartOpened(Clock::now());
    }
}

void Ft2232hChip::dumpFifo() const {
    for (int index : devices_) {
        if (index >= 0) table_.dumpFifo(index);
    }
}

}  // namespace cardbench::usb
