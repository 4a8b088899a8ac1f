// The FT2232H's configuration EEPROM, a 93C56 of 128 16-bit words, as the chip's vendor
// requests read, write and erase it word by word. The image is laid out as FTDI's tools
// and libftdi1 lay it out: channel A's mode in byte 0 (1: 245 FIFO), the vendor and
// product IDs, the three string descriptors in the string area from 0x9A, and a checksum
// over the first 127 words in the last one.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace cardbench::usb {

class EepromImage {
public:
    static constexpr std::size_t kWords = 128;

    // A programmed chip: channel A in FIFO mode when `fifoFlag`, the three strings.
    EepromImage(bool fifoFlag, const std::string& manufacturer, const std::string& product, const std::string& serial);
    // A blank chip, every word 0xFFFF.
    EepromImage();

    // Addresses wrap at the chip's size, as the 93C56 takes only its low address bits.
    std::uint16_t readWord(unsigned address) const;
    void writeWord(unsigned address, std::uint16_t value);
    void erase();

    bool checksumValid() const;
    bool fifoFlag() const { return (bytes_[0] & 0x07) == 1; }

private:
    std::uint16_t checksum() const;
    void putString(std::size_t pointerOffset, std::size_t& areaOffset, const std::string& text);

    std::array<std::uint8_t, 2 * kWords> bytes_{};
};

}  // namespace cardbench::usb
