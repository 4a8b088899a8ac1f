// The real D2XX library behind the recorder, found and bound on the first call.
#pragma once

#include <string>

#include "link/ftd2xx_abi.h"

// The functions the program uses, each one forwarded.
#define NEXIR_D2XX_FUNCTIONS(X)  \
    X(FT_CreateDeviceInfoList)   \
    X(FT_GetDeviceInfoList)      \
    X(FT_Open)                   \
    X(FT_Close)                  \
    X(FT_Read)                   \
    X(FT_Write)                  \
    X(FT_SetBaudRate)            \
    X(FT_SetDataCharacteristics) \
    X(FT_SetFlowControl)         \
    X(FT_Purge)                  \
    X(FT_SetTimeouts)            \
    X(FT_GetStatus)              \
    X(FT_SetLatencyTimer)        \
    X(FT_EE_Read)                \
    X(FT_EE_Program)             \
    X(FT_ResetPort)

namespace recorder {

struct VendorLibrary {
#define NEXIR_ENTRY_POINT(name) name##_t name = nullptr;
    NEXIR_D2XX_FUNCTIONS(NEXIR_ENTRY_POINT)
#undef NEXIR_ENTRY_POINT
    std::string path;  // UTF-8
};

// Loads the library that NEXIR_RECORD_D2XX names by its path or, without it, the
// vendor's own from where the vendor installs it, never the recorder itself. Functions
// are bound by name, which FTDI's DLL exports beside the ordinals. On failure returns
// false, with `problem` saying what is missing and where the recorder looked.
bool loadVendorLibrary(VendorLibrary& library, std::string& problem);

}  // namespace recorder
