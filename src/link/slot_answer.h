#pragma once

#include <string>

// The slot, 1 to 4, that a card's answer to "GET HW_SLOT_ID" names, or 0 when it
// names none. The card counts its slots from 0 and the answer is searched for
// "GET HW_SLOT_ID <digit>" anywhere, lower digits first.
int slotNumberIn(const std::string& answer);
