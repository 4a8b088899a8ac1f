#include <iostream>

#include "cli/commands.h"
#include "link/card_discovery.h"

namespace nexir {

void reportNoReadyCards() {
    std::cout << "error: no available and ready NEXIR cards detected, exiting..." << std::endl;
}

std::string versionToken(const std::string& answer) {
    const std::size_t lastBlank = answer.rfind(' ');
    std::string token = lastBlank == std::string::npos ? answer : answer.substr(lastBlank + 1);
    if (!token.empty() && token.back() == '\n') token.pop_back();
    return token;
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

}  // namespace nexir
