// One open interface of an FT2232H in the libftdi1 driver, what a D2XX handle stands
// for: the libftdi1 context that opened it, a reader that keeps bulk IN transfers in
// flight on a thread of its own and queues what they bring, and the read, write, purge
// and EEPROM requests that D2XX's functions come down to.
#pragma once

#include <ftdi.h>
#include <libusb.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "link/ft2232h_eeprom.h"
#include "link/ftd2xx_abi.h"
#include "link/libftdi_rules.h"

namespace nexir::libftdi {

// What FT_Open's handle points at; the handle is the Channel's address.
class Channel {
public:
    Channel(ftdi_context* ftdi, const UsbChip& chip, int interface) : ftdi_(ftdi), chip_(chip), interface_(interface) {}
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    const UsbChip& chip() const { return chip_; }
    int interface() const { return interface_; }

    // Purges the chip's queues and starts the reader; false when the chip would not.
    bool start();
    // Stops the reader and closes the interface.
    void close();

    bool gone() {
        std::lock_guard<std::mutex> lock(mutex_);
        return gone_;
    }
    // The outcome of a libftdi1 request (its result): libftdi1 tells only that it failed,
    // so the chip is asked once more whether it is still there.
    FT_STATUS request(int result);
    FT_STATUS status(DWORD* received);
    FT_STATUS read(void* buffer, DWORD size, DWORD* got);
    FT_STATUS write(const void* buffer, DWORD size, DWORD* written);
    FT_STATUS purge(ULONG mask);
    void setTimeouts(ULONG readMs, ULONG writeMs) {
        readTimeoutMs_ = readMs;
        writeTimeoutMs_ = writeMs;
    }
    FT_STATUS readEeprom(EepromImage& image, FT_STATUS failure);
    FT_STATUS writeEepromWord(std::size_t word, std::uint16_t value);

    ftdi_context* ftdi() const { return ftdi_; }

private:
    static constexpr int kReaderTransfers = 4;  // as D2XX keeps in flight
    static constexpr int kReaderTransferBytes = 4096;

    static void LIBUSB_CALL readerDone(libusb_transfer* transfer);
    static void LIBUSB_CALL writerDone(libusb_transfer* transfer);
    void readerDone(libusb_transfer* transfer, int slot);
    void handleEvents();
    void markGone() {
        std::lock_guard<std::mutex> lock(mutex_);
        gone_ = true;
        changed_.notify_all();
    }
    // One bulk OUT transfer; its outcome and what the chip took.
    int writePiece(unsigned char* data, int size, unsigned timeoutMs, int& taken, int& submitError);
    bool answers();

    ftdi_context* ftdi_;
    UsbChip chip_;
    int interface_;
    std::atomic<ULONG> readTimeoutMs_{0};  // 0: no time-out, as in D2XX
    std::atomic<ULONG> writeTimeoutMs_{0};

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::uint8_t> queue_;  // received bytes not yet read, without the status bytes
    bool gone_ = false;
    bool closing_ = false;
    int inFlight_ = 0;
    bool writeDone_ = false;
    std::array<libusb_transfer*, kReaderTransfers> readers_{};
    std::array<int, kReaderTransfers> errorsInARow_{};
    std::array<std::array<unsigned char, kReaderTransferBytes>, kReaderTransfers> buffers_{};
    std::atomic<bool> running_{false};
    std::thread events_;
};

}  // namespace nexir::libftdi
