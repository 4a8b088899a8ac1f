// The FTDI device list the host sees and the handles open on it. Handles are opaque
// numbers that are never reused, so a stale or invented handle is recognised without
// touching memory. Thread-safe.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "card.h"
#include "eeprom.h"
#include "open_handle.h"
#include "scenario.h"

namespace cardbench {

struct Device {
    DeviceConfig config;
    std::shared_ptr<Card> card;  // null for a device that is no card channel
    std::shared_ptr<Eeprom> eeprom;
};

struct HandleLookup {
    std::shared_ptr<OpenHandle> handle;  // null unless open
    int device = -1;                     // also known for a handle closed before
};

class DeviceTable {
public:
    explicit DeviceTable(std::vector<Device> devices);

    int count() const { return int(devices_.size()); }
    bool exists(int index) const { return index >= 0 && index < count(); }
    const Device& device(int index) const { return devices_.at(std::size_t(index)); }
    void fillNode(int index, FT_DEVICE_LIST_INFO_NODE& node) const;

    FT_STATUS open(int index, FT_HANDLE& handle, std::shared_ptr<OpenHandle>& opened);
    HandleLookup find(FT_HANDLE handle) const;
    // Forgets an open handle; a handle closed before counts as a double close.
    FT_STATUS close(FT_HANDLE handle, std::shared_ptr<OpenHandle>& closed);
    int doubleCloses(int index) const;

private:
    const std::vector<Device> devices_;
    mutable std::mutex mutex_;
    std::map<FT_HANDLE, std::shared_ptr<OpenHandle>> live_;
    std::map<FT_HANDLE, int> closedBefore_;
    std::vector<FT_HANDLE> openHandleOf_;
    std::vector<int> doubleCloses_;
};

}  // namespace cardbench
