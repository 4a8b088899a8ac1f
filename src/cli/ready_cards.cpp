#include <chrono>
#include <iostream>

#include "cli/commands.h"

namespace nexir {

CardList findReadyCards(std::uint32_t baudRate, MachineLock& lock) {
    if (!lock.acquire(std::chrono::seconds(30))) {
        std::cout << "error: another nexir-updater has been looking for cards for 30 s; gave up waiting for it (lock "
                  << lock.name() << ")" << std::endl;
        return {};
    }
    CardList cards = discoverCards(baudRate);
    if (cards.empty()) std::cout << "error: no available and ready NEXIR cards detected, exiting..." << std::endl;
    return cards;
}

}  // namespace nexir
