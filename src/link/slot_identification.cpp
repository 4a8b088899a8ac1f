// The card's slot: asked once, right after the card's channels are opened.
#include <iostream>

#include "link/nexir.h"

namespace nexir {

int NEXIR::slotNumberIn(const std::string& answer) {
    static const char* const kSlotAnswers[] = {"GET HW_SLOT_ID 0", "GET HW_SLOT_ID 1", "GET HW_SLOT_ID 2",
                                               "GET HW_SLOT_ID 3"};
    for (int slot = 0; slot < 4; ++slot) {
        if (answer.find(kSlotAnswers[slot]) != std::string::npos) return slot + 1;
    }
    return 0;
}

std::int32_t NEXIR::querySlotId() {
    const std::string answer = sendCommand("GET HW_SLOT_ID\n");
    if (disconnected()) return -1;  // discovery says so
    if (answer == "TIMEOUT" || answer == "ERROR\n") {
        std::cout << "Error: Cannot retrieve the slot ID of the card. Close NEXIR updater and try "
                     "again in a few minutes"
                  << std::endl;
        return -1;
    }
    const int slot = slotNumberIn(answer);
    if (slot != 0) {
        slotId = std::to_string(slot);
        return 0;
    }
    std::cout << "Error: Slot index invalid for card" << unsigned(uartChannelIndex) << std::endl;
    slotId.clear();
    return -1;
}

}  // namespace nexir
