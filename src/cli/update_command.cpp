#include <iostream>
#include <memory>

#include "cli/commands.h"
#include "update/update_procedure.h"

namespace nexir {
namespace {
// The first card whose slot text equals `slot` exactly, or none.
std::shared_ptr<NEXIR> cardInSlot(const CardList& cards, const std::string& slot) {
    for (const auto& card : cards) {
        if (card->slotId == slot) return card;
    }
    return nullptr;
}
}  // namespace

std::int32_t updateCommand(std::uint32_t baudRate, const std::string& slot, const std::string& type,
                           const std::string& which, const std::string& file, bool skipVerify, bool reconfigure) {
    MachineLock lock;
    CardList cards = findReadyCards(baudRate, lock);
    if (cards.empty()) return -1;
    std::shared_ptr<NEXIR> chosen = cardInSlot(cards, slot);
    // The cards not chosen are closed here, before anything reaches the chosen one; then
    // the next nexir-updater may look for the cards it wants, while this one updates.
    cards.clear();
    lock.release();
    if (!chosen) {
        std::cout << "error: no cards found in specified slot" << std::endl;
        return -1;
    }
    if (chosen->fifoModeAwaitsReplug) {
        std::cout << "error: card " << chosen->serialNumber
                  << " is not in FIFO mode yet; unplug and replug it, then run the update again" << std::endl;
        return -1;
    }
    return runUpdate(*chosen, type, which, file, skipVerify, reconfigure);
}

}  // namespace nexir
