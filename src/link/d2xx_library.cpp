#include "link/d2xx_library.h"

#include <ostream>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

D2xxFunctions functions;

// Resolves one entry point by its export name (Linux) or by its ordinal in
// FTD2XX.dll (Windows: FTDI's import libraries bind by ordinal, so must we).
// Returns the empty text, or the loader's reason.
template <typename Resolve, typename F>
std::string bind(Resolve& resolve, const char* name, unsigned ordinal, F& slot) {
    std::string reason;
    void* address = resolve(name, ordinal, reason);
    if (address) slot = reinterpret_cast<F>(address);
    return reason;
}

template <typename Resolve>
std::string bindEntryPoints(Resolve resolve) {
    D2xxFunctions& f = functions;
    for (std::string reason : {
             bind(resolve, "FT_Open", 1, f.open),
             bind(resolve, "FT_Close", 2, f.close),
             bind(resolve, "FT_Read", 3, f.read),
             bind(resolve, "FT_Write", 4, f.write),
             bind(resolve, "FT_SetBaudRate", 7, f.setBaudRate),
             bind(resolve, "FT_SetDataCharacteristics", 8, f.setDataCharacteristics),
             bind(resolve, "FT_SetFlowControl", 9, f.setFlowControl),
             bind(resolve, "FT_Purge", 16, f.purge),
             bind(resolve, "FT_SetTimeouts", 17, f.setTimeouts),
             bind(resolve, "FT_GetStatus", 21, f.getStatus),
             bind(resolve, "FT_SetLatencyTimer", 29, f.setLatencyTimer),
             bind(resolve, "FT_EE_Program", 37, f.eeProgram),
             bind(resolve, "FT_EE_Read", 38, f.eeRead),
             bind(resolve, "FT_ResetPort", 66, f.resetPort),
             bind(resolve, "FT_CreateDeviceInfoList", 70, f.createDeviceInfoList),
             bind(resolve, "FT_GetDeviceInfoList", 71, f.getDeviceInfoList),
         }) {
        if (!reason.empty()) return reason;
    }
    return {};
}



#if defined(_WIN32)
const char kFileName[] = "FTD2XX.dll";

std::string lastErrorText() {
    return "system error " + std::to_string(GetLastError());
}

// Resolves every entry point; returns the empty text or the loader's reason.
std::string bindAll() {
    HMODULE module = LoadLibraryA(kFileName);
    if (!module) return lastErrorText();
    return bindEntryPoints([module](const char* name, unsigned ordinal, std::string& reason) {
        FARPROC address = GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
        if (!address) reason = std::string(name) + ": " + lastErrorText();
        return reinterpret_cast<void*>(address);
    });
}
#else
const char kFileName[] = "libftd2xx.so";

std::string bindAll() {
    void* module = dlopen(kFileName, RTLD_NOW | RTLD_LOCAL);
    if (!module) return dlerror();
    return bindEntryPoints([module](const char* name, unsigned, std::string& reason) {
        dlerror();
        void* address = dlsym(module, name);
        if (!address) {
            const char* text = dlerror();
            reason = text ? text : std::string(name) + ": symbol is null";
        }
        return address;
    });
}
#endif

}  // namespace

const char* d2xxLibraryFileName() {
    return kFileName;
}

bool loadD2xxLibrary(std::ostream& out) {
    static const std::string failure = bindAll();
    if (failure.empty()) return true;
    out << "error: could not load FTDI D2XX library " << kFileName << ": " << failure << std::endl;
    return false;
}

const D2xxFunctions& d2xx() {
    return functions;
}
