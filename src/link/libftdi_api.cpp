#include "link/libftdi_api.h"

#include <dlfcn.h>

#include "link/driver_selection.h"

namespace nexir::libftdi {

Api api;

namespace {

template <typename F>
void resolve(void* module, const char* name, F& slot, std::string& reason) {
    if (!reason.empty()) return;
    dlerror();
    void* address = dlsym(module, name);
    if (!address) {
        const char* text = dlerror();
        reason = text ? text : std::string(name) + ": symbol is null";
        return;
    }
    slot = reinterpret_cast<F>(address);
}

}  // namespace

std::string loadApi() {
    // Kept loaded for the life of the process, as FTDI's library is.
    void* ftdi = dlopen(kLibftdiFileName, RTLD_NOW | RTLD_LOCAL);
    if (!ftdi) return dlerror();
    void* usb = dlopen("libusb-1.0.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!usb) return dlerror();
    std::string reason;
    Api& a = api;
#define NEXIR_FTDI(name) resolve(ftdi, #name, a.name, reason)
#define NEXIR_USB(name) resolve(usb, #name, a.name, reason)
    NEXIR_FTDI(ftdi_new);
    NEXIR_FTDI(ftdi_free);
    NEXIR_FTDI(ftdi_set_interface);
    NEXIR_FTDI(ftdi_usb_find_all);
    NEXIR_FTDI(ftdi_list_free);
    NEXIR_FTDI(ftdi_usb_open_bus_addr);
    NEXIR_FTDI(ftdi_usb_close);
    NEXIR_FTDI(ftdi_usb_purge_rx_buffer);
    NEXIR_FTDI(ftdi_usb_purge_tx_buffer);
    NEXIR_FTDI(ftdi_set_baudrate);
    NEXIR_FTDI(ftdi_set_line_property);
    NEXIR_FTDI(ftdi_setflowctrl);
    NEXIR_FTDI(ftdi_setflowctrl_xonxoff);
    NEXIR_FTDI(ftdi_setrts);
    NEXIR_FTDI(ftdi_setdtr);
    NEXIR_FTDI(ftdi_set_latency_timer);
    NEXIR_FTDI(ftdi_read_eeprom_location);
    NEXIR_USB(libusb_get_bus_number);
    NEXIR_USB(libusb_get_device_address);
    NEXIR_USB(libusb_get_device_speed);
    NEXIR_USB(libusb_get_device_descriptor);
    NEXIR_USB(libusb_open);
    NEXIR_USB(libusb_close);
    NEXIR_USB(libusb_get_string_descriptor_ascii);
    NEXIR_USB(libusb_kernel_driver_active);
    NEXIR_USB(libusb_claim_interface);
    NEXIR_USB(libusb_release_interface);
    NEXIR_USB(libusb_control_transfer);
    NEXIR_USB(libusb_alloc_transfer);
    NEXIR_USB(libusb_free_transfer);
    NEXIR_USB(libusb_submit_transfer);
    NEXIR_USB(libusb_cancel_transfer);
    NEXIR_USB(libusb_handle_events_timeout_completed);
    NEXIR_USB(libusb_interrupt_event_handler);
#undef NEXIR_FTDI
#undef NEXIR_USB
    return reason;
}

}  // namespace nexir::libftdi
