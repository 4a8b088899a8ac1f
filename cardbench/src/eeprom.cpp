#include "eeprom.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace cardbench {
namespace {

constexpr std::size_t kFirstField = offsetof(FT_PROGRAM_DATA, VendorId);
constexpr std::size_t kAfterStrings = offsetof(FT_PROGRAM_DATA, MaxPower);
constexpr std::size_t kFifoFlagOffset = offsetof(FT_PROGRAM_DATA, IFAIsFifo7);

// Buffer sizes of FTDI's own example; the vendor library does not check lengths, the
// bench stays within these so that a caller following the example is never overrun.
void copyString(char* target, const std::string& text, std::size_t capacity) {
    if (target == nullptr) {
        return;
    }
    const std::size_t length = std::min(text.size(), capacity - 1);
    std::memcpy(target, text.data(), length);
    target[length] = '\0';
}

std::string readString(const char* source, std::size_t capacity) {
    return source == nullptr ? std::string() : std::string(source, strnlen(source, capacity));
}

}  // namespace

bool Eeprom::Strings::operator==(const Strings& other) const {
    return manufacturer == other.manufacturer && manufacturerId == other.manufacturerId &&
           description == other.description && serial == other.serial;
}

Eeprom::Eeprom(const EepromConfig& config, ULONG deviceType, std::string description, std::string serial)
    : config_(config),
      deviceType_(deviceType),
      strings_{"FTDI", "FT", std::move(description), std::move(serial)},
      fifoFlag_(config.fifoFlag) {}

bool Eeprom::signaturesValid(const FT_PROGRAM_DATA& data) {
    return data.Signature1 == 0x00000000u && data.Signature2 == 0xFFFFFFFFu;
}

EepromResult Eeprom::read(FT_PROGRAM_DATA& data) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (config_.readStatus != FT_OK) {
        return {config_.readStatus, 0, false};
    }
    fillFields(data);
    copyString(data.Manufacturer, strings_.manufacturer, 32);
    copyString(data.ManufacturerId, strings_.manufacturerId, 16);
    copyString(data.Description, strings_.description, 64);
    copyString(data.SerialNumber, strings_.serial, 16);
    lastReadBytes_ = comparableBytes(data);
    lastReadStrings_ = stringsOf(data);
    return {FT_OK, deviceType_ == kTypeFt2232H ? data.IFAIsFifo7 : std::uint8_t(0), false};
}

EepromResult Eeprom::program(const FT_PROGRAM_DATA& data) {
    std::lock_guard<std::mutex> lock(mutex_);
    EepromResult result;
    result.fifoFlag = data.IFAIsFifo7;
    result.othersUnchanged =
        lastReadBytes_ && comparableBytes(data) == *lastReadBytes_ && stringsOf(data) == *lastReadStrings_;
    if (deviceType_ == kTypeFt2232H) {
        fifoFlag_ = data.IFAIsFifo7;
    }
    return result;
}

bool Eeprom::fifoModeActive() const {
    if (config_.modeAfterReplug) {
        return config_.fifoFlag != 0;
    }
    return true;  // the bench's classic card: the channel carries data whatever the flag
}

std::size_t Eeprom::blockEnd() const {
    return deviceType_ == kTypeFt232R ? offsetof(FT_PROGRAM_DATA, PullDownEnable7)
                                      : offsetof(FT_PROGRAM_DATA, PullDownEnable8);
}

void Eeprom::fillFields(FT_PROGRAM_DATA& data) const {
    // Bytes 16..47 are the caller's string pointers and are left alone.
    auto* bytes = reinterpret_cast<unsigned char*>(&data);
    std::memset(bytes + kAfterStrings, 0, blockEnd() - kAfterStrings);
    data.VendorId = 0x0403;
    data.MaxPower = 90;
    data.PnP = 1;
    if (deviceType_ == kTypeFt232R) {
        data.Version = 2;
        data.ProductId = 0x6001;
        data.EndpointSize = 64;
        data.SerNumEnableR = 1;
        return;
    }
    data.Version = 3;
    data.ProductId = 0x6010;
    data.SerNumEnable7 = 1;
    data.ALDriveCurrent = data.AHDriveCurrent = data.BLDriveCurrent = data.BHDriveCurrent = 4;
    data.IFAIsFifo7 = fifoFlag_;
    data.BIsVCP7 = 1;
}

std::vector<std::uint8_t> Eeprom::comparableBytes(const FT_PROGRAM_DATA& data) const {
    std::vector<std::uint8_t> kept(blockEnd() - kFirstField);
    std::memcpy(kept.data(), reinterpret_cast<const unsigned char*>(&data) + kFirstField, kept.size());
    // The string pointers aim at the caller's buffers (compared as strings instead), and
    // the FIFO flag is the one field a program may change.
    const std::size_t pointers = offsetof(FT_PROGRAM_DATA, Manufacturer) - kFirstField;
    std::fill(kept.begin() + pointers, kept.begin() + (kAfterStrings - kFirstField), 0);
    if (kFifoFlagOffset < blockEnd()) {
        kept[kFifoFlagOffset - kFirstField] = 0;
    }
    return kept;
}

Eeprom::Strings Eeprom::stringsOf(const FT_PROGRAM_DATA& data) {
    return {readString(data.Manufacturer, 32), readString(data.ManufacturerId, 16), readString(data.Description, 64),
            readString(data.SerialNumber, 16)};
}

}  // namespace cardbench
