#include "cli/commands.h"
#include "link/card_discovery.h"

// Selecting the next boot image has no card command yet: the command only checks
// that cards are there and releases them.
std::int32_t bootCommand(std::uint32_t baudRate) {
    CardList cards = discoverCards(baudRate);
    if (cards.empty()) {
        reportNoReadyCards();
        return -1;
    }
    return 0;
}
