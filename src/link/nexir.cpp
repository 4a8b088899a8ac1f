#include "link/nexir.h"

#include <iostream>
#include <utility>

#include "link/d2xx_library.h"

namespace nexir {

namespace {
constexpr UCHAR kLatencyTimerMs = 16;
constexpr ULONG kUartTimeoutMs = 10000;
constexpr ULONG kPurgeBoth = FT_PURGE_RX | FT_PURGE_TX;
}  // namespace

NEXIR::NEXIR(std::uint8_t fifoChannelIndex, std::uint8_t uartChannelIndex, std::uint32_t baudRate,
             std::int32_t flowControl, std::string serialNumber)
    : serialNumber(std::move(serialNumber)),
      fifoChannelIndex(fifoChannelIndex),
      uartChannelIndex(uartChannelIndex),
      baudRate(baudRate) {
    openUartChannel(flowControl);
    if (!heldElsewhere) openFifoChannel();
}

NEXIR::~NEXIR() {
    const D2xxFunctions& ft = d2xx();
    if (fifoHandle) {
        fifoStatus = ft.close(fifoHandle);
        fifoHandle = nullptr;
    }
    if (uartHandle) {
        uartStatus = ft.close(uartHandle);
        uartHandle = nullptr;
    }
}

// Every call is made and its status kept, even after an earlier one failed: only the
// last status (the timeouts) decides whether the channel is usable.
void NEXIR::openUartChannel(std::int32_t flowControl) {
    const D2xxFunctions& ft = d2xx();
    uartStatus = ft.open(uartChannelIndex, &uartHandle);
    const bool opened = uartStatus == FT_OK && uartHandle != nullptr;
    if (!opened) uartHandle = nullptr;
    heldElsewhere = uartStatus == FT_DEVICE_NOT_OPENED;
    if (heldElsewhere) return;
    uartStatus = ft.resetPort(uartHandle);
    uartStatus = ft.setLatencyTimer(uartHandle, kLatencyTimerMs);
    uartStatus = ft.setBaudRate(uartHandle, baudRate);
    if (opened && uartStatus == FT_INVALID_BAUD_RATE) return refuseBaudRate();
    uartStatus = ft.setFlowControl(uartHandle, flowControl ? FT_FLOW_RTS_CTS : FT_FLOW_NONE, 0, 0);
    uartStatus = ft.setDataCharacteristics(uartHandle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
    uartStatus = ft.purge(uartHandle, kPurgeBoth);
    uartStatus = ft.setTimeouts(uartHandle, kUartTimeoutMs, kUartTimeoutMs);
    if (uartStatus == FT_OK) return;

    std::cout << "error: could not open UART channel for index <" << unsigned(uartChannelIndex) << "> error <"
              << uartStatus << ">" << std::endl;
    // The channel is unusable, but the handle is still ours: close it now rather than
    // leak it. The configuration failure stays in uartStatus, since it is the reason.
    if (opened) ft.close(uartHandle);
    uartHandle = nullptr;
}

// The card would answer at one rate and be heard at another: its channel is given up
// rather than configured further. Only the driver's refusal of the rate counts here; a
// passing fault of the call is left to the later calls, as on every set-up call.
void NEXIR::refuseBaudRate() {
    std::cout << "error: card " << serialNumber << ": the D2XX driver refused the baud rate " << baudRate
              << " (D2XX status " << uartStatus << ")" << std::endl;
    baudRateRefused = true;
    d2xx().close(uartHandle);
    uartHandle = nullptr;
}

void NEXIR::openFifoChannel() {
    const D2xxFunctions& ft = d2xx();
    fifoStatus = ft.open(fifoChannelIndex, &fifoHandle);
    if (fifoStatus != FT_OK) fifoHandle = nullptr;
    heldElsewhere = fifoStatus == FT_DEVICE_NOT_OPENED;
    if (heldElsewhere) return;
    ensureFifoMode();
    fifoStatus = ft.resetPort(fifoHandle);
    fifoStatus = ft.setLatencyTimer(fifoHandle, kLatencyTimerMs);
    fifoStatus = ft.purge(fifoHandle, kPurgeBoth);
}

// Interface A carries the image as a 245 FIFO only when the chip's EEPROM says so;
// a card fresh from the factory has the flag clear and is programmed here once. The
// chip reads its EEPROM only when it enumerates, so the new mode needs a replug.
void NEXIR::ensureFifoMode() {
    char manufacturer[32] = {};
    char manufacturerId[16] = {};
    char description[64] = {};
    char serial[16] = {};
    // Version 5 declares the whole structure, which the library may use in full:
    // it is allocated and zeroed in full.
    FT_PROGRAM_DATA data{};
    data.Signature1 = 0x00000000;
    data.Signature2 = 0xFFFFFFFF;
    data.Version = 5;
    data.Manufacturer = manufacturer;
    data.ManufacturerId = manufacturerId;
    data.Description = description;
    data.SerialNumber = serial;

    const D2xxFunctions& ft = d2xx();
    fifoStatus = ft.eeRead(fifoHandle, &data);
    if (fifoStatus != FT_OK) {
        std::cout << "error: could not read EEPROM" << std::endl;
        return;
    }
    if (data.IFAIsFifo7 != 0) return;
    data.IFAIsFifo7 = 1;
    fifoModeAwaitsReplug = true;
    fifoStatus = ft.eeProgram(fifoHandle, &data);
    if (fifoStatus != FT_OK) return;
    // Standard error, so that what `log` prints on standard output stays as it was.
    std::cerr << "notice: card " << serialNumber
              << " has just been switched to FIFO mode; unplug and replug it (or power-cycle it) before "
                 "updating it"
              << std::endl;
}

}  // namespace nexir
