// One whole firmware update of one card.
#pragma once

#include <cstdint>
#include <string>

#include "link/nexir.h"

namespace nexir {

// Loads the image, announces it to the card, sends it on the FIFO channel and follows
// the card's progress until it reports DONE or FAIL; 0 on success, -1 otherwise. Every
// outcome is printed, the stage-duration table last.
std::int32_t runUpdate(NEXIR& card, std::string updateType, std::string imageChoice, std::string imagePath,
                       bool skipVerify, bool reconfigure);

}  // namespace nexir
