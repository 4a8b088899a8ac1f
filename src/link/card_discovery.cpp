#include "link/card_discovery.h"

#include <iostream>
#include <string>

#include "link/d2xx_library.h"
#include "link/device_description.h"

namespace nexir {

namespace {

constexpr DWORD kMaxDevices = 254;  // device indices are 8-bit and 255 is never used

constexpr int kDevicesPerCard = 2;

// Opens the card whose channel A is `index` and keeps it when it tells its slot. A card
// that another program holds is counted in `held` and left alone at once.
void addCard(const FT_DEVICE_LIST_INFO_NODE& channelA, DWORD index, const DeviceVerdict& verdict,
             std::uint32_t baudRate, CardList& cards, int& held) {
    const std::string serial = serialOf(channelA);
    auto card = std::make_shared<NEXIR>(static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(verdict.partner),
                                        baudRate, verdict.flowControl ? 1 : 0, serial);
    if (card->heldElsewhere) {
        held += kDevicesPerCard;
        return;
    }
    // A card whose UART channel could not be set to the rate is not asked anything.
    if (card->baudRateRefused || card->querySlotId() != 0) {
        if (card->disconnected()) {
            std::cout << card->disconnectedMessage() << std::endl;
            return;
        }
        std::cout << "error: Issue found with card " << serial << " update functions not available at this time"
                  << std::endl;
        return;  // the card closes its channels as it goes out of scope
    }
    cards.push_back(std::move(card));
}

}  // namespace

CardList discoverCards(std::uint32_t baudRate) {
    const D2xxFunctions& ft = d2xx();
    CardList cards;
    DWORD count = 0;
    ft.createDeviceInfoList(&count);
    if (count == 0) {
        std::cout << "error: no FTDI devices detected" << std::endl;
        return cards;
    }
    if (count > kMaxDevices) {
        std::cout << "error: too many FTDI devices detected" << std::endl;
        return cards;
    }
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(count);
    if (ft.getDeviceInfoList(nodes.data(), &count) != FT_OK) return cards;
    // A device plugged in between the two calls may raise the count: stay in the array.
    if (count > nodes.size()) count = static_cast<DWORD>(nodes.size());

    int held = 0;
    for (DWORD index = 0; index < count; ++index) {
        if (heldElsewhere(nodes[index])) {
            ++held;
            continue;
        }
        const DeviceVerdict verdict = examineDevice(nodes, count, index);
        if (verdict.kind == ChannelKind::Unrecognised) {
            std::cout << "error: NEXIR channel not recognised" << std::endl;
        } else if (verdict.kind == ChannelKind::ChannelA && verdict.partner >= 0) {
            addCard(nodes[index], index, verdict, baudRate, cards, held);
        }
    }
    if (held > 0) {
        std::cout << "info: " << held << (held == 1 ? " FTDI device is" : " FTDI devices are")
                  << " in use by another program (another nexir-updater, or a driver such as ftdi_sio) and "
                  << (held == 1 ? "was" : "were") << " skipped" << std::endl;
    }
    if (cards.empty()) {
        std::cout << "error: Failed to find any NEXIR cards that are ready to update" << std::endl;
    }
    return cards;
}

}  // namespace nexir
