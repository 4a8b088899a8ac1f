#include <iostream>

#include "cli/commands.h"

namespace nexir {

// Selecting the next boot image has no card command: the command only checks that
// cards are there and releases them, and says on standard error that the choice went
// nowhere, so that a script's output stays as it was and no one is misled.
std::int32_t bootCommand(std::uint32_t baudRate, const std::string& image, bool now) {
    MachineLock lock;
    const std::int32_t status = findReadyCards(baudRate, lock).empty() ? -1 : 0;
    std::cerr << "notice: the boot image choice (" << image << (now ? ", now" : "")
              << ") was not sent: the cards offer no command for it, so nothing was changed" << std::endl;
    return status;
}

}  // namespace nexir
