// The program's D2XX functions over libftdi1 and libusb (Linux only), for machines
// without FTDI's proprietary library. libftdi1 is loaded at run time as libftdi1.so.2,
// libusb as libusb-1.0.so.0; their headers give the types only.
//
// What stands for what:
// - FT_CreateDeviceInfoList / FT_GetDeviceInfoList: ftdi_usb_find_all (0403:6010), then
//   per chip libusb_open, libusb_get_string_descriptor_ascii (product, serial), and per
//   interface libusb_kernel_driver_active and a libusb_claim_interface /
//   libusb_release_interface that tells a held interface (busy) from a free one; two
//   records per chip, in the order of bus and address (libftdi_rules.h).
// - FT_Open: ftdi_new, ftdi_set_interface, ftdi_usb_open_bus_addr (which detaches
//   ftdi_sio from that interface, claims it, resets the chip), ftdi_usb_purge_rx_buffer
//   and ftdi_usb_purge_tx_buffer, then the reader: four 4096-byte bulk IN transfers
//   (libusb_submit_transfer) kept in flight by a thread of the handle's own that runs
//   libusb_handle_events_timeout_completed, as D2XX's reader thread does.
// - FT_GetStatus, FT_Read: the reader's queue only (no bus traffic); FT_Read waits on it
//   up to the read time-out. FT_SetTimeouts: kept for FT_Read and FT_Write.
// - FT_Write: one bulk OUT transfer of the whole buffer with the write time-out.
// - FT_SetBaudRate: ftdi_set_baudrate; FT_SetDataCharacteristics: ftdi_set_line_property;
//   FT_SetFlowControl: ftdi_setflowctrl (RTS/CTS also raises RTS with ftdi_setrts, DTR/DSR
//   DTR with ftdi_setdtr, as D2XX does), ftdi_setflowctrl_xonxoff; FT_Purge:
//   ftdi_usb_purge_rx_buffer / ftdi_usb_purge_tx_buffer (the request values D2XX sends)
//   and the reader's queue; FT_SetLatencyTimer: ftdi_set_latency_timer.
// - FT_EE_Read: 128 x ftdi_read_eeprom_location, decoded (ft2232h_eeprom.h).
//   FT_EE_Program: the same read, the changed words written with the chip's
//   write-EEPROM request (libusb_control_transfer: libftdi1's own word writer refuses the
//   checksum-protected words), the checksum last, then all read back.
// - FT_ResetPort: FT_NOT_SUPPORTED, as D2XX answers on Linux.
// - FT_Close: the reader stopped (libusb_cancel_transfer), ftdi_usb_close, ftdi_free.
#pragma once

#include <string>

#include "link/d2xx_library.h"

namespace nexir {

// Loads libftdi1 and libusb and fills `functions` with this driver's entry points.
// Returns the empty text, or why it could not (functions then stay as they were).
std::string loadLibftdiDriver(D2xxFunctions& functions);

}  // namespace nexir
