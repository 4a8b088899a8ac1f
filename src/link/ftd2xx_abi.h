// The subset of FTDI's D2XX C ABI that nexir-updater uses, declared here with the
// vendor library's exact sizes so that the program binds to the real libftd2xx.so /
// FTD2XX.dll without the vendor headers. The virtual card bench implements the same
// declarations.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
// As in FTDI's own header, the basic types are the Windows SDK's, so this header and
// <windows.h> can meet in one file. WINAPI is the D2XX calling convention (__stdcall on
// 32-bit x86, the one x64 convention on 64-bit).
#include <windows.h>
#define FTD2XX_CALL WINAPI
#else
#define FTD2XX_CALL
// On Linux x86_64 the vendor's WinTypes.h makes DWORD and ULONG 4-byte unsigned ints,
// as Windows (LLP64) has them; `unsigned long` would break every layout on LP64.
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using WORD = std::uint16_t;
using USHORT = std::uint16_t;
using UCHAR = std::uint8_t;
#endif
using FT_HANDLE = void*;
using FT_STATUS = ULONG;

enum : FT_STATUS {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7,
    FT_DEVICE_NOT_OPENED_FOR_ERASE = 8,
    FT_DEVICE_NOT_OPENED_FOR_WRITE = 9,
    FT_FAILED_TO_WRITE_DEVICE = 10,
    FT_EEPROM_READ_FAILED = 11,
    FT_EEPROM_WRITE_FAILED = 12,
    FT_EEPROM_ERASE_FAILED = 13,
    FT_EEPROM_NOT_PRESENT = 14,
    FT_EEPROM_NOT_PROGRAMMED = 15,
    FT_INVALID_ARGS = 16,
    FT_NOT_SUPPORTED = 17,
    FT_OTHER_ERROR = 18,
    FT_DEVICE_LIST_NOT_READY = 19,
};

constexpr UCHAR FT_BITS_8 = 8;
constexpr UCHAR FT_STOP_BITS_1 = 0;
constexpr UCHAR FT_PARITY_NONE = 0;
constexpr USHORT FT_FLOW_NONE = 0x0000;
constexpr USHORT FT_FLOW_RTS_CTS = 0x0100;
constexpr ULONG FT_PURGE_RX = 1;
constexpr ULONG FT_PURGE_TX = 2;
constexpr ULONG FT_FLAGS_OPENED = 1;
constexpr ULONG FT_FLAGS_HISPEED = 2;

struct FT_DEVICE_LIST_INFO_NODE {
    ULONG Flags;
    ULONG Type;
    ULONG ID;
    DWORD LocId;
    char SerialNumber[16];
    char Description[64];
    FT_HANDLE ftHandle;
};

// FT_PROGRAM_DATA in its complete (Version 5) layout: every field of every block.
struct FT_PROGRAM_DATA {
    DWORD Signature1;
    DWORD Signature2;
    DWORD Version;
    // Version 0: FT232B(M)
    WORD VendorId;
    WORD ProductId;
    char* Manufacturer;
    char* ManufacturerId;
    char* Description;
    char* SerialNumber;
    WORD MaxPower;
    WORD PnP;
    WORD SelfPowered;
    WORD RemoteWakeup;
    UCHAR Rev4;
    UCHAR IsoIn;
    UCHAR IsoOut;
    UCHAR PullDownEnable;
    UCHAR SerNumEnable;
    UCHAR USBVersionEnable;
    WORD USBVersion;
    // Version 1: FT2232C/D
    UCHAR Rev5;
    UCHAR IsoInA;
    UCHAR IsoInB;
    UCHAR IsoOutA;
    UCHAR IsoOutB;
    UCHAR PullDownEnable5;
    UCHAR SerNumEnable5;
    UCHAR USBVersionEnable5;
    WORD USBVersion5;
    UCHAR AIsHighCurrent;
    UCHAR BIsHighCurrent;
    UCHAR IFAIsFifo;
    UCHAR IFAIsFifoTar;
    UCHAR IFAIsFastSer;
    UCHAR AIsVCP;
    UCHAR IFBIsFifo;
    UCHAR IFBIsFifoTar;
    UCHAR IFBIsFastSer;
    UCHAR BIsVCP;
    // Version 2: FT232R
    UCHAR UseExtOsc;
    UCHAR HighDriveIOs;
    UCHAR EndpointSize;
    UCHAR PullDownEnableR;
    UCHAR SerNumEnableR;
    UCHAR InvertTXD;
    UCHAR InvertRXD;
    UCHAR InvertRTS;
    UCHAR InvertCTS;
    UCHAR InvertDTR;
    UCHAR InvertDSR;
    UCHAR InvertDCD;
    UCHAR InvertRI;
    UCHAR Cbus0;
    UCHAR Cbus1;
    UCHAR Cbus2;
    UCHAR Cbus3;
    UCHAR Cbus4;
    UCHAR RIsD2XX;
    // Version 3: FT2232H
    UCHAR PullDownEnable7;
    UCHAR SerNumEnable7;
    UCHAR ALSlowSlew;
    UCHAR ALSchmittInput;
    UCHAR ALDriveCurrent;
    UCHAR AHSlowSlew;
    UCHAR AHSchmittInput;
    UCHAR AHDriveCurrent;
    UCHAR BLSlowSlew;
    UCHAR BLSchmittInput;
    UCHAR BLDriveCurrent;
    UCHAR BHSlowSlew;
    UCHAR BHSchmittInput;
    UCHAR BHDriveCurrent;
    UCHAR IFAIsFifo7;
    UCHAR IFAIsFifoTar7;
    UCHAR IFAIsFastSer7;
    UCHAR AIsVCP7;
    UCHAR IFBIsFifo7;
    UCHAR IFBIsFifoTar7;
    UCHAR IFBIsFastSer7;
    UCHAR BIsVCP7;
    UCHAR PowerSaveEnable;
    // Version 4: FT4232H
    UCHAR PullDownEnable8;
    UCHAR SerNumEnable8;
    UCHAR ASlowSlew;
    UCHAR ASchmittInput;
    UCHAR ADriveCurrent;
    UCHAR BSlowSlew;
    UCHAR BSchmittInput;
    UCHAR BDriveCurrent;
    UCHAR CSlowSlew;
    UCHAR CSchmittInput;
    UCHAR CDriveCurrent;
    UCHAR DSlowSlew;
    UCHAR DSchmittInput;
    UCHAR DDriveCurrent;
    UCHAR ARIIsTXDEN;
    UCHAR BRIIsTXDEN;
    UCHAR CRIIsTXDEN;
    UCHAR DRIIsTXDEN;
    UCHAR AIsVCP8;
    UCHAR BIsVCP8;
    UCHAR CIsVCP8;
    UCHAR DIsVCP8;
    // Version 5: FT232H
    UCHAR PullDownEnableH;
    UCHAR SerNumEnableH;
    UCHAR ACSlowSlewH;
    UCHAR ACSchmittInputH;
    UCHAR ACDriveCurrentH;
    UCHAR ADSlowSlewH;
    UCHAR ADSchmittInputH;
    UCHAR ADDriveCurrentH;
    UCHAR Cbus0H;
    UCHAR Cbus1H;
    UCHAR Cbus2H;
    UCHAR Cbus3H;
    UCHAR Cbus4H;
    UCHAR Cbus5H;
    UCHAR Cbus6H;
    UCHAR Cbus7H;
    UCHAR Cbus8H;
    UCHAR Cbus9H;
    UCHAR IsFifoH;
    UCHAR IsFifoTarH;
    UCHAR IsFastSerH;
    UCHAR IsFT1248H;
    UCHAR FT1248CpolH;
    UCHAR FT1248LsbH;
    UCHAR FT1248FlowControlH;
    UCHAR IsVCPH;
    UCHAR PowerSaveEnableH;
};

static_assert(sizeof(DWORD) == 4 && sizeof(ULONG) == 4, "D2XX counts and statuses are 32 bits wide");
#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
static_assert(sizeof(FT_DEVICE_LIST_INFO_NODE) == 104, "device node must match the vendor ABI");
static_assert(offsetof(FT_DEVICE_LIST_INFO_NODE, ftHandle) == 96, "device node must match the vendor ABI");
static_assert(sizeof(FT_PROGRAM_DATA) == 176, "FT_PROGRAM_DATA must match the vendor ABI");
static_assert(offsetof(FT_PROGRAM_DATA, USBVersion5) == 72, "FT_PROGRAM_DATA must match the vendor ABI");
static_assert(offsetof(FT_PROGRAM_DATA, IFAIsFifo7) == 117, "FT_PROGRAM_DATA must match the vendor ABI");
static_assert(offsetof(FT_PROGRAM_DATA, PowerSaveEnable) == 125, "FT_PROGRAM_DATA must match the vendor ABI");
static_assert(offsetof(FT_PROGRAM_DATA, PowerSaveEnableH) == 174, "FT_PROGRAM_DATA must match the vendor ABI");
#else
static_assert(sizeof(FT_DEVICE_LIST_INFO_NODE) == 100, "device node must match the vendor ABI");
static_assert(sizeof(FT_PROGRAM_DATA) == 160, "FT_PROGRAM_DATA must match the vendor ABI");
static_assert(offsetof(FT_PROGRAM_DATA, IFAIsFifo7) == 101, "FT_PROGRAM_DATA must match the vendor ABI");
#endif

// Function pointer types of the entry points the program resolves at run time.
extern "C" {
using FT_CreateDeviceInfoList_t = FT_STATUS(FTD2XX_CALL*)(DWORD* numDevs);
using FT_GetDeviceInfoList_t = FT_STATUS(FTD2XX_CALL*)(FT_DEVICE_LIST_INFO_NODE* dest, DWORD* numDevs);
using FT_Open_t = FT_STATUS(FTD2XX_CALL*)(int deviceIndex, FT_HANDLE* handle);
using FT_Close_t = FT_STATUS(FTD2XX_CALL*)(FT_HANDLE handle);
using FT_Read_t = FT_STATUS(FTD2XX_CALL*)(FT_HANDLE handle, void* buffer, DWORD bytesToRead, DWORD* bytesReturned);
using FT_Write_t = FT_STATUS(FTD2XX_CALL*)(FT_HANDLE handle, void* buffer, DWORD bytesToWrite, DWORD* bytesWritten);
using FT_SetBaudRate_t = FT_STATUS(FTD2XX_CALL*)(FT_HANDLE handle, ULONG baudRate);
using FT_SetDataCharacteristics_t = FT_STATUS(FTD2XX_CALL*)(FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits,
                                                            UCHAR parity);
using FT_SetFlowControl_t = FT_STATUS(FTD2XX_CALL*)(FT_HANDLE handle, USHORT flowControl, UCHAR xon, UCHAR xoff);
using FT_Purge_t = FT_STATUS(FTD2XX_CALL*)(FT_HANDLE handle, ULONG mask);
using FT_SetTimeouts_t = FT_STATUS(FTD2XX_CALL*)(FT_HANDLE handle, ULONG readTimeout, ULONG writeTimeout);
using FT_GetStatus_t = FT_STATUS(FTD2XX_CALL*)(FT_HANDLE handle, DWORD* rxQueue, DWORD* txQueue, DWORD* eventStatus);
using FT_SetLatencyTimer_t = FT_STATUS(FTD2XX_CALL*)(FT_HANDLE handle, UCHAR latencyMs);
using FT_EE_Read_t = FT_STATUS(FTD2XX_CALL*)(FT_HANDLE handle, FT_PROGRAM_DATA* data);
using FT_EE_Program_t = FT_STATUS(FTD2XX_CALL*)(FT_HANDLE handle, FT_PROGRAM_DATA* data);
using FT_ResetPort_t = FT_STATUS(FTD2XX_CALL*)(FT_HANDLE handle);
}
