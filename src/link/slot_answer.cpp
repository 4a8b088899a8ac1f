#include "link/slot_answer.h"

int slotNumberIn(const std::string& answer) {
    static const char* const kSlotAnswers[] = {"GET HW_SLOT_ID 0", "GET HW_SLOT_ID 1", "GET HW_SLOT_ID 2",
                                               "GET HW_SLOT_ID 3"};
    for (int slot = 0; slot < 4; ++slot) {
        if (answer.find(kSlotAnswers[slot]) != std::string::npos) return slot + 1;
    }
    return 0;
}
