#include "device_table.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

namespace cardbench {
namespace {

FT_HANDLE newHandleValue() {
    static std::atomic<std::uintptr_t> next{1};
    return reinterpret_cast<FT_HANDLE>(0xCB000000u + 0x10u * next++);
}

void copyField(char* field, std::size_t size, const std::string& text) {
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), std::min(size, text.size()));
}

constexpr ULONG kFlagOpened = 1;
constexpr ULONG kFlagHighSpeed = 2;

}  // namespace

DeviceTable::DeviceTable(std::vector<Device> devices)
    : devices_(std::move(devices)), openHandleOf_(devices_.size(), nullptr), doubleCloses_(devices_.size()) {}

void DeviceTable::fillNode(int index, FT_DEVICE_LIST_INFO_NODE& node) const {
    const DeviceConfig& config = device(index).config;
    std::lock_guard<std::mutex> lock(mutex_);
    const FT_HANDLE handle = openHandleOf_[std::size_t(index)];
    node.Flags = (handle ? kFlagOpened : 0) | (config.type == kTypeFt2232H ? kFlagHighSpeed : 0);
    node.Type = config.type;
    node.ID = config.type == kTypeFt2232H ? 0x04036010 : 0x04036001;  // USB vendor and product
    node.LocId = 0x2000u + DWORD(index);
    copyField(node.SerialNumber, sizeof node.SerialNumber, config.serial);
    copyField(node.Description, sizeof node.Description, config.description);
    node.ftHandle = handle;
}

FT_STATUS DeviceTable::open(int index, FT_HANDLE& handle, std::shared_ptr<OpenHandle>& opened) {
    if (!exists(index)) {
        return FT_DEVICE_NOT_FOUND;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (openHandleOf_[std::size_t(index)] != nullptr) {
        return FT_DEVICE_NOT_OPENED;
    }
    handle = newHandleValue();
    opened = std::make_shared<OpenHandle>(index);
    live_[handle] = opened;
    openHandleOf_[std::size_t(index)] = handle;
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

FT_STATUS DeviceTable::close(FT_HANDLE handle, std::shared_ptr<OpenHandle>& closed) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto live = live_.find(handle);
    if (live == live_.end()) {
        if (auto old = closedBefore_.find(handle); old != closedBefore_.end()) {
            ++doubleCloses_[std::size_t(old->second)];
        }
        return FT_INVALID_HANDLE;
    }
    closed = live->second;
    const auto index = std::size_t(closed->device());
    closedBefore_[handle] = closed->device();
    openHandleOf_[index] = nullptr;
    live_.erase(live);
    return FT_OK;
}

int DeviceTable::doubleCloses(int index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return exists(index) ? doubleCloses_[std::size_t(index)] : 0;
}

}  // namespace cardbench
