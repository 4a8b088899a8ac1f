// The run-time binding of libftdi1 and libusb for the libftdi1 driver: both are loaded
// with dlopen (libftdi1 as libftdi1.so.2, libusb as libusb-1.0.so.0) and every function
// the driver calls is looked up by name, so that the program starts without them and
// their headers give the types only.
#pragma once

#include <ftdi.h>
#include <libusb.h>

#include <cstdint>
#include <string>

namespace nexir::libftdi {

// Every libftdi1 and libusb function the driver calls, resolved at run time.
struct Api {
    ftdi_context* (*ftdi_new)();
    void (*ftdi_free)(ftdi_context*);
    int (*ftdi_set_interface)(ftdi_context*, ftdi_interface);
    int (*ftdi_usb_find_all)(ftdi_context*, ftdi_device_list**, int, int);
    void (*ftdi_list_free)(ftdi_device_list**);
    int (*ftdi_usb_open_bus_addr)(ftdi_context*, std::uint8_t, std::uint8_t);
    int (*ftdi_usb_close)(ftdi_context*);
    int (*ftdi_usb_purge_rx_buffer)(ftdi_context*);  // deprecated in ftdi.h: declared here
    int (*ftdi_usb_purge_tx_buffer)(ftdi_context*);
    int (*ftdi_set_baudrate)(ftdi_context*, int);
    int (*ftdi_set_line_property)(ftdi_context*, ftdi_bits_type, ftdi_stopbits_type, ftdi_parity_type);
    int (*ftdi_setflowctrl)(ftdi_context*, int);
    int (*ftdi_setflowctrl_xonxoff)(ftdi_context*, unsigned char, unsigned char);
    int (*ftdi_setrts)(ftdi_context*, int);
    int (*ftdi_setdtr)(ftdi_context*, int);
    int (*ftdi_set_latency_timer)(ftdi_context*, unsigned char);
    int (*ftdi_read_eeprom_location)(ftdi_context*, int, unsigned short*);

    std::uint8_t (*libusb_get_bus_number)(libusb_device*);
    std::uint8_t (*libusb_get_device_address)(libusb_device*);
    int (*libusb_get_device_speed)(libusb_device*);
    int (*libusb_get_device_descriptor)(libusb_device*, libusb_device_descriptor*);
    int (*libusb_open)(libusb_device*, libusb_device_handle**);
    void (*libusb_close)(libusb_device_handle*);
    int (*libusb_get_string_descriptor_ascii)(libusb_device_handle*, std::uint8_t, unsigned char*, int);
    int (*libusb_kernel_driver_active)(libusb_device_handle*, int);
    int (*libusb_claim_interface)(libusb_device_handle*, int);
    int (*libusb_release_interface)(libusb_device_handle*, int);
    int (*libusb_control_transfer)(libusb_device_handle*, std::uint8_t, std::uint8_t, std::uint16_t, std::uint16_t,
                                   unsigned char*, std::uint16_t, unsigned int);
    libusb_transfer* (*libusb_alloc_transfer)(int);
    void (*libusb_free_transfer)(libusb_transfer*);
    int (*libusb_submit_transfer)(libusb_transfer*);
    int (*libusb_cancel_transfer)(libusb_transfer*);
    int (*libusb_handle_events_timeout_completed)(libusb_context*, timeval*, int*);
    void (*libusb_interrupt_event_handler)(libusb_context*);
};

// Filled by loadApi.
extern Api api;

// Loads libftdi1 and libusb and fills `api`. Returns the empty text, or why it could not.
std::string loadApi();

}  // namespace nexir::libftdi
