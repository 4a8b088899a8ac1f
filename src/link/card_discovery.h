#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "link/nexir.h"

namespace nexir {

using CardList = std::vector<std::shared_ptr<NEXIR>>;

// Turns the FTDI device list into the cards that are ready for use, in the order of
// their channel-A devices. Prints its own reasons when it finds none.
CardList discoverCards(std::uint32_t baudRate);

}  // namespace nexir
