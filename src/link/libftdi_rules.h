// The rules by which the libftdi1 driver makes libftdi1's and libusb's view of an
// FT2232H look like FTDI's D2XX library: the device list's records, the location id, the
// modem-status bytes of bulk IN packets, and which outcome becomes which FT_STATUS. No
// bus here, so that all of it is tested without one; the driver's other libftdi_*.cpp
// files apply them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "link/ftd2xx_abi.h"

namespace nexir::libftdi {

constexpr std::uint16_t kFtdiVendor = 0x0403;
constexpr std::uint16_t kFt2232hProduct = 0x6010;
constexpr ULONG kFt2232hId = 0x04036010;
constexpr ULONG kTypeFt2232c = 4;  // FT_DEVICE_2232C: bcdDevice 0x0500
constexpr ULONG kTypeFt2232h = 6;  // FT_DEVICE_2232H: bcdDevice 0x0700
constexpr ULONG kTypeUnknown = 3;  // FT_DEVICE_UNKNOWN: what D2XX lists for a held interface
constexpr int kInterfacesPerChip = 2;
constexpr std::size_t kModemStatusBytes = 2;

// One FT2232H as libusb sees it. The strings are empty when they could not be read.
struct UsbChip {
    std::uint8_t bus = 0;
    std::uint8_t address = 0;
    bool highSpeed = true;
    std::uint16_t release = 0x0700;  // bcdDevice
    std::string product;
    std::string serial;
};

// D2XX's location id: bus in bits 12 and up, the device in bits 4-11, interface + 1 in
// bits 0-3 (0x1021 and 0x1022 for the two interfaces of device 2 on bus 1). On the
// emulated chips of the real-driver rig FTDI's library numbers the device by its USB
// address, not its hub port, so this does too.
DWORD locationId(std::uint8_t bus, std::uint8_t address, int interface);

// The device list's record of interface 0 (A) or 1 (B) of a chip: serial + "A"/"B",
// product string + " A"/" B" (both empty when the chip's strings could not be read),
// FT2232H, 0x04036010, high speed. An interface another program holds gets what D2XX
// gives it: Flags FT_FLAGS_OPENED, FT_DEVICE_UNKNOWN, ID and LocId 0, no texts.
FT_DEVICE_LIST_INFO_NODE listedNode(const UsbChip& chip, int interface, bool heldElsewhere);

// Appends to `queue` the data of a bulk IN transfer of `length` bytes, which the chip
// sends as packets of `packetSize` bytes that each start with two modem-status bytes.
void appendWithoutModemStatus(const std::uint8_t* transfer, std::size_t length, std::size_t packetSize,
                              std::vector<std::uint8_t>& queue);

// libusb's transfer outcomes (libusb_transfer_status), by their values in its ABI.
constexpr int kTransferCompleted = 0;
constexpr int kTransferError = 1;
constexpr int kTransferTimedOut = 2;
constexpr int kTransferCancelled = 3;
constexpr int kTransferStall = 4;
constexpr int kTransferNoDevice = 5;
constexpr int kTransferOverflow = 6;

// What a finished bulk OUT transfer (FT_Write) answers: a write that the device stopped
// taking ends with FT_OK and what was taken once the write time-out has passed, as in
// D2XX; a device that is gone gives FT_IO_ERROR, as does any other failure.
FT_STATUS writeStatus(int transferOutcome);

// Whether a transfer outcome shows that the device is gone: "no device" at once, an I/O
// error (a host controller may report an unplug so first) only when it repeats.
bool deviceGone(int transferOutcome, int errorsInARow);

// What FT_Open answers when ftdi_usb_open_bus_addr returned `result` (< 0): a chip that
// is no longer on the bus is FT_DEVICE_NOT_FOUND, as with D2XX; one that is still there
// but could not be opened or claimed (another program holds it, or the user may not
// open it) is FT_DEVICE_NOT_OPENED, which the program counts as a device in use.
FT_STATUS openFailureStatus(int result, bool stillOnTheBus);

}  // namespace nexir::libftdi
