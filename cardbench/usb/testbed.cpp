#include "testbed.h"

#include <pty.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>

namespace cardbench::usb {
namespace {

// How often the pump answers held reaps: well inside the hold, so that a reap waits for
// about as long as it is held and no longer.
constexpr auto kPumpPeriod = std::chrono::microseconds(250);

struct ChipPlan {
    std::array<int, 2> devices{-1, -1};
    ChipStrings strings;
};

// The channel letter a description or serial number ends in, if it ends in one.
int channelLetter(const std::string& text) {
    if (text.empty()) return -1;
    return text.back() == 'A' ? 0 : text.back() == 'B' ? 1 : -1;
}

// The chips behind the scenario's devices: a card's two channels, and two plain devices
// that are the channels of one chip ("... A"/"... B" with serial numbers that differ
// only in that letter), which the bus shows as an FT2232H that is no card. A lone plain
// device is left off the bus.
std::vector<ChipPlan> chipsOf(const Scenario& scenario) {
    std::vector<ChipPlan> plans;
    std::map<std::string, std::size_t> planOf;
    for (std::size_t index = 0; index < scenario.devices.size(); ++index) {
        const DeviceConfig& device = scenario.devices[index];
        int channel = device.channel == Channel::Fifo ? 0 : device.channel == Channel::Uart ? 1 : -1;
        std::string key = "card " + device.card;
        const std::string& description = device.description;
        const bool suffixed = description.size() >= 2 && description[description.size() - 2] == ' ';
        if (device.card.empty()) {
            channel = suffixed ? channelLetter(description) : -1;
            if (channel < 0 || channelLetter(device.serial) != channel) continue;
            key = "chip " + chipSerial(device.serial) + "\n" + description.substr(0, description.size() - 2);
        }
        auto [at, added] = planOf.try_emplace(key, plans.size());
        if (added) {
            plans.push_back({{-1, -1},
                             {"FTDI", suffixed ? description.substr(0, description.size() - 2) : description,
                              chipSerial(device.serial)}});
        }
        plans[at->second].devices[std::size_t(channel)] = int(index);
    }
    return plans;
}

}  // namespace

struct UsbTestbed::Slot {
    std::string syspath;
    int ptyMaster = -1;
    std::unique_ptr<UsbfsNode> node;
    std::once_flag removed;
};

UsbTestbed::UsbTestbed(const Scenario& scenario) : table_(scenario, ""), testbed_(umockdev_testbed_new()) {
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    root_ = root;
    g_free(root);
    std::filesystem::create_directories(root_ + "/dev/bus/usb/001");  // libusb opens this folder
    for (const ChipPlan& plan : chipsOf(scenario)) {
        chips_.push_back(std::make_unique<Ft2232hChip>(table_, plan.devices, plan.strings));
        addChip(*chips_.back(), int(chips_.size()));
    }
    holdElsewhere(scenario);
    pump_ = std::thread([this] { pumpLoop(); });
}

// A device whose every FT_Open fails with FT_DEVICE_NOT_OPENED on the D2XX face is one
// that another program holds: on the bus, that program has claimed its chip's two
// interfaces for good, as another nexir-updater holds a card it updates.
void UsbTestbed::holdElsewhere(const Scenario& scenario) {
    for (const FaultConfig& fault : scenario.faults) {
        if (fault.function != "FT_Open" || fault.status != FT_DEVICE_NOT_OPENED || fault.times != kAlways ||
            fault.skip != 0 || !fault.device) {
            continue;
        }
        for (std::size_t chip = 0; chip < chips_.size(); ++chip) {
            if (chips_[chip]->device(0) == *fault.device || chips_[chip]->device(1) == *fault.device) {
                slots_[chip]->node->holdElsewhere();
            }
        }
    }
}

UsbTestbed::~UsbTestbed() {
    stopping_ = true;
    pump_.join();
    for (auto& slot : slots_) {
        slot->node.reset();
        std::call_once(slot->removed, [&slot] { close(slot->ptyMaster); });
    }
    g_object_unref(testbed_);
}

// Chip `number` (from 1) is device number + 1 on bus 1, at port `number` of its root hub.
void UsbTestbed::addChip(Ft2232hChip& chip, int number) {
    const int devnum = number + 1;
    char devnumPadded[12], node[32];
    std::snprintf(devnumPadded, sizeof devnumPadded, "%03d", devnum);
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%s", devnumPadded);
    const std::string name = "usb1/1-" + std::to_string(number), devnumText = std::to_string(devnum);
    const std::string major = "189:" + std::to_string(devnum - 1);
    const ChipStrings& strings = chip.strings();
    const gchar* attributes[] = {"dev",
                                 major.c_str(),
                                 "idVendor",
                                 "0403",
                                 "idProduct",
                                 "6010",
                                 "bcdDevice",
                                 "0700",
                                 "busnum",
                                 "1",
                                 "devnum",
                                 devnumText.c_str(),
                                 "speed",
                                 "480",
                                 "manufacturer",
                                 strings.manufacturer.c_str(),
                                 "product",
                                 strings.product.c_str(),
                                 "serial",
                                 strings.serial.c_str(),
                                 "bConfigurationValue",
                                 "1",
                                 "bNumConfigurations",
                                 "1",
                                 "bNumInterfaces",
                                 " 2",
                                 "bMaxPower",
                                 "100mA",
                                 nullptr};
    const gchar* properties[] = {"DEVNAME",    node,      "DEVTYPE",      "usb_device", "BUSNUM", "001",  "DEVNUM",
                                 devnumPadded, "PRODUCT", "403/6010/700", "TYPE",       "0/0/0",  nullptr};
    auto slot = std::make_unique<Slot>();
    gchar* syspath = umockdev_testbed_add_devicev(testbed_, "usb", name.c_str(), nullptr,
                                                  const_cast<gchar**>(attributes), const_cast<gchar**>(properties));
    slot->syspath = syspath;
    g_free(syspath);
    Bytes descriptors = deviceDescriptor();
    const Bytes configuration = configurationDescriptor();
    descriptors.insert(descriptors.end(), configuration.begin(), configuration.end());
    umockdev_testbed_set_attribute_binary(testbed_, slot->syspath.c_str(), "descriptors", descriptors.data(),
                                          gint(descriptors.size()));
    // The node is a pseudo-terminal's other side: poll() finds it ready, as a regular file
    // would be, and reports POLLHUP|POLLERR once the master closes, as usbfs does for a
    // device that has gone.
    const std::string path = root_ + node;
    std::filesystem::remove(path);
    int terminal = -1;
    if (openpty(&slot->ptyMaster, &terminal, nullptr, nullptr, nullptr) == 0) {
        std::filesystem::create_symlink(ttyname(terminal), path);
        close(terminal);
    }
    Slot* raw = slot.get();
    slot->node = std::make_unique<UsbfsNode>(chip, devnum, [this, raw] {
        std::call_once(raw->removed, [this, raw] {
            umockdev_testbed_remove_device(testbed_, raw->syspath.c_str());
            if (raw->ptyMaster >= 0) close(std::exchange(raw->ptyMaster, -1));
        });
    });
    umockdev_testbed_attach_ioctl(testbed_, node, slot->node->handler(), nullptr);
    slots_.push_back(std::move(slot));
}

void UsbTestbed::pumpLoop() {
    while (!stopping_) {
        for (auto& slot : slots_) slot->node->pump();
        std::this_thread::sleep_for(kPumpPeriod);
    }
}

void UsbTestbed::dumpFifos() const {
    for (const auto& chip : chips_) chip->dumpFifo();
}

}  // namespace cardbench::usb
