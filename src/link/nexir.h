// One NEXIR card: its two FTDI channels (a UART for the text protocol, a FIFO for
// bulk image data), its identity, and the operations that talk to it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "link/ftd2xx_abi.h"

namespace nexir {

// Watches one channel for the sign of a device that is gone (unplugged, powered off, its
// cable pulled): the driver then answers every call on it at once with FT_IO_ERROR or
// FT_DEVICE_NOT_FOUND. One such answer may be a passing fault; the same answer to the
// next call too means the device is gone. Read from any thread.
class GoneWatch {
public:
    // Takes the status of a call that moves data or asks for it; true once gone.
    bool note(FT_STATUS status) {
        const bool deviceError = status == FT_IO_ERROR || status == FT_DEVICE_NOT_FOUND;
        if (deviceError && status == previous_) gone_ = status;
        previous_ = deviceError ? status : FT_OK;
        return gone();
    }
    bool gone() const { return gone_ != FT_OK; }
    FT_STATUS status() const { return gone_; }

private:
    FT_STATUS previous_ = FT_OK;
    std::atomic<FT_STATUS> gone_{FT_OK};
};

// Outcome of writing the upload image on the FIFO channel.
struct UpdateResult {
    std::int32_t code = 0;  // 0 when the whole image was written, -1 otherwise
    std::string message;    // empty on success, the reason on failure
};

class NEXIR {
public:
    // Opens and configures both channels and makes sure the chip's interface A is a
    // 245 FIFO. Never fails: problems are printed and left in the status members.
    NEXIR(std::uint8_t fifoChannelIndex, std::uint8_t uartChannelIndex, std::uint32_t baudRate,
          std::int32_t flowControl, std::string serialNumber);
    ~NEXIR();
    NEXIR(const NEXIR&) = delete;
    NEXIR& operator=(const NEXIR&) = delete;

    // Writes one command line on the UART channel and returns the card's answer,
    // line feed included, or "TIMEOUT".
    std::string sendCommand(std::string command);
    // Collects one answer, giving up after `pollLimit` polls of the receive queue.
    std::string readResponse(std::uint32_t pollLimit);
    // Asks the card for its slot and stores it as "1".."4"; 0 on success, -1 otherwise.
    std::int32_t querySlotId();
    // The slot, 1 to 4, that an answer to "GET HW_SLOT_ID" names, or 0 when it names
    // none. The card counts its slots from 0; the answer is searched for
    // "GET HW_SLOT_ID <digit>" anywhere, lower digits first.
    static int slotNumberIn(const std::string& answer);

    // True once the driver has shown, on either channel, that the card is gone; every
    // exchange with it then ends at once.
    bool disconnected() const { return uartGone_.gone() || fifoGone_.gone(); }
    // "error: card <serial> was disconnected (D2XX status <n>)".
    std::string disconnectedMessage() const;

    // Writes the upload image on the FIFO channel (runs on the transfer task's thread).
    // Stops early once `abort` is set.
    UpdateResult transferImage(const std::uint8_t* image, std::uint64_t size, const std::atomic<bool>* abort);

    std::string slotId;
    std::string serialNumber;
    std::uint8_t fifoChannelIndex;
    std::uint8_t uartChannelIndex;
    FT_HANDLE uartHandle = nullptr;
    FT_HANDLE fifoHandle = nullptr;
    FT_STATUS uartStatus = FT_OK;
    FT_STATUS fifoStatus = FT_OK;
    std::uint32_t baudRate;
    // The chip's FIFO flag was clear when the card was opened: interface A is not a
    // FIFO until the chip re-enumerates, so an image sent now would go nowhere.
    bool fifoModeAwaitsReplug = false;
    // A channel would not open because another program holds it (another nexir-updater,
    // a kernel driver): the card is left alone, its other channel not even tried.
    bool heldElsewhere = false;
    // The driver refused the baud rate: the UART channel was closed again at once, since
    // a channel at some other rate only garbles what the card says.
    bool baudRateRefused = false;

private:
    void openUartChannel(std::int32_t flowControl);
    void refuseBaudRate();
    void openFifoChannel();
    void ensureFifoMode();
    UpdateResult writeFailure(FT_STATUS status);

    GoneWatch uartGone_;  // main thread only
    GoneWatch fifoGone_;  // the transfer task's thread while it runs
};

}  // namespace nexir
