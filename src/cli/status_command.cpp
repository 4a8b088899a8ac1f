#include <iostream>

#include "cli/commands.h"

namespace nexir {

std::string versionToken(const std::string& answer) {
    const std::size_t lastBlank = answer.rfind(' ');
    std::string token = lastBlank == std::string::npos ? answer : answer.substr(lastBlank + 1);
    if (!token.empty() && token.back() == '\n') token.pop_back();
    return token;
}

// The lock is held to the end: the cards stay open while they are asked.
std::int32_t statusCommand(std::uint32_t baudRate) {
    MachineLock lock;
    const CardList cards = findReadyCards(baudRate, lock);
    if (cards.empty()) return -1;
    // A card that goes away while it is asked is named as such instead of being listed
    // with versions it never gave.
    int listed = 0;
    for (const auto& card : cards) {
        const std::string fpga = versionToken(card->sendCommand("GET HW_FW_VER\n"));
        const std::string sw = versionToken(card->sendCommand("GET HW_SW_VER\n"));
        if (card->disconnected()) {
            std::cout << card->disconnectedMessage() << std::endl;
            continue;
        }
        std::cout << card->slotId << " serial: " << card->serialNumber << " fpga:" << fpga << " sw:" << sw << std::endl;
        ++listed;
    }
    return listed > 0 ? 0 : -1;
}

}  // namespace nexir
