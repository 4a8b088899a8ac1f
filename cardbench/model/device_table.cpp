#include "device_table.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace cardbench {
namespace {

constexpr ULONG kTypeUnknown = 3;  // FT_DEVICE_UNKNOWN: what the list shows for a device held elsewhere
// How long listing holds each free device, as the vendor library claims it, reads its
// strings, resets and purges it before letting go.
constexpr std::chrono::milliseconds kListingClaim{3};

FT_HANDLE newHandleValue() {
    static std::atomic<std::uintptr_t> next{1};
    return reinterpret_cast<FT_HANDLE>(0xCB000000u + 0x10u * next++);
}

void copyField(char* field, std::size_t size, const std::string& text) {
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), std::min(size, text.size()));
}

// The two channels of a chip carry the chip's strings with a channel suffix: the
// description ends in " A" or " B", the serial number (chipSerial) in the channel letter.
std::string chipDescription(const std::string& description) {
    const std::size_t n = description.size();
    if (n >= 2 && description[n - 2] == ' ' && (description[n - 1] == 'A' || description[n - 1] == 'B')) {
        return description.substr(0, n - 2);
    }
    return description;
}

// A card's channels share the card and their chip's EEPROM, made for its first channel.
std::vector<Device> makeDevices(const Scenario& scenario) {
    std::map<std::string, Device> firstChannelOf;
    std::vector<Device> devices;
    for (const auto& config : scenario.devices) {
        Device device{config, nullptr, nullptr, nullptr};
        if (config.card.empty()) {
            device.eeprom = std::make_shared<Eeprom>(EepromConfig{0, FT_OK, false, nullptr}, config.type,
                                                     config.description, config.serial);
        } else if (auto first = firstChannelOf.find(config.card); first != firstChannelOf.end()) {
            device.card = first->second.card;
            device.eeprom = first->second.eeprom;
            device.presence = first->second.presence;
        } else {
            const CardConfig& card = scenario.cards.at(config.card);
            device.card = std::make_shared<Card>(card);
            device.eeprom = std::make_shared<Eeprom>(card.eeprom, config.type, chipDescription(config.description),
                                                     chipSerial(config.serial));
            if (card.unplug) {
                device.presence = std::make_shared<Presence>(device.card);
            }
            firstChannelOf.emplace(config.card, device);
        }
        devices.push_back(std::move(device));
    }
    return devices;
}

// Everything the card took in on its FIFO, saved for tests that run the real program.
void writeFifoDump(const std::string& folder, const std::string& cardName, const Card& card) {
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    std::ofstream file(std::filesystem::path(folder) / (cardName + ".bin"), std::ios::binary | std::ios::trunc);
    const auto bytes = card.fifoReceived();
    file.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Buffer sizes of FTDI's own example; the vendor library does not check lengths, the
// bench stays within these so that a caller following the example is never overrun.
constexpr std::size_t kManufacturerSize = 32;
constexpr std::size_t kManufacturerIdSize = 16;
constexpr std::size_t kDescriptionSize = 64;
constexpr std::size_t kSerialNumberSize = 16;

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

constexpr std::size_t kVersionOffset = offsetof(FT_PROGRAM_DATA, Version);
constexpr std::size_t kFirstField = offsetof(FT_PROGRAM_DATA, VendorId);
constexpr std::size_t kStringPointers = offsetof(FT_PROGRAM_DATA, Manufacturer);
constexpr std::size_t kAfterStrings = offsetof(FT_PROGRAM_DATA, MaxPower);
constexpr std::size_t kFifoFlagOffset = offsetof(FT_PROGRAM_DATA, IFAIsFifo7);

// Replay: fills `data` as the recorded read did, but for the signatures, which are the
// caller's, and the fields from `end` (an offset) on, which lie beyond the chip's block;
// a string the recording has as null is left as it is.
void fillRecordedEeprom(const RecordedEeprom& recorded, FT_PROGRAM_DATA& data, std::size_t end) {
    const auto* from = reinterpret_cast<const unsigned char*>(&recorded.fields);
    auto* to = reinterpret_cast<unsigned char*>(&data);
    std::memcpy(to + kVersionOffset, from + kVersionOffset, kStringPointers - kVersionOffset);
    if (end > kAfterStrings) {
        std::memcpy(to + kAfterStrings, from + kAfterStrings, std::min(end, sizeof(FT_PROGRAM_DATA)) - kAfterStrings);
    }
    char* const targets[] = {data.Manufacturer, data.ManufacturerId, data.Description, data.SerialNumber};
    const std::size_t sizes[] = {kManufacturerSize, kManufacturerIdSize, kDescriptionSize, kSerialNumberSize};
    for (std::size_t i = 0; i < recorded.strings.size(); ++i) {
        if (recorded.strings[i]) {
            copyString(targets[i], *recorded.strings[i], sizes[i]);
        }
    }
}

}  // namespace

void OpenHandle::release(bool gone) {
    std::lock_guard<std::mutex> lock(mutex_);
    gone_ = gone_ || gone;
    released_ = true;
    releasing_.notify_all();
}

void OpenHandle::idleWait(ULONG timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto isReleased = [this] { return released_.load(); };
    if (timeoutMs == 0) {
        releasing_.wait(lock, isReleased);
    } else {
        releasing_.wait_for(lock, std::chrono::milliseconds(timeoutMs), isReleased);
    }
}

std::size_t Presence::fifoRoom(std::size_t length) const {
    const auto& limit = unplug().afterFifoBytes;
    if (!limit) {
        return length;
    }
    const std::uint64_t taken = card_->fifoTaken();
    return std::size_t(std::min<std::uint64_t>(length, *limit > taken ? *limit - taken : 0));
}

bool Presence::fifoFull() const {
    const auto& limit = unplug().afterFifoBytes;
    return limit && card_->fifoTaken() >= *limit;
}

bool Presence::timeUp(Clock::time_point now) const {
    if (unplug().asRecorded) {
        return card_->recordedUnplugDue(now);
    }
    const auto& after = unplug().afterTransferMs;
    if (!after) {
        return false;
    }
    const auto uploadDone = card_->uploadDoneAt();
    return uploadDone && now >= *uploadDone + std::chrono::milliseconds(*after);
}

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
    copyString(data.Manufacturer, strings_.manufacturer, kManufacturerSize);
    copyString(data.ManufacturerId, strings_.manufacturerId, kManufacturerIdSize);
    copyString(data.Description, strings_.description, kDescriptionSize);
    copyString(data.SerialNumber, strings_.serial, kSerialNumberSize);
    if (config_.recorded) {  // replay: the recorded contents, with the FIFO flag as it stands now
        fillRecordedEeprom(*config_.recorded, data, blockEnd());
        if (deviceType_ == kTypeFt2232H) {
            data.IFAIsFifo7 = fifoFlag_;
        }
    }
    lastReadBytes_ = comparableBytes(data);
    lastReadStrings_ = stringsOf(data);
    return {FT_OK, deviceType_ == kTypeFt2232H ? data.IFAIsFifo7 : std::uint8_t(0), false};
}

EepromResult Eeprom::program(const FT_PROGRAM_DATA& data) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (deviceType_ == kTypeFt2232H) {
        fifoFlag_ = data.IFAIsFifo7;
    }
    const bool othersUnchanged =
        lastReadBytes_ && comparableBytes(data) == *lastReadBytes_ && stringsOf(data) == *lastReadStrings_;
    return {FT_OK, data.IFAIsFifo7, othersUnchanged};
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
    std::fill(kept.begin() + (kStringPointers - kFirstField), kept.begin() + (kAfterStrings - kFirstField), 0);
    if (kFifoFlagOffset < blockEnd()) {
        kept[kFifoFlagOffset - kFirstField] = 0;
    }
    return kept;
}

Eeprom::Strings Eeprom::stringsOf(const FT_PROGRAM_DATA& data) {
    return {readString(data.Manufacturer, kManufacturerSize), readString(data.ManufacturerId, kManufacturerIdSize),
            readString(data.Description, kDescriptionSize), readString(data.SerialNumber, kSerialNumberSize)};
}

DeviceTable::DeviceTable(const Scenario& scenario, const std::string& sharedDir)
    : devices_(makeDevices(scenario)),
      fifoDumpDir_(scenario.fifoDumpDir),
      sharedDir_(sharedDir),
      openHandleOf_(devices_.size(), nullptr),
      claims_(devices_.size()),
      doubleCloses_(devices_.size()) {
    for (int index = 0; index < int(devices_.size()); ++index) {
        list_.push_back({index, false});
    }
    if (!sharedDir_.empty()) {
        sharedDirProblem_ = prepareSharedDir();
    }
}

// The folder must be there and take new files: the claims are files made in it.
std::string DeviceTable::prepareSharedDir() const {
    const auto folder = std::filesystem::u8path(sharedDir_);
    std::error_code ignored;  // what counts is whether the folder is there now
    std::filesystem::create_directories(folder, ignored);
    if (!std::filesystem::is_directory(folder)) {
        return "cannot make the shared folder " + sharedDir_;
    }
    const auto probe = folder / "write-check";
    const bool writable = std::ofstream(probe, std::ios::app).is_open();
    std::filesystem::remove(probe, ignored);
    return writable ? "" : "cannot write in the shared folder " + sharedDir_;
}

std::filesystem::path DeviceTable::claimFile(int index) const {
    return std::filesystem::u8path(sharedDir_) / ("device" + std::to_string(index) + ".lock");
}

bool DeviceTable::isCardFifo(int index) const {
    const Device& target = device(index);
    return target.card && target.config.channel == Channel::Fifo;
}

// Like the vendor library, listing claims each free device for a moment; one that cannot
// be claimed is held by another process.
int DeviceTable::makeList() {
    std::vector<ListEntry> list;
    for (int index = 0; index < int(devices_.size()); ++index) {
        if (gone(index)) {
            continue;
        }
        bool heldElsewhere = false;
        if (!sharedDir_.empty()) {
            std::unique_lock<std::mutex> lock(mutex_);
            if (openHandleOf_[std::size_t(index)] == nullptr) {
                lock.unlock();
                DeviceClaim probe;
                heldElsewhere = !probe.take(claimFile(index));
                if (!heldElsewhere) {
                    std::this_thread::sleep_for(kListingClaim);
                }
            }
        }
        list.push_back({index, heldElsewhere});
    }
    std::lock_guard<std::mutex> lock(mutex_);
    list_ = std::move(list);
    return int(list_.size());
}

int DeviceTable::listed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return int(list_.size());
}

void DeviceTable::fillNode(int position, FT_DEVICE_LIST_INFO_NODE& node) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const ListEntry entry = list_.at(std::size_t(position));
    if (entry.heldElsewhere) {
        node = FT_DEVICE_LIST_INFO_NODE{};
        node.Flags = FT_FLAGS_OPENED;
        node.Type = kTypeUnknown;
        return;
    }
    const int index = entry.device;
    const DeviceConfig& config = device(index).config;
    const FT_HANDLE handle = openHandleOf_[std::size_t(index)];
    const bool highSpeed = config.type == kTypeFt2232H;
    node.Flags = (handle ? FT_FLAGS_OPENED : 0) | (highSpeed ? FT_FLAGS_HISPEED : 0);
    node.Type = config.type;
    node.ID = highSpeed ? 0x04036010 : 0x04036001;  // USB vendor and product
    node.LocId = 0x2000u + DWORD(index);
    copyField(node.SerialNumber, sizeof node.SerialNumber, config.serial);
    copyField(node.Description, sizeof node.Description, config.description);
    node.ftHandle = handle;
    if (const auto& recorded = config.recordedNode) {  // replay: as the recording listed it
        node.Flags = recorded->flags | (handle ? FT_FLAGS_OPENED : 0);
        node.ID = recorded->id;
        node.LocId = recorded->locId;
    }
}

FT_STATUS DeviceTable::open(int position, FT_HANDLE& handle) {
    int index = -1;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (position >= 0 && position < int(list_.size())) {
            index = list_[std::size_t(position)].device;
        }
    }
    if (index < 0 || gone(index)) {
        return FT_DEVICE_NOT_FOUND;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (openHandleOf_[std::size_t(index)] != nullptr) {
            return FT_DEVICE_NOT_OPENED;
        }
        if (!sharedDir_.empty()) {
            auto claim = std::make_unique<DeviceClaim>();
            if (!claim->take(claimFile(index))) {
                return FT_DEVICE_NOT_OPENED;  // another process holds it, or is listing it
            }
            claims_[std::size_t(index)] = std::move(claim);
        }
        handle = newHandleValue();
        live_[handle] = std::make_shared<OpenHandle>(index);
        openHandleOf_[std::size_t(index)] = handle;
    }
    const Device& opened = device(index);
    if (opened.card && opened.config.channel == Channel::Uart) {
        opened.card->uartOpened(Clock::now());
    }
    return FT_OK;
}

HandleLookup DeviceTable::find(FT_HANDLE handle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (auto live = live_.find(handle); live != live_.end()) {
        return {live->second, live->second->device()};
    }
    if (auto old = closedBefore_.find(handle); old != closedBefore_.end()) {
        return {nullptr, old->second};
    }
    return {};
}

FT_STATUS DeviceTable::close(FT_HANDLE handle) {
    std::shared_ptr<OpenHandle> closed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto live = live_.find(handle);
        if (live == live_.end()) {
            if (auto old = closedBefore_.find(handle); old != closedBefore_.end()) {
                ++doubleCloses_[std::size_t(old->second)];
            }
            return FT_INVALID_HANDLE;
        }
        closed = live->second;
        closedBefore_[handle] = closed->device();
        openHandleOf_[std::size_t(closed->device())] = nullptr;
        claims_[std::size_t(closed->device())].reset();
        live_.erase(live);
    }
    closed->markClosed();
    const Device& device = this->device(closed->device());
    if (device.card) {
        device.card->wake();
        dumpFifo(closed->device());
    }
    return FT_OK;
}

void DeviceTable::dumpFifo(int index) const {
    const Device& target = device(index);
    if (isCardFifo(index) && !fifoDumpDir_.empty()) {
        writeFifoDump(fifoDumpDir_, target.config.card, *target.card);
    }
}

int DeviceTable::doubleCloses(int index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return index >= 0 && index < int(devices_.size()) ? doubleCloses_[std::size_t(index)] : 0;
}

bool DeviceTable::gone(int index) {
    const Device& target = device(index);
    if (!target.presence) {
        return false;
    }
    if (!target.presence->gone() && target.presence->timeUp(Clock::now())) {
        unplug(target);
    }
    return target.presence->gone();
}

std::optional<PlayedFailure> DeviceTable::recordedFailure(int index, const std::string& function) const {
    const Device& target = device(index);
    return target.card ? target.card->recordedFailure(function, target.config.channel) : std::nullopt;
}

// From now on every call on the card's handles fails, and calls blocked on them end.
void DeviceTable::unplug(const Device& card) {
    if (!card.presence->takeAway()) {
        return;
    }
    std::vector<std::shared_ptr<OpenHandle>> handles;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [value, open] : live_) {
            if (device(open->device()).card == card.card) {
                handles.push_back(open);
            }
        }
        const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - madeAt_);
        unplugged_.push_back({card.config.card, long(since.count())});
    }
    for (const auto& handle : handles) {
        handle->markGone();
    }
    card.card->wake();
}

std::vector<Unplugged> DeviceTable::takeUnplugged() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(unplugged_, {});
}

Card* DeviceTable::uartCard(const OpenHandle& handle) const {
    const Device& target = device(handle.device());
    return target.config.channel == Channel::Uart ? target.card.get() : nullptr;
}

WriteOutcome DeviceTable::write(OpenHandle& handle, const std::uint8_t* data, std::size_t length) {
    if (isCardFifo(handle.device())) {
        const Device& target = device(handle.device());
        if (!target.eeprom->fifoModeActive()) {
            // Interface A is still in its old mode: nothing reaches the card's FIFO.
            handle.idleWait(handle.writeTimeoutMs());
            return {handle.released() ? FT_IO_ERROR : FT_OK, 0};
        }
        if (!target.presence) {
            return target.card->fifoWrite(data, length, handle.writeTimeoutMs(), handle.releasedFlag());
        }
        // A card that goes after N bytes takes them, and the write still in progress ends.
        WriteOutcome outcome = target.card->fifoWrite(data, target.presence->fifoRoom(length), handle.writeTimeoutMs(),
                                                      handle.releasedFlag());
        if (target.presence->fifoFull()) {
            unplug(target);
        }
        if (handle.gone() && outcome.written < length) {
            outcome.status = FT_IO_ERROR;
        }
        return outcome;
    }
    if (Card* card = uartCard(handle)) {
        if (card->uartWrite(std::string(reinterpret_cast<const char*>(data), length), Clock::now())) {
            unplug(device(handle.device()));  // as the card takes the command: it never answers it
        }
    }
    return {FT_OK, length};
}

std::string DeviceTable::read(OpenHandle& handle, std::size_t length) {
    if (Card* card = uartCard(handle)) {
        return card->uartRead(length, handle.readTimeoutMs(), handle.releasedFlag());
    }
    handle.idleWait(handle.readTimeoutMs());
    return {};
}

std::size_t DeviceTable::waiting(OpenHandle& handle) {
    Card* card = uartCard(handle);
    return card ? card->uartWaiting(Clock::now()) : 0;
}

void DeviceTable::purge(OpenHandle& handle, ULONG mask) {
    Card* card = uartCard(handle);
    if (card && (mask & FT_PURGE_RX) != 0) {
        card->uartPurge(Clock::now());
    }
}

}  // namespace cardbench
