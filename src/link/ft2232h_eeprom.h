// The FT2232H's configuration EEPROM as the chip reads it (a 93C46/56/66 of 16-bit
// words, little-endian), and its translation to and from D2XX's FT_PROGRAM_DATA. The
// libftdi1 driver reads and programs the raw words itself, so it is what the D2XX
// library would have done for FT_EE_Read and FT_EE_Program. No bus here: pure data.
//
// Layout (FTDI's FT_Prog and libftdi agree; ftemu.py in the real-driver rig builds the
// same): byte 0 channel A mode (bits 0-2: 0 UART, 1 245 FIFO, 2 CPU FIFO, 4 fast serial;
// bit 3 VCP driver), byte 1 the same for channel B (bit 7 power save); words 1-3 vendor,
// product, release; byte 8 power attributes (bit 6 self powered, bit 5 remote wake-up),
// byte 9 maximum power in 2 mA units; byte 0x0A bit 2 pull-downs in suspend, bit 3
// serial number enabled; bytes 0x0C/0x0D drive settings of the AL, AH, BL, BH groups
// (bits 0-1 current 4/8/12/16 mA, bit 2 slow slew, bit 3 Schmitt input); bytes 0x0E-0x13
// offset (with bit 7 set) and length of the manufacturer, product and serial string
// descriptors; byte 0x18 the EEPROM type (0x46, 0x56, 0x66); the checksum in the last
// word of the used size.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "link/ftd2xx_abi.h"

namespace nexir {

constexpr std::size_t kEepromWords = 128;
using EepromImage = std::array<std::uint8_t, kEepromWords * 2>;

// The bytes the chip uses: 128 on a 93C46 (whose 64 words the reads of 128 repeat),
// otherwise 256.
std::size_t eepromUsedBytes(const EepromImage& image);

// The checksum that belongs in the last used word: 0xAAAA, then for every word before it
// XOR the word and rotate left by one bit.
std::uint16_t eepromChecksum(const EepromImage& image);
bool eepromChecksumValid(const EepromImage& image);
void fixEepromChecksum(EepromImage& image);

// Every used word 0xFFFF: a chip that was never programmed.
bool eepromBlank(const EepromImage& image);

// Fills what D2XX's FT_EE_Read gives for an FT2232H: the common fields (vendor and
// product id, power), the FT2232H block when data.Version is 3 or more, and the four
// strings where their pointers are set (ManufacturerId: the serial's first two
// characters, as FTDI's library gives it). Fields of other chips' blocks are left as
// they were. FT_EEPROM_NOT_PROGRAMMED for a blank image; the checksum is not checked.
FT_STATUS decodeEeprom(const EepromImage& image, FT_PROGRAM_DATA& data);

// Writes into the image what `data` says differently from what the image holds now, and
// nothing else: the fields decodeEeprom fills, the strings (laid out again only when one
// of them changed), then a new checksum. FT_EEPROM_NOT_PROGRAMMED for a blank image,
// FT_INVALID_PARAMETER for strings that do not fit.
FT_STATUS encodeEeprom(const FT_PROGRAM_DATA& data, EepromImage& image);

}  // namespace nexir
