// How a card's FTDI channels describe themselves in the device list, and how its two
// channels are found there.
#pragma once

#include <string>
#include <vector>

#include "link/ftd2xx_abi.h"

namespace nexir {

enum class ChannelKind {
    NotACard,      // no "NX" in the description: some other FTDI device
    ChannelA,      // a card's channel A, the FIFO channel that discovery starts from
    ChannelB,      // reached through its channel A
    Unrecognised,  // claims to be a card channel, but its letter or form is unknown
};

// Classifies a description of the form "KRO_NX|<major>.<minor> A".
ChannelKind classifyDescription(const std::string& description);

// The major number that follows the 7-character prefix, read as a stream reads an
// integer; 0 when none can be read. Cards with a major number above 1 use RTS/CTS.
int majorNumber(const std::string& description);

// Both channels of a card share the serial number but for its last character.
bool sameCard(const std::string& serialA, const std::string& serialB);

// A device that another program holds is listed open, with neither serial number nor
// description: what it is cannot be known.
bool heldElsewhere(const FT_DEVICE_LIST_INFO_NODE& node);

// The node's text fields, up to their NUL (which is missing when the text fills them).
std::string serialOf(const FT_DEVICE_LIST_INFO_NODE& node);
std::string descriptionOf(const FT_DEVICE_LIST_INFO_NODE& node);

// What discovery makes of the device at `index` of the first `count` nodes.
struct DeviceVerdict {
    ChannelKind kind = ChannelKind::NotACard;
    int partner = -1;          // ChannelA only: the partner's index, -1 when it has none
    bool flowControl = false;  // ChannelA only
};
DeviceVerdict examineDevice(const std::vector<FT_DEVICE_LIST_INFO_NODE>& nodes, std::size_t count, std::size_t index);

}  // namespace nexir
