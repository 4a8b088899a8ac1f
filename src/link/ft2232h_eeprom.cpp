#include "link/ft2232h_eeprom.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace nexir {

namespace {

constexpr std::size_t kChipTypeByte = 0x18;
constexpr std::uint8_t kChip93C46 = 0x46;
constexpr std::uint8_t kStringOffsetFlag = 0x80;
constexpr std::uint8_t kStringDescriptorType = 3;
constexpr std::size_t kDefaultStringArea = 0x9A;

// The sizes of the text buffers FT_PROGRAM_DATA points at, as FTDI documents them.
constexpr std::size_t kManufacturerCapacity = 32;
constexpr std::size_t kManufacturerIdCapacity = 16;
constexpr std::size_t kDescriptionCapacity = 64;
constexpr std::size_t kSerialCapacity = 16;

// Channel modes in bits 0-2 of bytes 0 (A) and 1 (B), as FTDI's library reads them.
constexpr std::uint8_t kModeMask = 0x07;
constexpr std::uint8_t kModeFifo = 0x01;
constexpr std::uint8_t kModeFifoTar = 0x02;
constexpr std::uint8_t kModeFastSerial = 0x04;
constexpr std::uint8_t kVcpBit = 0x08;
constexpr std::uint8_t kPowerSaveBit = 0x80;      // byte 1
constexpr std::uint8_t kSelfPoweredBit = 0x40;    // byte 8
constexpr std::uint8_t kRemoteWakeupBit = 0x20;   // byte 8
constexpr std::uint8_t kPullDownBit = 0x04;       // byte 0x0A
constexpr std::uint8_t kSerialEnabledBit = 0x08;  // byte 0x0A
constexpr std::uint8_t kDriveMask = 0x03;         // a drive group's nibble
constexpr std::uint8_t kSlowSlewBit = 0x04;
constexpr std::uint8_t kSchmittBit = 0x08;
constexpr unsigned kMilliampsPerPowerUnit = 2;

// Offsets of the three string descriptors' (offset, length) byte pairs.
constexpr std::size_t kStringFields[] = {0x0E, 0x10, 0x12};
enum StringIndex { kManufacturer, kProduct, kSerial };

std::uint16_t word(const EepromImage& image, std::size_t byte) {
    return static_cast<std::uint16_t>(image[byte] | (image[byte + 1] << 8));
}

void setWord(EepromImage& image, std::size_t byte, std::uint16_t value) {
    image[byte] = static_cast<std::uint8_t>(value & 0xFF);
    image[byte + 1] = static_cast<std::uint8_t>(value >> 8);
}

bool flag(UCHAR value) { return value != 0; }

void setBit(std::uint8_t& byte, std::uint8_t bit, bool on) {
    byte = static_cast<std::uint8_t>(on ? (byte | bit) : (byte & ~bit));
}

// The string descriptor of field `which`, as text (UTF-16 code units above 0x7F become
// '?'); empty when its place or length makes no sense.
std::string stringAt(const EepromImage& image, int which) {
    const std::size_t used = eepromUsedBytes(image);
    const std::size_t field = kStringFields[which];
    const std::size_t offset = image[field] & (used - 1);
    const std::size_t length = image[field + 1];
    std::string text;
    if (length < 2 || offset + length > used - 2 || image[offset] != length ||
        image[offset + 1] != kStringDescriptorType)
        return text;
    for (std::size_t i = offset + 2; i + 1 < offset + length; i += 2) {
        const std::uint16_t unit = word(image, i);
        text.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    return text;
}

void copyText(char* destination, std::size_t capacity, const std::string& text) {
    if (!destination) return;
    const std::size_t n = std::min(text.size(), capacity - 1);
    std::memcpy(destination, text.data(), n);
    destination[n] = '\0';
}

std::string textOf(const char* source, std::size_t capacity) {
    return source ? std::string(source, strnlen(source, capacity)) : std::string();
}

UCHAR driveCurrent(std::uint8_t nibble) { return static_cast<UCHAR>(4 * ((nibble & kDriveMask) + 1)); }

std::uint8_t driveNibble(UCHAR current, UCHAR slowSlew, UCHAR schmitt) {
    const unsigned step = current >= 4 ? std::min(3u, (current - 4u) / 4u) : 0u;
    return static_cast<std::uint8_t>(step | (flag(slowSlew) ? kSlowSlewBit : 0) | (flag(schmitt) ? kSchmittBit : 0));
}

std::uint8_t modeOf(UCHAR fifo, UCHAR fifoTar, UCHAR fastSerial) {
    if (flag(fifo)) return kModeFifo;
    if (flag(fifoTar)) return kModeFifoTar;
    if (flag(fastSerial)) return kModeFastSerial;
    return 0;
}

// The drive settings of the four pin groups, in the order of their nibbles.
struct DriveGroup {
    UCHAR FT_PROGRAM_DATA::*current;
    UCHAR FT_PROGRAM_DATA::*slowSlew;
    UCHAR FT_PROGRAM_DATA::*schmitt;
    std::size_t byte;
    int shift;
};
constexpr DriveGroup kDriveGroups[] = {
    {&FT_PROGRAM_DATA::ALDriveCurrent, &FT_PROGRAM_DATA::ALSlowSlew, &FT_PROGRAM_DATA::ALSchmittInput, 0x0C, 0},
    {&FT_PROGRAM_DATA::AHDriveCurrent, &FT_PROGRAM_DATA::AHSlowSlew, &FT_PROGRAM_DATA::AHSchmittInput, 0x0C, 4},
    {&FT_PROGRAM_DATA::BLDriveCurrent, &FT_PROGRAM_DATA::BLSlowSlew, &FT_PROGRAM_DATA::BLSchmittInput, 0x0D, 0},
    {&FT_PROGRAM_DATA::BHDriveCurrent, &FT_PROGRAM_DATA::BHSlowSlew, &FT_PROGRAM_DATA::BHSchmittInput, 0x0D, 4},
};

// Lays the three string descriptors out again from `start`; false when they do not fit
// before the checksum.
bool layStrings(EepromImage& image, const std::string (&strings)[3]) {
    const std::size_t used = eepromUsedBytes(image);
    std::size_t start = used;
    for (std::size_t field : kStringFields) {
        if (image[field + 1] >= 2) start = std::min<std::size_t>(start, image[field] & (used - 1));
    }
    if (start >= used) start = kDefaultStringArea & (used - 1);
    std::size_t at = start;
    for (int which = kManufacturer; which <= kSerial; ++which) {
        const std::size_t length = 2 + 2 * strings[which].size();
        if (length > 0xFF || at + length > used - 2) return false;
        at += length;
    }
    at = start;
    for (int which = kManufacturer; which <= kSerial; ++which) {
        const std::string& text = strings[which];
        const std::size_t length = 2 + 2 * text.size();
        image[kStringFields[which]] = static_cast<std::uint8_t>((at | kStringOffsetFlag) & 0xFF);
        image[kStringFields[which] + 1] = static_cast<std::uint8_t>(length);
        image[at] = static_cast<std::uint8_t>(length);
        image[at + 1] = kStringDescriptorType;
        for (std::size_t i = 0; i < text.size(); ++i) {
            setWord(image, at + 2 + 2 * i, static_cast<std::uint8_t>(text[i]));
        }
        at += length;
    }
    return true;
}

}  // namespace

std::size_t eepromUsedBytes(const EepromImage& image) { return image[kChipTypeByte] == kChip93C46 ? 128 : 256; }

std::uint16_t eepromChecksum(const EepromImage& image) {
    std::uint16_t checksum = 0xAAAA;
    const std::size_t used = eepromUsedBytes(image);
    for (std::size_t byte = 0; byte + 2 < used; byte += 2) {
        checksum ^= word(image, byte);
        checksum = static_cast<std::uint16_t>((checksum << 1) | (checksum >> 15));
    }
    return checksum;
}

bool eepromChecksumValid(const EepromImage& image) {
    return word(image, eepromUsedBytes(image) - 2) == eepromChecksum(image);
}

void fixEepromChecksum(EepromImage& image) { setWord(image, eepromUsedBytes(image) - 2, eepromChecksum(image)); }

bool eepromBlank(const EepromImage& image) {
    const std::size_t used = eepromUsedBytes(image);
    return std::all_of(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(used),
                       [](std::uint8_t byte) { return byte == 0xFF; });
}

FT_STATUS decodeEeprom(const EepromImage& image, FT_PROGRAM_DATA& data) {
    if (eepromBlank(image)) return FT_EEPROM_NOT_PROGRAMMED;
    data.VendorId = word(image, 0x02);
    data.ProductId = word(image, 0x04);
    data.SelfPowered = (image[0x08] & kSelfPoweredBit) ? 1 : 0;
    data.RemoteWakeup = (image[0x08] & kRemoteWakeupBit) ? 1 : 0;
    data.MaxPower = static_cast<WORD>(image[0x09] * kMilliampsPerPowerUnit);
    if (data.Version >= 3) {
        const std::uint8_t a = image[0x00], b = image[0x01];
        data.IFAIsFifo7 = (a & kModeMask) == kModeFifo;
        data.IFAIsFifoTar7 = (a & kModeMask) == kModeFifoTar;
        data.IFAIsFastSer7 = (a & kModeMask) == kModeFastSerial;
        data.AIsVCP7 = (a & kVcpBit) ? 1 : 0;
        data.IFBIsFifo7 = (b & kModeMask) == kModeFifo;
        data.IFBIsFifoTar7 = (b & kModeMask) == kModeFifoTar;
        data.IFBIsFastSer7 = (b & kModeMask) == kModeFastSerial;
        data.BIsVCP7 = (b & kVcpBit) ? 1 : 0;
        data.PowerSaveEnable = (b & kPowerSaveBit) ? 1 : 0;
        data.PullDownEnable7 = (image[0x0A] & kPullDownBit) ? 1 : 0;
        data.SerNumEnable7 = (image[0x0A] & kSerialEnabledBit) ? 1 : 0;
        for (const DriveGroup& group : kDriveGroups) {
            const std::uint8_t nibble = static_cast<std::uint8_t>((image[group.byte] >> group.shift) & 0x0F);
            data.*group.current = driveCurrent(nibble);
            data.*group.slowSlew = (nibble & kSlowSlewBit) ? 1 : 0;
            data.*group.schmitt = (nibble & kSchmittBit) ? 1 : 0;
        }
    }
    const std::string serial = stringAt(image, kSerial);
    copyText(data.Manufacturer, kManufacturerCapacity, stringAt(image, kManufacturer));
    copyText(data.ManufacturerId, kManufacturerIdCapacity, serial.substr(0, 2));
    copyText(data.Description, kDescriptionCapacity, stringAt(image, kProduct));
    copyText(data.SerialNumber, kSerialCapacity, serial);
    return FT_OK;
}

FT_STATUS encodeEeprom(const FT_PROGRAM_DATA& data, EepromImage& image) {
    if (eepromBlank(image)) return FT_EEPROM_NOT_PROGRAMMED;
    char manufacturer[kManufacturerCapacity] = {}, manufacturerId[kManufacturerIdCapacity] = {};
    char description[kDescriptionCapacity] = {}, serial[kSerialCapacity] = {};
    FT_PROGRAM_DATA now{};
    now.Version = data.Version;
    now.Manufacturer = manufacturer;
    now.ManufacturerId = manufacturerId;
    now.Description = description;
    now.SerialNumber = serial;
    decodeEeprom(image, now);

    if (data.VendorId != now.VendorId) setWord(image, 0x02, data.VendorId);
    if (data.ProductId != now.ProductId) setWord(image, 0x04, data.ProductId);
    if (flag(data.SelfPowered) != flag(now.SelfPowered)) setBit(image[0x08], kSelfPoweredBit, flag(data.SelfPowered));
    if (flag(data.RemoteWakeup) != flag(now.RemoteWakeup))
        setBit(image[0x08], kRemoteWakeupBit, flag(data.RemoteWakeup));
    if (data.MaxPower != now.MaxPower) image[0x09] = static_cast<std::uint8_t>(std::min(data.MaxPower / 2, 0xFF));
    if (data.Version >= 3) {
        const std::uint8_t modeA = modeOf(data.IFAIsFifo7, data.IFAIsFifoTar7, data.IFAIsFastSer7);
        if (modeA != modeOf(now.IFAIsFifo7, now.IFAIsFifoTar7, now.IFAIsFastSer7))
            image[0x00] = static_cast<std::uint8_t>((image[0x00] & ~kModeMask) | modeA);
        const std::uint8_t modeB = modeOf(data.IFBIsFifo7, data.IFBIsFifoTar7, data.IFBIsFastSer7);
        if (modeB != modeOf(now.IFBIsFifo7, now.IFBIsFifoTar7, now.IFBIsFastSer7))
            image[0x01] = static_cast<std::uint8_t>((image[0x01] & ~kModeMask) | modeB);
        if (flag(data.AIsVCP7) != flag(now.AIsVCP7)) setBit(image[0x00], kVcpBit, flag(data.AIsVCP7));
        if (flag(data.BIsVCP7) != flag(now.BIsVCP7)) setBit(image[0x01], kVcpBit, flag(data.BIsVCP7));
        if (flag(data.PowerSaveEnable) != flag(now.PowerSaveEnable))
            setBit(image[0x01], kPowerSaveBit, flag(data.PowerSaveEnable));
        if (flag(data.PullDownEnable7) != flag(now.PullDownEnable7))
            setBit(image[0x0A], kPullDownBit, flag(data.PullDownEnable7));
        if (flag(data.SerNumEnable7) != flag(now.SerNumEnable7))
            setBit(image[0x0A], kSerialEnabledBit, flag(data.SerNumEnable7));
        for (const DriveGroup& group : kDriveGroups) {
            if (data.*group.current == now.*group.current && flag(data.*group.slowSlew) == flag(now.*group.slowSlew) &&
                flag(data.*group.schmitt) == flag(now.*group.schmitt))
                continue;
            const std::uint8_t nibble = driveNibble(data.*group.current, data.*group.slowSlew, data.*group.schmitt);
            image[group.byte] =
                static_cast<std::uint8_t>((image[group.byte] & ~(0x0F << group.shift)) | (nibble << group.shift));
        }
    }
    // A null pointer keeps its string; a string is rewritten only when one changed.
    const std::string wanted[3] = {
        data.Manufacturer ? textOf(data.Manufacturer, kManufacturerCapacity) : std::string(manufacturer),
        data.Description ? textOf(data.Description, kDescriptionCapacity) : std::string(description),
        data.SerialNumber ? textOf(data.SerialNumber, kSerialCapacity) : std::string(serial)};
    if (wanted[kManufacturer] != manufacturer || wanted[kProduct] != description || wanted[kSerial] != serial) {
        if (!layStrings(image, wanted)) return FT_INVALID_PARAMETER;
    }
    fixEepromChecksum(image);
    return FT_OK;
}

}  // namespace nexir
