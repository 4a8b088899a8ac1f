// The bench's chips on a umockdev testbed: each FT2232H the scenario describes is a USB
// device on bus 1 in the testbed's sysfs, with its descriptors, and a node under
// /dev/bus/usb/001 whose ioctls its UsbfsNode serves. A pump thread answers the reaps
// the nodes hold. A chip whose card is unplugged leaves the testbed, as a removed device
// leaves sysfs and /dev.
#pragma once

#include <umockdev.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "chip.h"
#include "model/device_table.h"
#include "model/scenario.h"
#include "usbfs_node.h"

namespace cardbench::usb {

class UsbTestbed {
public:
    explicit UsbTestbed(const Scenario& scenario);
    ~UsbTestbed();
    UsbTestbed(const UsbTestbed&) = delete;
    UsbTestbed& operator=(const UsbTestbed&) = delete;

    // The folder a process needs as UMOCKDEV_DIR to see the testbed.
    std::string root() const { return root_; }
    std::size_t chipCount() const { return chips_.size(); }
    // Writes what each card's FIFO took to the dump folder, if the scenario names one.
    void dumpFifos() const;

private:
    struct Slot;

    void addChip(Ft2232hChip& chip, int number);
    void holdElsewhere(const Scenario& scenario);
    void pumpLoop();

    DeviceTable table_;
    UMockdevTestbed* testbed_;
    std::string root_;
    std::vector<std::unique_ptr<Ft2232hChip>> chips_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::atomic<bool> stopping_{false};
    std::thread pump_;
};

}  // namespace cardbench::usb
