#include <iostream>

#include "cli/commands.h"
#include "cli/version_token.h"
#include "link/card_discovery.h"

void reportNoReadyCards() {
    std::cout << "error: no available and ready NEXIR cards detected, exiting..." << std::endl;
}

std::int32_t statusCommand(std::uint32_t baudRate) {
    CardList cards = discoverCards(baudRate);
    if (cards.empty()) {
        reportNoReadyCards();
        return -1;
    }
    for (const auto& card : cards) {
        const std::string fpga = versionToken(card->sendCommand("GET HW_FW_VER\n"));
        const std::string sw = versionToken(card->sendCommand("GET HW_SW_VER\n"));
        std::cout << card->slotId << " serial: " << card->serialNumber << " fpga:" << fpga << " sw:" << sw << std::endl;
    }
    return 0;
}
