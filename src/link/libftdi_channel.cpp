#include "link/libftdi_channel.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>

#include "link/libftdi_api.h"

namespace nexir::libftdi {

namespace {

// libftdi_rules.h names libusb's values without its header; they must be libusb's.
static_assert(kTransferCompleted == LIBUSB_TRANSFER_COMPLETED && kTransferError == LIBUSB_TRANSFER_ERROR &&
                  kTransferTimedOut == LIBUSB_TRANSFER_TIMED_OUT && kTransferCancelled == LIBUSB_TRANSFER_CANCELLED &&
                  kTransferStall == LIBUSB_TRANSFER_STALL && kTransferNoDevice == LIBUSB_TRANSFER_NO_DEVICE &&
                  kTransferOverflow == LIBUSB_TRANSFER_OVERFLOW,
              "transfer outcomes as libusb numbers them");

// The chip's own requests: the modem status, which tells whether it still answers, and
// the write of one EEPROM word.
constexpr std::uint8_t kVendorOut = LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_DEVICE | LIBUSB_ENDPOINT_OUT;
constexpr std::uint8_t kVendorIn = LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_DEVICE | LIBUSB_ENDPOINT_IN;
constexpr std::uint8_t kPollModemStatus = 0x05;
constexpr std::uint8_t kWriteEeprom = 0x91;
constexpr unsigned kProbeTimeoutMs = 1000;

constexpr long kEventRoundMicroseconds = 100000;  // one round of event handling waits at most this
constexpr std::chrono::seconds kStopLimit{2};
constexpr int kSmallestWritePiece = 64 * 1024;

}  // namespace

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

}  // namespace nexir::libftdi
