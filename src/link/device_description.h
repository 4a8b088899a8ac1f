// How a card's FTDI channels describe themselves in the device list.
#pragma once

#include <string>

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
