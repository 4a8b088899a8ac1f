// Run-time binding to FTDI's D2XX driver library. The program never links against
// the vendor library: it loads it after the command line has been accepted, so help and
// parse errors work on machines without the driver. On Linux the loader's search path
// decides which file answers (the virtual card bench in tests, the vendor library on a
// workstation); on Windows only the program's own folder and the system folder count,
// and every entry point is bound by its ordinal in FTDI's FTD2XX.dll.
#pragma once

#include <iosfwd>
#include <string>

#include "link/ftd2xx_abi.h"

namespace nexir {

struct D2xxFunctions {
    FT_CreateDeviceInfoList_t createDeviceInfoList = nullptr;
    FT_GetDeviceInfoList_t getDeviceInfoList = nullptr;
    FT_Open_t open = nullptr;
    FT_Close_t close = nullptr;
    FT_Read_t read = nullptr;
    FT_Write_t write = nullptr;
    FT_SetBaudRate_t setBaudRate = nullptr;
    FT_SetDataCharacteristics_t setDataCharacteristics = nullptr;
    FT_SetFlowControl_t setFlowControl = nullptr;
    FT_Purge_t purge = nullptr;
    FT_SetTimeouts_t setTimeouts = nullptr;
    FT_GetStatus_t getStatus = nullptr;
    FT_SetLatencyTimer_t setLatencyTimer = nullptr;
    FT_EE_Read_t eeRead = nullptr;
    FT_EE_Program_t eeProgram = nullptr;
    FT_ResetPort_t resetPort = nullptr;
};

// File name handed to the system's loader: "libftd2xx.so" on Linux, "FTD2XX.dll" on Windows.
const char* d2xxLibraryFileName();

// Loads the library and resolves every entry point, once per process. On failure
// prints "error: could not load FTDI D2XX library <file>: <reason>" on `out` and
// returns false; later calls repeat the outcome of the first.
bool loadD2xxLibrary(std::ostream& out);

#if !defined(_WIN32)
// Loads libftdi1 (and libusb) and puts the program's D2XX functions, as the libftdi1
// driver implements them, in place of FTDI's, once per process. Returns the empty text,
// or the loader's reason; prints nothing.
std::string loadLibftdiLibrary();
#endif

// The resolved entry points; only valid after loadD2xxLibrary (or loadLibftdiLibrary)
// has succeeded.
const D2xxFunctions& d2xx();

}  // namespace nexir
