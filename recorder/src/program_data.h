// The EEPROM contents the program reads and writes (FT_PROGRAM_DATA) as a JSON object:
// every field under its name in FTDI's header, the four texts included.
#pragma once

#include <string>

#include "link/ftd2xx_abi.h"

namespace recorder {
// The texts are read up to their NUL and at most as far as the buffers the program
// gives the library: 32 (Manufacturer), 16 (ManufacturerId), 64 (Description) and 16
// (SerialNumber) bytes, the sizes of FTDI's own example. A null pointer gives null.
std::string programDataJson(const FT_PROGRAM_DATA& data);

}  // namespace recorder
