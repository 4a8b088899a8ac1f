// Traffic on an open channel, routed by what the device is: a card's UART channel
// talks to the card, a card's FIFO channel feeds its upload, and any other FTDI device
// accepts writes and never sends anything.
#pragma once

#include <cstdint>
#include <string>

#include "card.h"
#include "world.h"

namespace cardbench {

bool isCardFifo(const Device& device);
void channelOpened(World& world, OpenHandle& handle);
void channelClosed(World& world, OpenHandle& handle);
WriteOutcome writeChannel(World& world, OpenHandle& handle, const std::uint8_t* data, std::size_t length);
std::string readChannel(World& world, OpenHandle& handle, std::size_t length);
std::size_t waitingOnChannel(World& world, OpenHandle& handle);
void purgeChannel(World& world, OpenHandle& handle, ULONG mask);

}  // namespace cardbench
