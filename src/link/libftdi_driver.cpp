#include "link/libftdi_driver.h"

#include <ftdi.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <tuple>
#include <vector>

#include "link/ft2232h_eeprom.h"
#include "link/libftdi_api.h"
#include "link/libftdi_channel.h"
#include "link/libftdi_listing.h"
#include "link/libftdi_rules.h"

namespace nexir {

namespace {

using namespace libftdi;

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
    const std::string failure = libftdi::loadApi();
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
