#include "link/driver_selection.h"

#include "link/d2xx_library.h"

#include <gtest/gtest.h>

#include <ostream>
#include <sstream>

using namespace nexir;

namespace {

const char kD2xxError[] =
    "error: could not load FTDI D2XX library libftd2xx.so: libftd2xx.so: cannot open shared object file\n";
const char kHint[] = "info: FTDI's D2XX driver is installed separately";

struct Outcome {
    Driver driver;
    std::string out, err;
    int d2xxTries = 0, libftdiTries = 0;
};

// Runs the selection with stand-in loaders: each either loads or fails as told.
Outcome select(const char* setting, bool d2xxLoads, const char* libftdiFailure, bool libftdiHere = true) {
    Outcome o{};
    DriverLoaders loaders;
    loaders.d2xx = [&](std::ostream& out) {
        ++o.d2xxTries;
        if (!d2xxLoads) out << kD2xxError;
        return d2xxLoads;
    };
    if (libftdiHere) {
        loaders.libftdi = [&] {
            ++o.libftdiTries;
            return std::string(libftdiFailure);
        };
    }
    loaders.d2xxHint = kHint;
    std::ostringstream out, err;
    o.driver = selectDriver(setting, loaders, out, err);
    o.out = out.str();
    o.err = err.str();
    return o;
}

}  // namespace

TEST(DriverSelection, ReadsTheSetting) {
    EXPECT_EQ(driverChoice(nullptr), DriverChoice::Either);
    EXPECT_EQ(driverChoice(""), DriverChoice::Either);
    EXPECT_EQ(driverChoice("d2xx"), DriverChoice::D2xx);
    EXPECT_EQ(driverChoice("libftdi"), DriverChoice::Libftdi);
    EXPECT_EQ(driverChoice("D2XX"), DriverChoice::Unknown);
    EXPECT_EQ(driverChoice("libftdi1"), DriverChoice::Unknown);
}

// Unset: FTDI's library first and silently; libftdi1 only where it is missing, said once
// on standard error; neither: today's error, its hint, then libftdi1's failure.
TEST(DriverSelection, UnsetTriesD2xxFirst) {
    Outcome o = select(nullptr, true, "");
    EXPECT_EQ(o.driver, Driver::D2xx);
    EXPECT_EQ(o.out + o.err, "");
    EXPECT_EQ(o.libftdiTries, 0);

    o = select(nullptr, false, "");
    EXPECT_EQ(o.driver, Driver::Libftdi);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "info: FTDI's D2XX library " + std::string(d2xxLibraryFileName()) +
                         " was not found; using libftdi1 (libftdi1.so.2) instead (NEXIR_DRIVER=d2xx or "
                         "NEXIR_DRIVER=libftdi chooses one)\n");

    o = select(nullptr, false, "libftdi1.so.2: cannot open shared object file");
    EXPECT_EQ(o.driver, Driver::None);
    EXPECT_EQ(o.out, kD2xxError);
    EXPECT_EQ(o.err, std::string(kHint) +
                         "\ninfo: libftdi1 could not be loaded either: libftdi1.so.2: cannot open shared object "
                         "file (Debian's package libftdi1-2 brings it)\n");

    o = select(nullptr, false, "", false);  // Windows: D2XX only, today's messages
    EXPECT_EQ(o.driver, Driver::None);
    EXPECT_EQ(o.out + o.err, std::string(kD2xxError) + kHint + "\n");
}

// d2xx: today's error word for word, libftdi1 never tried; libftdi: D2XX never tried.
TEST(DriverSelection, ANamedDriverIsTheOnlyOneTried) {
    Outcome o = select("d2xx", false, "");
    EXPECT_EQ(o.driver, Driver::None);
    EXPECT_EQ(o.out + o.err, std::string(kD2xxError) + kHint + "\n");
    EXPECT_EQ(o.libftdiTries, 0);

    o = select("libftdi", true, "");
    EXPECT_EQ(o.driver, Driver::Libftdi);
    EXPECT_EQ(o.out + o.err, "");
    EXPECT_EQ(o.d2xxTries, 0);

    o = select("libftdi", true, "libftdi1.so.2: cannot open shared object file");
    EXPECT_EQ(o.driver, Driver::None);
    EXPECT_EQ(o.out, "error: could not load libftdi1 libftdi1.so.2: libftdi1.so.2: cannot open shared object file\n");
    EXPECT_EQ(o.err, "info: libftdi1 comes with Debian's package libftdi1-2 (sudo apt install libftdi1-2)\n");
    EXPECT_EQ(o.d2xxTries, 0);
}

// An unknown value, and libftdi where there is none (Windows), are refused with one line.
TEST(DriverSelection, RefusesWhatItCannotDo) {
    Outcome o = select("ftdi", true, "");
    EXPECT_EQ(o.driver, Driver::None);
    EXPECT_EQ(o.out,
              "error: NEXIR_DRIVER=ftdi names no driver; use d2xx (FTDI's D2XX library) or libftdi (libftdi1), or "
              "leave it unset\n");
    EXPECT_EQ(o.d2xxTries + o.libftdiTries, 0);

    o = select("libftdi", true, "", false);
    EXPECT_EQ(o.driver, Driver::None);
    EXPECT_EQ(o.out.rfind("error: NEXIR_DRIVER=libftdi: there is no libftdi1 driver on Windows", 0), 0u) << o.out;
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.d2xxTries, 0);
    o = select("x", true, "", false);
    EXPECT_EQ(o.out, "error: NEXIR_DRIVER=x names no driver; use d2xx (FTDI's D2XX library), or leave it unset\n");
}
