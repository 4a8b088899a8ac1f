#include "link/card_discovery.h"

#include <cstring>
#include <iostream>
#include <string>

#include "link/d2xx_library.h"
#include "link/device_description.h"

namespace {

constexpr DWORD kMaxDevices = 254;  // device indices are 8-bit and 255 is never used

// The node's text fields are only NUL-terminated when they fit.
std::string fieldText(const char* field, std::size_t capacity) {
    return std::string(field, strnlen(field, capacity));
}

std::string serialOf(const FT_DEVICE_LIST_INFO_NODE& node) {
    return fieldText(node.SerialNumber, sizeof node.SerialNumber);
}

// The first other device whose serial differs only in its last character, or -1.
int findPartner(const std::vector<FT_DEVICE_LIST_INFO_NODE>& nodes, DWORD count, DWORD channelA) {
    const std::string serial = serialOf(nodes[channelA]);
    for (DWORD j = 0; j < count; ++j) {
        if (j != channelA && sameCard(serial, serialOf(nodes[j]))) return static_cast<int>(j);
    }
    return -1;
}

// Opens the card whose channel A is `index` and keeps it when it tells its slot.
void addCard(const std::vector<FT_DEVICE_LIST_INFO_NODE>& nodes, DWORD count, DWORD index,
             std::uint32_t baudRate, CardList& cards) {
    const FT_DEVICE_LIST_INFO_NODE& node = nodes[index];
    const std::string description = fieldText(node.Description, sizeof node.Description);
    switch (classifyDescription(description)) {
        case ChannelKind::NotACard:
        case ChannelKind::ChannelB:
            return;
        case ChannelKind::Unrecognised:
            std::cout << "error: NEXIR channel not recognised" << std::endl;
            return;
        case ChannelKind::ChannelA:
            break;
    }
    const std::int32_t flowControl = majorNumber(description) > 1 ? 1 : 0;
    const int partner = findPartner(nodes, count, index);
    if (partner < 0) return;

    const std::string serial = serialOf(node);
    auto card = std::make_shared<NEXIR>(static_cast<std::uint8_t>(index),
                                        static_cast<std::uint8_t>(partner), baudRate, flowControl,
                                        serial);
    if (card->querySlotId() != 0) {
        std::cout << "error: Issue found with card " << serial
                  << " update functions not available at this time" << std::endl;
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
    const DWORD allocated = count;
    if (ft.getDeviceInfoList(nodes.data(), &count) != FT_OK) return cards;
    // A device plugged in between the two calls may raise the count: stay in the array.
    if (count > allocated) count = allocated;

    for (DWORD index = 0; index < count; ++index) addCard(nodes, count, index, baudRate, cards);
    if (cards.empty()) {
        std::cout << "error: Failed to find any NEXIR cards that are ready to update" << std::endl;
    }
    return cards;
}
