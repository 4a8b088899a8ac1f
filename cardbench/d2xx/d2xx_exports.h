// The D2XX entry points the bench library exports, with the vendor's names and exactly
// the signatures the program binds to (checked against the program's own function
// pointer types in the implementation).
#pragma once

#include "link/ftd2xx_abi.h"

#if defined(_WIN32)
#define CARDBENCH_EXPORT  // FTD2XX.def exports them, at the vendor's ordinals
#else
#define CARDBENCH_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {
CARDBENCH_EXPORT FT_STATUS FTD2XX_CALL FT_CreateDeviceInfoList(DWORD* numDevs);
CARDBENCH_EXPORT FT_STATUS FTD2XX_CALL FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* dest, DWORD* numDevs);
CARDBENCH_EXPORT FT_STATUS FTD2XX_CALL FT_Open(int deviceIndex, FT_HANDLE* handle);
CARDBENCH_EXPORT FT_STATUS FTD2XX_CALL FT_Close(FT_HANDLE handle);
CARDBENCH_EXPORT FT_STATUS FTD2XX_CALL FT_Read(FT_HANDLE handle, void* buffer, DWORD bytesToRead, DWORD* bytesReturned);
CARDBENCH_EXPORT FT_STATUS FTD2XX_CALL FT_Write(FT_HANDLE handle, void* buffer, DWORD bytesToWrite,
                                                DWORD* bytesWritten);
CARDBENCH_EXPORT FT_STATUS FTD2XX_CALL FT_SetBaudRate(FT_HANDLE handle, ULONG baudRate);
CARDBENCH_EXPORT FT_STATUS FTD2XX_CALL FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits,
                                                                 UCHAR parity);
CARDBENCH_EXPORT FT_STATUS FTD2XX_CALL FT_SetFlowControl(FT_HANDLE handle, USHORT flowControl, UCHAR xon, UCHAR xoff);
CARDBENCH_EXPORT FT_STATUS FTD2XX_CALL FT_Purge(FT_HANDLE handle, ULONG mask);
CARDBENCH_EXPORT FT_STATUS FTD2XX_CALL FT_SetTimeouts(FT_HANDLE handle, ULONG readTimeout, ULONG writeTimeout);
CARDBENCH_EXPORT FT_STATUS FTD2XX_CALL FT_GetStatus(FT_HANDLE handle, DWORD* rxQueue, DWORD* txQueue,
                                                    DWORD* eventStatus);
CARDBENCH_EXPORT FT_STATUS FTD2XX_CALL FT_SetLatencyTimer(FT_HANDLE handle, UCHAR latencyMs);
CARDBENCH_EXPORT FT_STATUS FTD2XX_CALL FT_EE_Read(FT_HANDLE handle, FT_PROGRAM_DATA* data);
CARDBENCH_EXPORT FT_STATUS FTD2XX_CALL FT_EE_Program(FT_HANDLE handle, FT_PROGRAM_DATA* data);
CARDBENCH_EXPORT FT_STATUS FTD2XX_CALL FT_ResetPort(FT_HANDLE handle);
}
