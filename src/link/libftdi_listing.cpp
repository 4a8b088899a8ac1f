#include "link/libftdi_listing.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include "link/libftdi_api.h"
#include "link/libftdi_channel.h"

namespace nexir::libftdi {

std::mutex stateMutex;
std::vector<Listed> listed;
std::set<Channel*> openChannels;

Channel* channelOf(FT_HANDLE handle) {
    std::lock_guard<std::mutex> lock(stateMutex);
    auto* channel = static_cast<Channel*>(handle);
    return openChannels.count(channel) ? channel : nullptr;
}

namespace {

bool openHere(const UsbChip& chip, int interface) {
    std::lock_guard<std::mutex> lock(stateMutex);
    return std::any_of(openChannels.begin(), openChannels.end(), [&](Channel* c) {
        return c->chip().bus == chip.bus && c->chip().address == chip.address && c->interface() == interface;
    });
}

enum class InterfaceState { Free, Held, OpenHere, ChipGone };

// Whether another program holds the interface. An interface that a kernel driver such as
// ftdi_sio holds is free for this driver: libftdi1 detaches the driver when it opens it.
InterfaceState interfaceState(libusb_device_handle* device, const UsbChip& chip, int interface) {
    if (openHere(chip, interface)) return InterfaceState::OpenHere;
    if (api.libusb_kernel_driver_active(device, interface) == 1) return InterfaceState::Free;
    const int claimed = api.libusb_claim_interface(device, interface);
    if (claimed == 0) {
        api.libusb_release_interface(device, interface);
        return InterfaceState::Free;
    }
    if (claimed == LIBUSB_ERROR_NO_DEVICE) return InterfaceState::ChipGone;
    return claimed == LIBUSB_ERROR_BUSY || claimed == LIBUSB_ERROR_ACCESS ? InterfaceState::Held : InterfaceState::Free;
}

std::string stringOf(libusb_device_handle* device, std::uint8_t index) {
    unsigned char text[256];
    if (index == 0) return {};
    const int length = api.libusb_get_string_descriptor_ascii(device, index, text, sizeof text);
    return length > 0 ? std::string(reinterpret_cast<char*>(text), static_cast<std::size_t>(length)) : std::string();
}

// The two records of one chip; none when it went away while it was looked at.
void listChip(libusb_device* device, std::vector<Listed>& into) {
    UsbChip chip;
    chip.bus = api.libusb_get_bus_number(device);
    chip.address = api.libusb_get_device_address(device);
    chip.highSpeed = api.libusb_get_device_speed(device) >= LIBUSB_SPEED_HIGH;
    libusb_device_descriptor descriptor{};
    if (api.libusb_get_device_descriptor(device, &descriptor) == 0) chip.release = descriptor.bcdDevice;
    libusb_device_handle* handle = nullptr;
    const int opened = api.libusb_open(device, &handle);
    if (opened == LIBUSB_ERROR_NO_DEVICE) return;
    std::array<InterfaceState, kInterfacesPerChip> states;
    if (opened != 0) {
        states.fill(InterfaceState::Held);  // no access: as D2XX, which cannot open it either
    } else {
        chip.product = stringOf(handle, descriptor.iProduct);
        chip.serial = stringOf(handle, descriptor.iSerialNumber);
        for (int interface = 0; interface < kInterfacesPerChip; ++interface)
            states[interface] = interfaceState(handle, chip, interface);
        api.libusb_close(handle);
    }
    for (int interface = 0; interface < kInterfacesPerChip; ++interface) {
        if (states[interface] == InterfaceState::ChipGone) return;
    }
    for (int interface = 0; interface < kInterfacesPerChip; ++interface) {
        Listed entry;
        entry.chip = chip;
        entry.interface = interface;
        entry.node = listedNode(chip, interface, states[interface] == InterfaceState::Held);
        if (states[interface] == InterfaceState::OpenHere) entry.node.Flags |= FT_FLAGS_OPENED;
        into.push_back(entry);
    }
}

}  // namespace

int scanChips(std::vector<Listed>& into, std::vector<UsbChip>* chipsOnly) {
    ftdi_context* ftdi = api.ftdi_new();
    if (!ftdi) return -1;
    ftdi_device_list* devices = nullptr;
    const int found = api.ftdi_usb_find_all(ftdi, &devices, kFtdiVendor, kFt2232hProduct);
    for (ftdi_device_list* d = devices; found > 0 && d; d = d->next) {
        if (chipsOnly) {
            UsbChip chip;
            chip.bus = api.libusb_get_bus_number(d->dev);
            chip.address = api.libusb_get_device_address(d->dev);
            chipsOnly->push_back(chip);
        } else {
            listChip(d->dev, into);
        }
    }
    if (devices) api.ftdi_list_free(&devices);
    api.ftdi_free(ftdi);
    return found < 0 ? -1 : 0;
}

bool onTheBus(const UsbChip& chip) {
    std::vector<Listed> unused;
    std::vector<UsbChip> chips;
    scanChips(unused, &chips);
    return std::any_of(chips.begin(), chips.end(),
                       [&](const UsbChip& c) { return c.bus == chip.bus && c.address == chip.address; });
}

}  // namespace nexir::libftdi
