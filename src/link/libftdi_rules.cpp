#include "link/libftdi_rules.h"

#include <algorithm>
#include <cstring>

namespace nexir::libftdi {

namespace {

void copyField(char* field, std::size_t capacity, const std::string& text) {
    const std::size_t n = std::min(text.size(), capacity - 1);
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

constexpr int kFtdiOpenDeviceNotFound = -3;  // ftdi_usb_open_bus_addr: no such bus and address

}  // namespace

DWORD locationId(std::uint8_t bus, std::uint8_t address, int interface) {
    return (static_cast<DWORD>(bus) << 12) | (static_cast<DWORD>(address) << 4) | static_cast<DWORD>(interface + 1);
}

FT_DEVICE_LIST_INFO_NODE listedNode(const UsbChip& chip, int interface, bool heldElsewhere) {
    FT_DEVICE_LIST_INFO_NODE node{};
    if (heldElsewhere) {
        node.Flags = FT_FLAGS_OPENED;
        node.Type = kTypeUnknown;
        return node;
    }
    node.Flags = chip.highSpeed ? FT_FLAGS_HISPEED : 0;
    node.Type = chip.release == 0x0500 ? kTypeFt2232c : kTypeFt2232h;
    node.ID = kFt2232hId;
    node.LocId = locationId(chip.bus, chip.address, interface);
    const char letter = static_cast<char>('A' + interface);
    if (!chip.serial.empty()) copyField(node.SerialNumber, sizeof node.SerialNumber, chip.serial + letter);
    if (!chip.product.empty()) copyField(node.Description, sizeof node.Description, chip.product + ' ' + letter);
    return node;
}

void appendWithoutModemStatus(const std::uint8_t* transfer, std::size_t length, std::size_t packetSize,
                              std::vector<std::uint8_t>& queue) {
    if (packetSize <= kModemStatusBytes) return;
    for (std::size_t packet = 0; packet < length; packet += packetSize) {
        const std::size_t end = std::min(length, packet + packetSize);
        if (end > packet + kModemStatusBytes)
            queue.insert(queue.end(), transfer + packet + kModemStatusBytes, transfer + end);
    }
}

FT_STATUS writeStatus(int transferOutcome) {
    return transferOutcome == kTransferCompleted || transferOutcome == kTransferTimedOut ? FT_OK : FT_IO_ERROR;
}

bool deviceGone(int transferOutcome, int errorsInARow) {
    if (transferOutcome == kTransferNoDevice) return true;
    const bool ioError =
        transferOutcome == kTransferError || transferOutcome == kTransferStall || transferOutcome == kTransferOverflow;
    return ioError && errorsInARow >= 2;
}

FT_STATUS openFailureStatus(int result, bool stillOnTheBus) {
    if (result == kFtdiOpenDeviceNotFound || !stillOnTheBus) return FT_DEVICE_NOT_FOUND;
    return FT_DEVICE_NOT_OPENED;
}

}  // namespace nexir::libftdi
