// The D2XX functions the recorder exports in place of the vendor library's. Each one
// forwards the call unchanged, with the caller's own arguments and out-variables, and
// returns what the vendor library returned; around it, it records the call.
#include <zlib.h>

#include <algorithm>
#include <future>
#include <system_error>
#include <type_traits>

#include "call_record.h"
#include "program_data.h"

#if defined(_WIN32)
#define NEXIR_EXPORT  // FTD2XX.def exports them, at the vendor's ordinals
#else
#define NEXIR_EXPORT __attribute__((visibility("default")))
#endif

namespace recorder {
namespace {

std::uint32_t crc32Of(const void* data, std::size_t size) {
    return static_cast<std::uint32_t>(crc32_z(0, static_cast<const Bytef*>(data), size));
}

// The CRC-32 of an image chunk, taken on a thread of its own while the library writes
// the chunk: taken after the write, it would hold back the next chunk by milliseconds
// and leave the FIFO idle meanwhile. Small chunks are not worth a thread.
std::future<std::uint32_t> crcAlongside(const void* data, std::size_t size) {
    if (data && size >= (1u << 16)) {
        try {
            return std::async(std::launch::async, crc32Of, data, size);
        } catch (const std::system_error&) {
            // No thread to be had: the CRC is taken after the write.
        }
    }
    return std::async(std::launch::deferred, crc32Of, data, size);
}

// Bytes written on the FIFO channel are the image, which the recording never holds:
// only their count and their CRC-32, and, when the driver took fewer than it was
// given, the CRC-32 of the part it took.
void describeImageChunk(CallRecord& call, std::future<std::uint32_t>& crc, const void* buffer, DWORD length,
                        const DWORD* written) {
    call.results().bytes("channel", "fifo", 4);
    if (!buffer) return;
    call.results().number("crc32", crc.get());
    if (written && *written < length) call.results().number("writtenCrc32", crc32Of(buffer, *written));
}

std::string deviceNodesJson(Session& session, const FT_DEVICE_LIST_INFO_NODE* nodes, DWORD count) {
    std::string list = "[";
    for (DWORD i = 0; i < count; ++i) {
        const FT_DEVICE_LIST_INFO_NODE& node = nodes[i];
        JsonObject fields;
        fields.number("Flags", node.Flags).number("Type", node.Type).number("ID", node.ID).number("LocId", node.LocId);
        fields.boundedText("SerialNumber", node.SerialNumber, sizeof(node.SerialNumber))
            .boundedText("Description", node.Description, sizeof(node.Description))
            .number("ftHandle", session.handles.known(node.ftHandle));
        list += (i ? "," : "") + fields.text();
    }
    return list + "]";
}

// A call on a handle: `body` forwards it and fills its record in, which is then
// written. Without a session the call fails as it would on a handle of no device.
template <typename Body>
FT_STATUS onHandle(const char* function, FT_HANDLE handle, Body body, bool poll = false) {
    Session* s = session();
    if (!s) return FT_INVALID_HANDLE;
    CallRecord call(*s, function, handle);
    body(call, *s);
    return poll ? call.finishPoll() : call.finish();
}

}  // namespace
}  // namespace recorder

using recorder::CallRecord;
using recorder::crcAlongside;
using recorder::describeImageChunk;
using recorder::deviceNodesJson;
using recorder::JsonObject;
using recorder::onHandle;
using recorder::programDataJson;
using recorder::Session;
using recorder::session;

extern "C" {

NEXIR_EXPORT FT_STATUS FTD2XX_CALL FT_CreateDeviceInfoList(DWORD* numDevs) {
    Session* s = session();
    if (!s) {
        if (numDevs) *numDevs = 0;
        return FT_OK;
    }
    CallRecord call(*s, "FT_CreateDeviceInfoList");
    call.returned(s->library.FT_CreateDeviceInfoList(numDevs));
    if (numDevs) call.results().number("numDevs", *numDevs);
    return call.finish();
}

NEXIR_EXPORT FT_STATUS FTD2XX_CALL FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* dest, DWORD* numDevs) {
    Session* s = session();
    if (!s) {
        if (numDevs) *numDevs = 0;
        return FT_OK;
    }
    CallRecord call(*s, "FT_GetDeviceInfoList");
    const FT_STATUS status = s->library.FT_GetDeviceInfoList(dest, numDevs);
    call.returned(status);
    if (!numDevs) return call.finish();
    call.results().number("numDevs", *numDevs);
    if (status == FT_OK && dest) {
        s->handles.deviceList(dest, *numDevs);
        call.results().json("nodes", deviceNodesJson(*s, dest, *numDevs));
    }
    return call.finish();
}

NEXIR_EXPORT FT_STATUS FTD2XX_CALL FT_Open(int deviceIndex, FT_HANDLE* handle) {
    Session* s = session();
    if (!s) return FT_DEVICE_NOT_FOUND;
    CallRecord call(*s, "FT_Open");
    call.arguments().number("dev", deviceIndex);
    const FT_STATUS status = s->library.FT_Open(deviceIndex, handle);
    call.returned(status);
    if (status == FT_OK && handle && *handle) call.results().number("h", s->handles.opened(*handle, deviceIndex).id);
    return call.finish();
}

NEXIR_EXPORT FT_STATUS FTD2XX_CALL FT_Close(FT_HANDLE handle) {
    return onHandle("FT_Close", handle, [&](CallRecord& call, Session& s) {
        call.returned(s.library.FT_Close(handle));
        s.handles.closed(handle);
    });
}

NEXIR_EXPORT FT_STATUS FTD2XX_CALL FT_Read(FT_HANDLE handle, void* buffer, DWORD bytesToRead, DWORD* bytesReturned) {
    return onHandle("FT_Read", handle, [&](CallRecord& call, Session& s) {
        call.arguments().number("length", bytesToRead);
        call.returned(s.library.FT_Read(handle, buffer, bytesToRead, bytesReturned));
        if (!bytesReturned) return;
        call.results().number("read", *bytesReturned);
        if (buffer) call.results().bytes("data", buffer, std::min(*bytesReturned, bytesToRead));
    });
}

NEXIR_EXPORT FT_STATUS FTD2XX_CALL FT_Write(FT_HANDLE handle, void* buffer, DWORD bytesToWrite, DWORD* bytesWritten) {
    return onHandle("FT_Write", handle, [&](CallRecord& call, Session& s) {
        call.arguments().number("length", bytesToWrite);
        const bool uart = s.handles.isUart(handle);
        std::future<std::uint32_t> crc;
        if (!uart) crc = crcAlongside(buffer, bytesToWrite);
        call.returned(s.library.FT_Write(handle, buffer, bytesToWrite, bytesWritten));
        if (bytesWritten) call.results().number("written", *bytesWritten);
        if (!uart) {
            describeImageChunk(call, crc, buffer, bytesToWrite, bytesWritten);
        } else {
            call.results().bytes("channel", "uart", 4);
            if (buffer) call.results().bytes("data", buffer, bytesToWrite);
        }
    });
}

NEXIR_EXPORT FT_STATUS FTD2XX_CALL FT_SetBaudRate(FT_HANDLE handle, ULONG baudRate) {
    return onHandle("FT_SetBaudRate", handle, [&](CallRecord& call, Session& s) {
        s.handles.baudRateSet(handle);
        call.arguments().number("baud", baudRate);
        call.returned(s.library.FT_SetBaudRate(handle, baudRate));
    });
}

NEXIR_EXPORT FT_STATUS FTD2XX_CALL FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits,
                                                             UCHAR parity) {
    return onHandle("FT_SetDataCharacteristics", handle, [&](CallRecord& call, Session& s) {
        call.arguments().number("wordLength", wordLength).number("stopBits", stopBits).number("parity", parity);
        call.returned(s.library.FT_SetDataCharacteristics(handle, wordLength, stopBits, parity));
    });
}

NEXIR_EXPORT FT_STATUS FTD2XX_CALL FT_SetFlowControl(FT_HANDLE handle, USHORT flowControl, UCHAR xon, UCHAR xoff) {
    return onHandle("FT_SetFlowControl", handle, [&](CallRecord& call, Session& s) {
        call.arguments().number("flowControl", flowControl).number("xon", xon).number("xoff", xoff);
        call.returned(s.library.FT_SetFlowControl(handle, flowControl, xon, xoff));
    });
}

NEXIR_EXPORT FT_STATUS FTD2XX_CALL FT_Purge(FT_HANDLE handle, ULONG mask) {
    return onHandle("FT_Purge", handle, [&](CallRecord& call, Session& s) {
        call.arguments().number("mask", mask);
        call.returned(s.library.FT_Purge(handle, mask));
    });
}

NEXIR_EXPORT FT_STATUS FTD2XX_CALL FT_SetTimeouts(FT_HANDLE handle, ULONG readTimeout, ULONG writeTimeout) {
    return onHandle("FT_SetTimeouts", handle, [&](CallRecord& call, Session& s) {
        call.arguments().number("readTimeout", readTimeout).number("writeTimeout", writeTimeout);
        call.returned(s.library.FT_SetTimeouts(handle, readTimeout, writeTimeout));
    });
}

// The program's poll of the UART: the one call the recording folds into runs.
NEXIR_EXPORT FT_STATUS FTD2XX_CALL FT_GetStatus(FT_HANDLE handle, DWORD* rxQueue, DWORD* txQueue, DWORD* eventStatus) {
    auto body = [&](CallRecord& call, Session& s) {
        call.returned(s.library.FT_GetStatus(handle, rxQueue, txQueue, eventStatus));
        if (rxQueue) call.results().number("rx", *rxQueue);
        if (txQueue) call.results().number("tx", *txQueue);
        if (eventStatus) call.results().number("event", *eventStatus);
    };
    return onHandle("FT_GetStatus", handle, body, /*poll=*/true);
}

NEXIR_EXPORT FT_STATUS FTD2XX_CALL FT_SetLatencyTimer(FT_HANDLE handle, UCHAR latencyMs) {
    return onHandle("FT_SetLatencyTimer", handle, [&](CallRecord& call, Session& s) {
        call.arguments().number("latency", latencyMs);
        call.returned(s.library.FT_SetLatencyTimer(handle, latencyMs));
    });
}

NEXIR_EXPORT FT_STATUS FTD2XX_CALL FT_EE_Read(FT_HANDLE handle, FT_PROGRAM_DATA* data) {
    return onHandle("FT_EE_Read", handle, [&](CallRecord& call, Session& s) {
        if (data) {
            // What the caller declared, before the library fills the structure in.
            JsonObject declared;
            declared.number("Signature1", data->Signature1).number("Signature2", data->Signature2);
            call.arguments().json("declared", declared.number("Version", data->Version).text());
        }
        const FT_STATUS status = s.library.FT_EE_Read(handle, data);
        call.returned(status);
        if (status == FT_OK && data) call.results().json("data", programDataJson(*data));
    });
}

NEXIR_EXPORT FT_STATUS FTD2XX_CALL FT_EE_Program(FT_HANDLE handle, FT_PROGRAM_DATA* data) {
    return onHandle("FT_EE_Program", handle, [&](CallRecord& call, Session& s) {
        call.arguments().json("data", data ? programDataJson(*data) : "null");
        call.returned(s.library.FT_EE_Program(handle, data));
    });
}

NEXIR_EXPORT FT_STATUS FTD2XX_CALL FT_ResetPort(FT_HANDLE handle) {
    return onHandle("FT_ResetPort", handle,
                    [&](CallRecord& call, Session& s) { call.returned(s.library.FT_ResetPort(handle)); });
}

}  // extern "C"

// Exactly the signatures the program binds to.
#define NEXIR_SAME_SIGNATURE(name) static_assert(std::is_same_v<decltype(&name), name##_t>, #name);
NEXIR_D2XX_FUNCTIONS(NEXIR_SAME_SIGNATURE)
#undef NEXIR_SAME_SIGNATURE
