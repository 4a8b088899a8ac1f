// Which driver answers behind the program's one D2XX boundary: FTDI's D2XX library, or
// on Linux libftdi1 standing in for it. The environment variable NEXIR_DRIVER chooses:
// "d2xx" FTDI's library only, "libftdi" libftdi1 only, unset (or empty) FTDI's library
// first and libftdi1 when it cannot be loaded.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>

namespace nexir {

// libftdi1's run-time name (Debian's libftdi1-2), loaded with dlopen on Linux.
constexpr char kLibftdiFileName[] = "libftdi1.so.2";

enum class DriverChoice { Either, D2xx, Libftdi, Unknown };

// NEXIR_DRIVER's value (null when unset) as a choice.
DriverChoice driverChoice(const char* setting);

enum class Driver { None, D2xx, Libftdi };

struct DriverLoaders {
    // Loads FTDI's library; on failure prints today's error line on the stream it is given
    // and returns false.
    std::function<bool(std::ostream&)> d2xx;
    // Loads libftdi1; returns the empty text, or the reason it could not be loaded. Empty
    // where the platform has no libftdi1 (Windows).
    std::function<std::string()> libftdi;
    // The info line that follows a missing D2XX library (where FTDI's driver is described).
    std::string d2xxHint;
};

// Loads the driver that `setting` (NEXIR_DRIVER) asks for. Errors go to `out` (standard
// output, as the program's other diagnostics), the info lines to `err`; None when no
// driver could be loaded or the setting is refused.
Driver selectDriver(const char* setting, const DriverLoaders& loaders, std::ostream& out, std::ostream& err);

}  // namespace nexir
