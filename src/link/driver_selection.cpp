#include "link/driver_selection.h"

#include <cstring>
#include <ostream>
#include <sstream>

#include "link/d2xx_library.h"

namespace nexir {

namespace {

void refuseUnknown(const char* setting, bool libftdiHere, std::ostream& out) {
    out << "error: NEXIR_DRIVER=" << setting << " names no driver; use "
        << (libftdiHere ? "d2xx (FTDI's D2XX library) or libftdi (libftdi1)" : "d2xx (FTDI's D2XX library)")
        << ", or leave it unset" << std::endl;
}

}  // namespace

DriverChoice driverChoice(const char* setting) {
    if (!setting || !*setting) return DriverChoice::Either;
    if (std::strcmp(setting, "d2xx") == 0) return DriverChoice::D2xx;
    if (std::strcmp(setting, "libftdi") == 0) return DriverChoice::Libftdi;
    return DriverChoice::Unknown;
}

Driver selectDriver(const char* setting, const DriverLoaders& loaders, std::ostream& out, std::ostream& err) {
    const bool libftdiHere = static_cast<bool>(loaders.libftdi);
    switch (driverChoice(setting)) {
        case DriverChoice::Unknown:
            refuseUnknown(setting, libftdiHere, out);
            return Driver::None;
        case DriverChoice::D2xx:
            if (loaders.d2xx(out)) return Driver::D2xx;
            err << loaders.d2xxHint << std::endl;
            return Driver::None;
        case DriverChoice::Libftdi: {
            if (!libftdiHere) {
                out << "error: NEXIR_DRIVER=libftdi: there is no libftdi1 driver on Windows; the program drives the "
                       "cards through FTDI's D2XX library "
                    << d2xxLibraryFileName() << " only (unset NEXIR_DRIVER)" << std::endl;
                return Driver::None;
            }
            const std::string failure = loaders.libftdi();
            if (failure.empty()) return Driver::Libftdi;
            out << "error: could not load libftdi1 " << kLibftdiFileName << ": " << failure << std::endl;
            err << "info: libftdi1 comes with Debian's package libftdi1-2 (sudo apt install libftdi1-2)" << std::endl;
            return Driver::None;
        }
        case DriverChoice::Either:
            break;
    }
    // FTDI's library first, exactly as before; libftdi1 where it is missing.
    std::ostringstream d2xxError;
    if (loaders.d2xx(d2xxError)) return Driver::D2xx;
    std::string failure;
    if (libftdiHere) {
        failure = loaders.libftdi();
        if (failure.empty()) {
            err << "info: FTDI's D2XX library " << d2xxLibraryFileName() << " was not found; using libftdi1 ("
                << kLibftdiFileName << ") instead (NEXIR_DRIVER=d2xx or NEXIR_DRIVER=libftdi chooses one)" << std::endl;
            return Driver::Libftdi;
        }
    }
    out << d2xxError.str() << std::flush;
    err << loaders.d2xxHint << std::endl;
    if (libftdiHere)
        err << "info: libftdi1 could not be loaded either: " << failure << " (Debian's package libftdi1-2 brings it)"
            << std::endl;
    return Driver::None;
}

}  // namespace nexir
