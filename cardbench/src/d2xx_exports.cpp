// The exported D2XX functions. Each one validates its arguments the way the vendor
// library on Linux does, lets the channel do the work, and logs itself.
#include "d2xx_exports.h"

#include <cstring>
#include <memory>
#include <string>
#include <type_traits>

#include "channel_io.h"
#include "d2xx_call.h"
#include "eeprom.h"

static_assert(std::is_same_v<decltype(&FT_CreateDeviceInfoList), FT_CreateDeviceInfoList_t>);
static_assert(std::is_same_v<decltype(&FT_GetDeviceInfoList), FT_GetDeviceInfoList_t>);
static_assert(std::is_same_v<decltype(&FT_Open), FT_Open_t>);
static_assert(std::is_same_v<decltype(&FT_Close), FT_Close_t>);
static_assert(std::is_same_v<decltype(&FT_Read), FT_Read_t>);
static_assert(std::is_same_v<decltype(&FT_Write), FT_Write_t>);
static_assert(std::is_same_v<decltype(&FT_SetBaudRate), FT_SetBaudRate_t>);
static_assert(std::is_same_v<decltype(&FT_SetDataCharacteristics), FT_SetDataCharacteristics_t>);
static_assert(std::is_same_v<decltype(&FT_SetFlowControl), FT_SetFlowControl_t>);
static_assert(std::is_same_v<decltype(&FT_Purge), FT_Purge_t>);
static_assert(std::is_same_v<decltype(&FT_SetTimeouts), FT_SetTimeouts_t>);
static_assert(std::is_same_v<decltype(&FT_GetStatus), FT_GetStatus_t>);
static_assert(std::is_same_v<decltype(&FT_SetLatencyTimer), FT_SetLatencyTimer_t>);
static_assert(std::is_same_v<decltype(&FT_EE_Read), FT_EE_Read_t>);
static_assert(std::is_same_v<decltype(&FT_EE_Program), FT_EE_Program_t>);
static_assert(std::is_same_v<decltype(&FT_ResetPort), FT_ResetPort_t>);

using cardbench::D2xxCall;
using cardbench::Device;

namespace {

const Device& deviceOf(D2xxCall& call) { return call.world().devices().device(call.device()); }

// Settings that only matter to a real UART: recorded in the log and accepted.
FT_STATUS acceptSetting(D2xxCall& call) {
    if (auto refused = call.refusal()) {
        return call.finish(*refused);
    }
    return call.finish(FT_OK);
}

}  // namespace

extern "C" {

FT_STATUS FTD2XX_CALL FT_CreateDeviceInfoList(DWORD* numDevs) {
    D2xxCall call("FT_CreateDeviceInfoList", -1);
    if (auto refused = call.faultOnly()) {
        return call.finish(*refused);
    }
    if (numDevs == nullptr) {
        return call.finish(FT_INVALID_PARAMETER);
    }
    *numDevs = DWORD(call.world().devices().count());
    call.arg("count", *numDevs);
    return call.finish(FT_OK);
}

FT_STATUS FTD2XX_CALL FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* dest, DWORD* numDevs) {
    D2xxCall call("FT_GetDeviceInfoList", -1);
    if (auto refused = call.faultOnly()) {
        return call.finish(*refused);
    }
    if (numDevs == nullptr) {
        return call.finish(FT_INVALID_PARAMETER);
    }
    // Like the vendor library: *numDevs is no capacity; the list of the last
    // FT_CreateDeviceInfoList is copied whole.
    auto& devices = call.world().devices();
    for (int i = 0; dest != nullptr && i < devices.count(); ++i) {
        devices.fillNode(i, dest[i]);
    }
    *numDevs = DWORD(devices.count());
    call.arg("count", *numDevs);
    return call.finish(FT_OK);
}

FT_STATUS FTD2XX_CALL FT_Open(int deviceIndex, FT_HANDLE* handle) {
    D2xxCall call("FT_Open", deviceIndex);
    if (auto refused = call.faultOnly()) {
        return call.finish(*refused);
    }
    if (handle == nullptr) {
        return call.finish(FT_INVALID_PARAMETER);
    }
    std::shared_ptr<cardbench::OpenHandle> opened;
    FT_HANDLE value = nullptr;
    const FT_STATUS status = call.world().devices().open(deviceIndex, value, opened);
    if (status == FT_OK) {
        *handle = value;
        cardbench::channelOpened(call.world(), *opened);
    }
    return call.finish(status);
}

FT_STATUS FTD2XX_CALL FT_Close(FT_HANDLE handle) {
    D2xxCall call("FT_Close", handle);
    if (auto refused = call.faultOnly()) {
        return call.finish(*refused);
    }
    std::shared_ptr<cardbench::OpenHandle> closed;
    const FT_STATUS status = call.world().devices().close(handle, closed);
    if (closed) {
        cardbench::channelClosed(call.world(), *closed);
    }
    return call.finish(status);
}

FT_STATUS FTD2XX_CALL FT_Read(FT_HANDLE handle, void* buffer, DWORD bytesToRead, DWORD* bytesReturned) {
    D2xxCall call("FT_Read", handle);
    call.arg("requested", bytesToRead);
    if (auto refused = call.refusal()) {
        return call.finish(*refused);
    }
    if (bytesReturned == nullptr || (buffer == nullptr && bytesToRead > 0)) {
        return call.finish(FT_INVALID_PARAMETER);
    }
    const std::string data = bytesToRead > 0 ? readChannel(call.world(), *call.handle(), bytesToRead) : "";
    std::memcpy(buffer, data.data(), data.size());
    *bytesReturned = DWORD(data.size());
    call.arg("returned", *bytesReturned);
    call.arg("text", data);
    return call.finish(call.handle()->closed() ? FT_IO_ERROR : FT_OK);
}

FT_STATUS FTD2XX_CALL FT_Write(FT_HANDLE handle, void* buffer, DWORD bytesToWrite, DWORD* bytesWritten) {
    D2xxCall call("FT_Write", handle);
    call.arg("requested", bytesToWrite);
    if (auto refused = call.refusal()) {
        return call.finish(*refused);
    }
    if (bytesWritten == nullptr || (buffer == nullptr && bytesToWrite > 0)) {
        return call.finish(FT_INVALID_PARAMETER);
    }
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    const auto outcome = writeChannel(call.world(), *call.handle(), bytes, bytesToWrite);
    *bytesWritten = DWORD(outcome.written);
    call.arg("written", *bytesWritten);
    if (!cardbench::isCardFifo(deviceOf(call))) {
        call.arg("text", std::string(reinterpret_cast<const char*>(bytes), bytesToWrite));
    }
    return call.finish(outcome.status);
}

FT_STATUS FTD2XX_CALL FT_SetBaudRate(FT_HANDLE handle, ULONG baudRate) {
    D2xxCall call("FT_SetBaudRate", handle);
    call.arg("baud", baudRate);
    if (auto refused = call.refusal()) {
        return call.finish(*refused);
    }
    // No divisor gives a rate of 0: the chip refuses it and keeps its previous rate.
    return call.finish(baudRate == 0 ? FT_INVALID_BAUD_RATE : FT_OK);
}

FT_STATUS FTD2XX_CALL FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits, UCHAR parity) {
    D2xxCall call("FT_SetDataCharacteristics", handle);
    call.arg("word", wordLength);
    call.arg("stop", stopBits);
    call.arg("parity", parity);
    return acceptSetting(call);
}

FT_STATUS FTD2XX_CALL FT_SetFlowControl(FT_HANDLE handle, USHORT flowControl, UCHAR xon, UCHAR xoff) {
    D2xxCall call("FT_SetFlowControl", handle);
    call.arg("flow", flowControl);
    call.arg("xon", xon);
    call.arg("xoff", xoff);
    return acceptSetting(call);
}

FT_STATUS FTD2XX_CALL FT_SetLatencyTimer(FT_HANDLE handle, UCHAR latencyMs) {
    D2xxCall call("FT_SetLatencyTimer", handle);
    call.arg("ms", latencyMs);
    return acceptSetting(call);
}

FT_STATUS FTD2XX_CALL FT_Purge(FT_HANDLE handle, ULONG mask) {
    D2xxCall call("FT_Purge", handle);
    call.arg("mask", mask);
    if (auto refused = call.refusal()) {
        return call.finish(*refused);
    }
    purgeChannel(call.world(), *call.handle(), mask);
    return call.finish(FT_OK);
}

FT_STATUS FTD2XX_CALL FT_SetTimeouts(FT_HANDLE handle, ULONG readTimeout, ULONG writeTimeout) {
    D2xxCall call("FT_SetTimeouts", handle);
    call.arg("read", readTimeout);
    call.arg("write", writeTimeout);
    if (auto refused = call.refusal()) {
        return call.finish(*refused);
    }
    call.handle()->setTimeouts(readTimeout, writeTimeout);
    return call.finish(FT_OK);
}

FT_STATUS FTD2XX_CALL FT_GetStatus(FT_HANDLE handle, DWORD* rxQueue, DWORD* txQueue, DWORD* eventStatus) {
    D2xxCall call("FT_GetStatus", handle);
    if (auto refused = call.refusal()) {
        return call.finishPoll(*refused, 0);
    }
    if (rxQueue == nullptr || txQueue == nullptr || eventStatus == nullptr) {
        return call.finish(FT_INVALID_PARAMETER);
    }
    const DWORD waiting = DWORD(waitingOnChannel(call.world(), *call.handle()));
    *rxQueue = waiting;
    *txQueue = 0;  // writes are synchronous, as in the vendor library on Linux
    *eventStatus = 0;
    call.arg("rx", waiting);
    return call.finishPoll(FT_OK, waiting);
}

FT_STATUS FTD2XX_CALL FT_EE_Read(FT_HANDLE handle, FT_PROGRAM_DATA* data) {
    D2xxCall call("FT_EE_Read", handle);
    if (auto refused = call.refusal()) {
        return call.finish(*refused);
    }
    // With wrong signatures the vendor library would read the string pointers from the
    // wrong offsets; refuse instead of writing through garbage.
    if (data == nullptr || !cardbench::Eeprom::signaturesValid(*data)) {
        return call.finish(FT_INVALID_PARAMETER);
    }
    call.arg("version", data->Version);
    const auto result = deviceOf(call).eeprom->read(*data);
    if (result.status == FT_OK) {
        call.arg("fifo_flag", result.fifoFlag);
    }
    return call.finish(result.status);
}

FT_STATUS FTD2XX_CALL FT_EE_Program(FT_HANDLE handle, FT_PROGRAM_DATA* data) {
    D2xxCall call("FT_EE_Program", handle);
    if (auto refused = call.refusal()) {
        return call.finish(*refused);
    }
    // NULL would mean "program the default FT232BM data", which no card wants.
    if (data == nullptr || !cardbench::Eeprom::signaturesValid(*data)) {
        return call.finish(FT_INVALID_PARAMETER);
    }
    const auto result = deviceOf(call).eeprom->program(*data);
    call.arg("fifo_flag", result.fifoFlag);
    call.arg("others_unchanged", result.othersUnchanged);
    return call.finish(result.status);
}

FT_STATUS FTD2XX_CALL FT_ResetPort(FT_HANDLE handle) {
    // Windows-only in the vendor library: on Linux it answers "not supported" at once,
    // without looking at the handle.
    D2xxCall call("FT_ResetPort", handle);
    if (auto refused = call.faultOnly()) {
        return call.finish(*refused);
    }
    return call.finish(FT_NOT_SUPPORTED);
}

}  // extern "C"
