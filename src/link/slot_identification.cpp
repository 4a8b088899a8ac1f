#include <iostream>

#include "link/nexir.h"
#include "link/slot_answer.h"

std::int32_t NEXIR::querySlotId() {
    const std::string answer = sendCommand("GET HW_SLOT_ID\n");
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
