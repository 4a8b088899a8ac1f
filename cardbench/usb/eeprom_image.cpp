#include "eeprom_image.h"

#include "descriptors.h"

namespace cardbench::usb {
namespace {

constexpr std::size_t kStringArea = 0x9A;
constexpr std::uint8_t kChip93C56 = 0x56;

}  // namespace

EepromImage::EepromImage() { erase(); }

EepromImage::EepromImage(bool fifoFlag, const std::string& manufacturer, const std::string& product,
                         const std::string& serial) {
    bytes_[0x00] = fifoFlag ? 0x01 : 0x00;  // channel A: 245 FIFO or UART, D2XX driver
    bytes_[0x01] = 0x00;                    // channel B: UART, D2XX driver
    for (auto [offset, value] : {std::pair{0x02, kVendorFtdi}, {0x04, kProductFt2232H}, {0x06, kDeviceRelease}}) {
        bytes_[std::size_t(offset)] = std::uint8_t(value & 0xFF);
        bytes_[std::size_t(offset) + 1] = std::uint8_t(value >> 8);
    }
    bytes_[0x08] = 0x80;  // bus powered
    bytes_[0x09] = 0x32;  // 100 mA, in 2 mA units
    bytes_[0x0A] = 0x08;  // the serial number is used
    std::size_t area = kStringArea;
    putString(0x0E, area, manufacturer);
    putString(0x10, area, product);
    putString(0x12, area, serial);
    bytes_[0x18] = kChip93C56;
    writeWord(kWords - 1, checksum());
}

// The pointer byte carries 0x80 above the string's byte offset, as in FTDI's own images.
void EepromImage::putString(std::size_t pointerOffset, std::size_t& areaOffset, const std::string& text) {
    const Bytes descriptor = stringDescriptor(text);
    bytes_[pointerOffset] = std::uint8_t(areaOffset | 0x80);
    bytes_[pointerOffset + 1] = std::uint8_t(descriptor.size());
    for (std::uint8_t byte : descriptor) {
        if (areaOffset < bytes_.size() - 2) bytes_[areaOffset++] = byte;
    }
}

std::uint16_t EepromImage::readWord(unsigned address) const {
    const std::size_t at = 2 * (address % kWords);
    return std::uint16_t(bytes_[at] | bytes_[at + 1] << 8);
}

void EepromImage::writeWord(unsigned address, std::uint16_t value) {
    const std::size_t at = 2 * (address % kWords);
    bytes_[at] = std::uint8_t(value & 0xFF);
    bytes_[at + 1] = std::uint8_t(value >> 8);
}

void EepromImage::erase() { bytes_.fill(0xFF); }

// FTDI's checksum: start at 0xAAAA, and for each word but the last one XOR it in and
// rotate left by one.
std::uint16_t EepromImage::checksum() const {
    std::uint16_t sum = 0xAAAA;
    for (unsigned word = 0; word + 1 < kWords; ++word) {
        sum ^= readWord(word);
        sum = std::uint16_t((sum << 1) | (sum >> 15));
    }
    return sum;
}

bool EepromImage::checksumValid() const { return readWord(kWords - 1) == checksum(); }

}  // namespace cardbench::usb
