#include "channel_io.h"

#include <filesystem>
#include <fstream>

namespace cardbench {
namespace {

Card* uartCard(World& world, const OpenHandle& handle) {
    const Device& device = world.devices().device(handle.device());
    return device.config.channel == Channel::Uart ? device.card.get() : nullptr;
}

// Everything the card took in on its FIFO, saved for tests that run the real program.
void dumpFifo(const std::string& folder, const std::string& cardName, const Card& card) {
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    std::ofstream file(std::filesystem::path(folder) / (cardName + ".bin"), std::ios::binary | std::ios::trunc);
    const auto bytes = card.fifoReceived();
    file.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

}  // namespace

bool isCardFifo(const Device& device) { return device.card && device.config.channel == Channel::Fifo; }

void channelOpened(World& world, OpenHandle& handle) {
    if (Card* card = uartCard(world, handle)) {
        card->uartOpened(Clock::now());
    }
}

void channelClosed(World& world, OpenHandle& handle) {
    handle.markClosed();
    const Device& device = world.devices().device(handle.device());
    if (!device.card) {
        return;
    }
    device.card->wake();
    if (isCardFifo(device) && !world.fifoDumpDir().empty()) {
        dumpFifo(world.fifoDumpDir(), device.config.card, *device.card);
    }
}

WriteOutcome writeChannel(World& world, OpenHandle& handle, const std::uint8_t* data, std::size_t length) {
    const Device& device = world.devices().device(handle.device());
    if (isCardFifo(device) && !device.eeprom->fifoModeActive()) {
        // Interface A is still in its old mode: nothing reaches the card's FIFO.
        handle.idleWait(handle.writeTimeoutMs());
        return {FT_OK, 0};
    }
    if (isCardFifo(device)) {
        return device.card->fifoWrite(data, length, handle.writeTimeoutMs(), handle.closedFlag());
    }
    if (Card* card = uartCard(world, handle)) {
        card->uartWrite(std::string(reinterpret_cast<const char*>(data), length), Clock::now());
    }
    return {FT_OK, length};
}

std::string readChannel(World& world, OpenHandle& handle, std::size_t length) {
    if (Card* card = uartCard(world, handle)) {
        return card->uartRead(length, handle.readTimeoutMs(), handle.closedFlag());
    }
    handle.idleWait(handle.readTimeoutMs());
    return {};
}

std::size_t waitingOnChannel(World& world, OpenHandle& handle) {
    Card* card = uartCard(world, handle);
    return card ? card->uartWaiting(Clock::now()) : 0;
}

void purgeChannel(World& world, OpenHandle& handle, ULONG mask) {
    Card* card = uartCard(world, handle);
    if (card && (mask & FT_PURGE_RX) != 0) {
        card->uartPurge(Clock::now());
    }
}

}  // namespace cardbench
