#include "link/libftdi_driver.h"

#include <dlfcn.h>
#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "link/driver_selection.h"
#include "link/ft2232h_eeprom.h"
#include "link/libftdi_rules.h"

namespace nexir {

namespace {

using namespace libftdi;

// libftdi_rules.h names libusb's values without its header; they must be libusb's.
static_assert(kTransferCompleted == LIBUSB_TRANSFER_COMPLETED && kTransferError == LIBUSB_TRANSFER_ERROR &&
                  kTransferTimedOut == LIBUSB_TRANSFER_TIMED_OUT && kTransferCancelled == LIBUSB_TRANSFER_CANCELLED &&
                  kTransferStall == LIBUSB_TRANSFER_STALL && kTransferNoDevice == LIBUSB_TRANSFER_NO_DEVICE &&
                  kTransferOverflow == LIBUSB_TRANSFER_OVERFLOW,
              "transfer outcomes as libusb numbers them");

// ------------------------------------------------------------------ the libraries
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
Api api;

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

// ------------------------------------------------------------------ the chip's requests
constexpr std::uint8_t kVendorOut = LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_DEVICE | LIBUSB_ENDPOINT_OUT;
constexpr std::uint8_t kVendorIn = LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_DEVICE | LIBUSB_ENDPOINT_IN;
constexpr std::uint8_t kPollModemStatus = 0x05;
constexpr std::uint8_t kWriteEeprom = 0x91;
constexpr unsigned kProbeTimeoutMs = 1000;

constexpr int kReaderTransfers = 4;  // as D2XX keeps in flight
constexpr int kReaderTransferBytes = 4096;
constexpr long kEventRoundMicroseconds = 100000;  // one round of event handling waits at most this
constexpr std::chrono::seconds kStopLimit{2};
constexpr int kSmallestWritePiece = 64 * 1024;

// ------------------------------------------------------------------ one open interface
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

void LIBUSB_CALL Channel::readerDone(libusb_transfer* transfer) {
    auto* channel = static_cast<Channel*>(transfer->user_data);
    const auto slot = std::find(channel->readers_.begin(), channel->readers_.end(), transfer);
    channel->readerDone(transfer, static_cast<int>(slot - channel->readers_.begin()));
}

// On the channel's event thread. A transfer that came back is taken in and sent again at
// once, unless the channel closes or the chip is gone.
void Channel::readerDone(libusb_transfer* transfer, int slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int outcome = transfer->status;
    if (outcome == LIBUSB_TRANSFER_COMPLETED) {
        appendWithoutModemStatus(transfer->buffer, static_cast<std::size_t>(transfer->actual_length),
                                 ftdi_->max_packet_size, queue_);
        errorsInARow_[slot] = 0;
    } else if (outcome != LIBUSB_TRANSFER_CANCELLED && outcome != LIBUSB_TRANSFER_TIMED_OUT) {
        if (deviceGone(outcome, ++errorsInARow_[slot])) gone_ = true;
    }
    if (!closing_ && !gone_ && outcome != LIBUSB_TRANSFER_CANCELLED) {
        if (api.libusb_submit_transfer(transfer) == 0) {
            changed_.notify_all();
            return;
        }
        gone_ = true;  // a chip that takes no IN request is of no more use
    }
    --inFlight_;
    changed_.notify_all();
}

void LIBUSB_CALL Channel::writerDone(libusb_transfer* transfer) {
    auto* channel = static_cast<Channel*>(transfer->user_data);
    std::lock_guard<std::mutex> lock(channel->mutex_);
    channel->writeDone_ = true;
    channel->changed_.notify_all();
}

void Channel::handleEvents() {
    while (running_.load()) {
        timeval wait{0, kEventRoundMicroseconds};
        api.libusb_handle_events_timeout_completed(ftdi_->usb_ctx, &wait, nullptr);
    }
}

bool Channel::start() {
    if (api.ftdi_usb_purge_rx_buffer(ftdi_) < 0 || api.ftdi_usb_purge_tx_buffer(ftdi_) < 0) return false;
    for (int slot = 0; slot < kReaderTransfers; ++slot) {
        readers_[slot] = api.libusb_alloc_transfer(0);
        if (!readers_[slot]) return false;
        libusb_fill_bulk_transfer(readers_[slot], ftdi_->usb_dev, static_cast<unsigned char>(ftdi_->out_ep),
                                  buffers_[slot].data(), kReaderTransferBytes, &Channel::readerDone, this, 0);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (libusb_transfer* transfer : readers_) {
            if (api.libusb_submit_transfer(transfer) != 0) {
                gone_ = true;
                break;
            }
            ++inFlight_;
        }
    }
    running_ = true;
    events_ = std::thread([this] { handleEvents(); });
    return !gone();
}

void Channel::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    for (libusb_transfer* transfer : readers_) {
        if (transfer) api.libusb_cancel_transfer(transfer);  // one no longer in flight is not found: no matter
    }
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, kStopLimit, [this] { return inFlight_ == 0; });
    }
    if (events_.joinable()) {
        running_ = false;
        api.libusb_interrupt_event_handler(ftdi_->usb_ctx);
        events_.join();
    }
    bool done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done = inFlight_ == 0;
    }
    // A transfer libusb still holds is never freed under it.
    if (done) {
        for (libusb_transfer*& transfer : readers_) {
            if (transfer) api.libusb_free_transfer(transfer);
            transfer = nullptr;
        }
    }
    api.ftdi_usb_close(ftdi_);
    api.ftdi_free(ftdi_);
    ftdi_ = nullptr;
}

bool Channel::answers() {
    unsigned char modemStatus[2];
    return api.libusb_control_transfer(ftdi_->usb_dev, kVendorIn, kPollModemStatus, 0,
                                       static_cast<std::uint16_t>(ftdi_->index), modemStatus, sizeof modemStatus,
                                       kProbeTimeoutMs) == static_cast<int>(sizeof modemStatus);
}

FT_STATUS Channel::request(int result) {
    if (result >= 0) return FT_OK;
    if (!answers()) markGone();
    return FT_IO_ERROR;
}

FT_STATUS Channel::status(DWORD* received) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (gone_) {
        *received = 0;
        return FT_IO_ERROR;
    }
    *received = static_cast<DWORD>(queue_.size());
    return FT_OK;
}

// Waits for the count up to the read time-out, then gives what there is, as D2XX does.
// Once the chip is gone nothing is given, and what was received is lost, as with D2XX.
FT_STATUS Channel::read(void* buffer, DWORD size, DWORD* got) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto ready = [&] { return gone_ || queue_.size() >= size; };
    const ULONG timeout = readTimeoutMs_;
    if (timeout == 0) {
        changed_.wait(lock, ready);
    } else {
        changed_.wait_for(lock, std::chrono::milliseconds(timeout), ready);
    }
    if (gone_) {
        queue_.clear();
        return FT_IO_ERROR;
    }
    const std::size_t n = std::min<std::size_t>(size, queue_.size());
    std::memcpy(buffer, queue_.data(), n);
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
    *got = static_cast<DWORD>(n);
    return FT_OK;
}

int Channel::writePiece(unsigned char* data, int size, unsigned timeoutMs, int& taken, int& submitError) {
    libusb_transfer* transfer = api.libusb_alloc_transfer(0);
    if (!transfer) {
        submitError = LIBUSB_ERROR_NO_MEM;
        return LIBUSB_TRANSFER_ERROR;
    }
    libusb_fill_bulk_transfer(transfer, ftdi_->usb_dev, static_cast<unsigned char>(ftdi_->in_ep), data, size,
                              &Channel::writerDone, this, timeoutMs);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        writeDone_ = false;
    }
    submitError = api.libusb_submit_transfer(transfer);
    if (submitError != 0) {
        api.libusb_free_transfer(transfer);
        return LIBUSB_TRANSFER_ERROR;
    }
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return writeDone_; });
    }
    taken = transfer->actual_length;
    const int outcome = transfer->status;
    api.libusb_free_transfer(transfer);
    return outcome;
}

// The whole buffer goes to the chip as one transfer, as with D2XX, so the FIFO's pace is
// the only limit. Only where usbfs cannot take that much at once (its memory limit) is it
// sent in pieces, one after the other, within the same time-out.
FT_STATUS Channel::write(const void* buffer, DWORD size, DWORD* written) {
    if (gone()) return FT_IO_ERROR;
    auto* data = static_cast<unsigned char*>(const_cast<void*>(buffer));
    const ULONG timeoutMs = writeTimeoutMs_;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int piece = static_cast<int>(std::min<DWORD>(size, INT_MAX));
    DWORD total = 0;
    while (total < size) {
        unsigned remaining = 0;
        if (timeoutMs != 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            remaining = static_cast<unsigned>(left.count());
        }
        const int length = static_cast<int>(std::min<DWORD>(static_cast<DWORD>(piece), size - total));
        int taken = 0, submitError = 0;
        const int outcome = writePiece(data + total, length, remaining, taken, submitError);
        if (submitError == LIBUSB_ERROR_NO_MEM && piece > kSmallestWritePiece) {
            piece /= 2;
            continue;
        }
        total += static_cast<DWORD>(std::max(taken, 0));
        *written = total;
        if (submitError == LIBUSB_ERROR_NO_DEVICE || outcome == LIBUSB_TRANSFER_NO_DEVICE) {
            markGone();
            return FT_IO_ERROR;
        }
        if (submitError != 0 || writeStatus(outcome) != FT_OK) return request(-1);
        if (outcome == LIBUSB_TRANSFER_TIMED_OUT) break;
    }
    return FT_OK;
}

FT_STATUS Channel::purge(ULONG mask) {
    if (gone()) return FT_IO_ERROR;
    if (mask & FT_PURGE_RX) {
        const FT_STATUS status = request(api.ftdi_usb_purge_rx_buffer(ftdi_));
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.clear();
        if (status != FT_OK) return status;
    }
    if (mask & FT_PURGE_TX) return request(api.ftdi_usb_purge_tx_buffer(ftdi_));
    return FT_OK;
}

FT_STATUS Channel::readEeprom(EepromImage& image, FT_STATUS failure) {
    if (gone()) return FT_IO_ERROR;
    for (std::size_t word = 0; word < kEepromWords; ++word) {
        unsigned short value = 0;
        if (api.ftdi_read_eeprom_location(ftdi_, static_cast<int>(word), &value) < 0) {
            request(-1);
            return gone() ? FT_IO_ERROR : failure;
        }
        image[2 * word] = static_cast<std::uint8_t>(value & 0xFF);
        image[2 * word + 1] = static_cast<std::uint8_t>(value >> 8);
    }
    return FT_OK;
}

FT_STATUS Channel::writeEepromWord(std::size_t word, std::uint16_t value) {
    const int result =
        api.libusb_control_transfer(ftdi_->usb_dev, kVendorOut, kWriteEeprom, value, static_cast<std::uint16_t>(word),
                                    nullptr, 0, static_cast<unsigned>(ftdi_->usb_write_timeout));
    if (result == 0) return FT_OK;
    if (result == LIBUSB_ERROR_NO_DEVICE || !answers()) {
        markGone();
        return FT_IO_ERROR;
    }
    return FT_EEPROM_WRITE_FAILED;
}

// ------------------------------------------------------------------ the process's state
struct Listed {
    UsbChip chip;
    int interface = 0;
    FT_DEVICE_LIST_INFO_NODE node{};
};

std::mutex stateMutex;
std::vector<Listed> listed;       // the last FT_CreateDeviceInfoList
std::set<Channel*> openChannels;  // every handle FT_Open gave and FT_Close has not taken back

Channel* channelOf(FT_HANDLE handle) {
    std::lock_guard<std::mutex> lock(stateMutex);
    auto* channel = static_cast<Channel*>(handle);
    return openChannels.count(channel) ? channel : nullptr;
}

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

// Every FT2232H on the bus, through a libftdi1 context of its own (a fresh look at the
// bus, so a chip that has gone is no longer there). -1 when libusb cannot look.
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

// ------------------------------------------------------------------ the D2XX functions
FT_STATUS FTD2XX_CALL createDeviceInfoList(DWORD* count) {
    std::vector<Listed> found;
    const int scanned = scanChips(found, nullptr);
    std::stable_sort(found.begin(), found.end(), [](const Listed& a, const Listed& b) {
        return std::tie(a.chip.bus, a.chip.address, a.interface) < std::tie(b.chip.bus, b.chip.address, b.interface);
    });
    std::lock_guard<std::mutex> lock(stateMutex);
    listed = std::move(found);
    if (count) *count = static_cast<DWORD>(listed.size());
    return scanned < 0 ? FT_IO_ERROR : FT_OK;
}

FT_STATUS FTD2XX_CALL getDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* nodes, DWORD* count) {
    if (!nodes || !count) return FT_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(stateMutex);
    for (std::size_t i = 0; i < listed.size(); ++i) nodes[i] = listed[i].node;
    *count = static_cast<DWORD>(listed.size());
    return FT_OK;
}

FT_STATUS FTD2XX_CALL openDevice(int index, FT_HANDLE* handle) {
    if (!handle) return FT_INVALID_PARAMETER;
    *handle = nullptr;
    Listed entry;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (index < 0 || static_cast<std::size_t>(index) >= listed.size()) return FT_DEVICE_NOT_FOUND;
        entry = listed[static_cast<std::size_t>(index)];
    }
    ftdi_context* ftdi = api.ftdi_new();
    if (!ftdi) return FT_INSUFFICIENT_RESOURCES;
    api.ftdi_set_interface(ftdi, entry.interface == 0 ? INTERFACE_A : INTERFACE_B);
    const int opened = api.ftdi_usb_open_bus_addr(ftdi, entry.chip.bus, entry.chip.address);
    if (opened < 0) {
        api.ftdi_free(ftdi);
        return openFailureStatus(opened, onTheBus(entry.chip));
    }
    auto channel = std::make_unique<Channel>(ftdi, entry.chip, entry.interface);
    if (!channel->start()) {
        channel->close();
        return onTheBus(entry.chip) ? FT_IO_ERROR : FT_DEVICE_NOT_FOUND;
    }
    std::lock_guard<std::mutex> lock(stateMutex);
    openChannels.insert(channel.get());
    *handle = channel.release();
    return FT_OK;
}

FT_STATUS FTD2XX_CALL closeDevice(FT_HANDLE handle) {
    Channel* channel = channelOf(handle);
    if (!channel) return FT_INVALID_HANDLE;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        openChannels.erase(channel);
    }
    channel->close();
    delete channel;
    return FT_OK;
}

FT_STATUS FTD2XX_CALL readDevice(FT_HANDLE handle, void* buffer, DWORD size, DWORD* got) {
    Channel* channel = channelOf(handle);
    if (!channel) return FT_INVALID_HANDLE;
    if (!buffer || !got) return FT_INVALID_PARAMETER;
    *got = 0;
    return channel->read(buffer, size, got);
}

FT_STATUS FTD2XX_CALL writeDevice(FT_HANDLE handle, void* buffer, DWORD size, DWORD* written) {
    Channel* channel = channelOf(handle);
    if (!channel) return FT_INVALID_HANDLE;
    if (!buffer || !written) return FT_INVALID_PARAMETER;
    *written = 0;
    return channel->write(buffer, size, written);
}

FT_STATUS FTD2XX_CALL setBaudRate(FT_HANDLE handle, ULONG baudRate) {
    Channel* channel = channelOf(handle);
    if (!channel) return FT_INVALID_HANDLE;
    if (channel->gone()) return FT_IO_ERROR;
    if (baudRate == 0 || baudRate > INT_MAX) return FT_INVALID_BAUD_RATE;
    const int result = api.ftdi_set_baudrate(channel->ftdi(), static_cast<int>(baudRate));
    return result == -1 ? FT_INVALID_BAUD_RATE : channel->request(result);
}

FT_STATUS FTD2XX_CALL setDataCharacteristics(FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits, UCHAR parity) {
    Channel* channel = channelOf(handle);
    if (!channel) return FT_INVALID_HANDLE;
    if (channel->gone()) return FT_IO_ERROR;
    // D2XX's values are libftdi1's: 7 or 8 bits; stop bits 0 (one) or 2 (two); parity none,
    // odd, even, mark, space as 0 to 4.
    if ((wordLength != 7 && wordLength != 8) || (stopBits != 0 && stopBits != 2) || parity > 4)
        return FT_INVALID_PARAMETER;
    return channel->request(api.ftdi_set_line_property(channel->ftdi(), static_cast<ftdi_bits_type>(wordLength),
                                                       static_cast<ftdi_stopbits_type>(stopBits),
                                                       static_cast<ftdi_parity_type>(parity)));
}

FT_STATUS FTD2XX_CALL setFlowControl(FT_HANDLE handle, USHORT flowControl, UCHAR xon, UCHAR xoff) {
    Channel* channel = channelOf(handle);
    if (!channel) return FT_INVALID_HANDLE;
    if (channel->gone()) return FT_IO_ERROR;
    ftdi_context* ftdi = channel->ftdi();
    switch (flowControl) {
        case FT_FLOW_NONE:
            return channel->request(api.ftdi_setflowctrl(ftdi, SIO_DISABLE_FLOW_CTRL));
        case FT_FLOW_RTS_CTS: {  // D2XX raises RTS with it
            const FT_STATUS status = channel->request(api.ftdi_setflowctrl(ftdi, SIO_RTS_CTS_HS));
            return status != FT_OK ? status : channel->request(api.ftdi_setrts(ftdi, 1));
        }
        case SIO_DTR_DSR_HS: {  // FT_FLOW_DTR_DSR, with DTR raised
            const FT_STATUS status = channel->request(api.ftdi_setflowctrl(ftdi, SIO_DTR_DSR_HS));
            return status != FT_OK ? status : channel->request(api.ftdi_setdtr(ftdi, 1));
        }
        case SIO_XON_XOFF_HS:  // FT_FLOW_XON_XOFF
            return channel->request(api.ftdi_setflowctrl_xonxoff(ftdi, xon, xoff));
        default:
            return FT_INVALID_PARAMETER;
    }
}

FT_STATUS FTD2XX_CALL purge(FT_HANDLE handle, ULONG mask) {
    Channel* channel = channelOf(handle);
    if (!channel) return FT_INVALID_HANDLE;
    return channel->purge(mask);
}

FT_STATUS FTD2XX_CALL setTimeouts(FT_HANDLE handle, ULONG readTimeout, ULONG writeTimeout) {
    Channel* channel = channelOf(handle);
    if (!channel) return FT_INVALID_HANDLE;
    channel->setTimeouts(readTimeout, writeTimeout);
    return FT_OK;
}

FT_STATUS FTD2XX_CALL getStatus(FT_HANDLE handle, DWORD* received, DWORD* transmitQueue, DWORD* events) {
    Channel* channel = channelOf(handle);
    if (!channel) return FT_INVALID_HANDLE;
    if (!received || !transmitQueue || !events) return FT_INVALID_PARAMETER;
    *transmitQueue = 0;
    *events = 0;
    return channel->status(received);
}

FT_STATUS FTD2XX_CALL setLatencyTimer(FT_HANDLE handle, UCHAR latencyMs) {
    Channel* channel = channelOf(handle);
    if (!channel) return FT_INVALID_HANDLE;
    if (channel->gone()) return FT_IO_ERROR;
    const int result = api.ftdi_set_latency_timer(channel->ftdi(), latencyMs);
    return result == -1 ? FT_INVALID_PARAMETER : channel->request(result);
}

bool validProgramData(const FT_PROGRAM_DATA* data) {
    return data && data->Signature1 == 0x00000000 && data->Signature2 == 0xFFFFFFFF;
}

FT_STATUS FTD2XX_CALL eeRead(FT_HANDLE handle, FT_PROGRAM_DATA* data) {
    Channel* channel = channelOf(handle);
    if (!channel) return FT_INVALID_HANDLE;
    if (!validProgramData(data)) return FT_INVALID_PARAMETER;
    EepromImage image{};
    const FT_STATUS status = channel->readEeprom(image, FT_EEPROM_READ_FAILED);
    return status != FT_OK ? status : decodeEeprom(image, *data);
}

// Only the words that change are written, data first and the checksum last, then the
// whole EEPROM is read back.
FT_STATUS FTD2XX_CALL eeProgram(FT_HANDLE handle, FT_PROGRAM_DATA* data) {
    Channel* channel = channelOf(handle);
    if (!channel) return FT_INVALID_HANDLE;
    if (!validProgramData(data)) return FT_INVALID_PARAMETER;
    EepromImage image{};
    FT_STATUS status = channel->readEeprom(image, FT_EEPROM_READ_FAILED);
    if (status != FT_OK) return status;
    EepromImage wanted = image;
    status = encodeEeprom(*data, wanted);
    if (status != FT_OK) return status;
    const std::size_t checksumWord = eepromUsedBytes(wanted) / 2 - 1;
    const auto writeIfChanged = [&](std::size_t word) {
        if (image[2 * word] == wanted[2 * word] && image[2 * word + 1] == wanted[2 * word + 1]) return FT_STATUS{FT_OK};
        return channel->writeEepromWord(word, static_cast<std::uint16_t>(wanted[2 * word] | wanted[2 * word + 1] << 8));
    };
    // The checksum's word, the last, after all the others: a write cut short leaves a
    // checksum that does not match rather than one that vouches for half a change.
    for (std::size_t word = 0; word <= checksumWord; ++word) {
        status = writeIfChanged(word);
        if (status != FT_OK) return status;
    }
    EepromImage readBack{};
    status = channel->readEeprom(readBack, FT_EEPROM_WRITE_FAILED);
    if (status != FT_OK) return status;
    const auto used = static_cast<std::ptrdiff_t>(eepromUsedBytes(wanted));
    return std::equal(wanted.begin(), wanted.begin() + used, readBack.begin()) ? FT_OK : FT_EEPROM_WRITE_FAILED;
}

// FTDI's library answers so on Linux, without a word to the chip.
FT_STATUS FTD2XX_CALL resetPort(FT_HANDLE handle) { return channelOf(handle) ? FT_NOT_SUPPORTED : FT_INVALID_HANDLE; }

}  // namespace

std::string loadLibftdiDriver(D2xxFunctions& functions) {
    const std::string failure = loadApi();
    if (!failure.empty()) return failure;
    D2xxFunctions f;
    f.createDeviceInfoList = createDeviceInfoList;
    f.getDeviceInfoList = getDeviceInfoList;
    f.open = openDevice;
    f.close = closeDevice;
    f.read = readDevice;
    f.write = writeDevice;
    f.setBaudRate = setBaudRate;
    f.setDataCharacteristics = setDataCharacteristics;
    f.setFlowControl = setFlowControl;
    f.purge = purge;
    f.setTimeouts = setTimeouts;
    f.getStatus = getStatus;
    f.setLatencyTimer = setLatencyTimer;
    f.eeRead = eeRead;
    f.eeProgram = eeProgram;
    f.resetPort = resetPort;
    functions = f;
    return {};
}

}  // namespace nexir
