#include "link/d2xx_library.h"

#include <ostream>

#if defined(_WIN32)
#include <windows.h>

#include <cctype>

#include "platform/text.h"
#else
#include <dlfcn.h>

#include "link/libftdi_driver.h"
#endif

namespace nexir {

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

// The system's own text for an error code, as a Windows user would read it.
std::string systemMessage(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = length ? utf8FromWide(std::wstring(text, length)) : "";
    if (text) LocalFree(text);
    while (!message.empty() && std::isspace(static_cast<unsigned char>(message.back()))) message.pop_back();
    return message.empty() ? "system error " + std::to_string(code) : message;
}

// Only the program's own folder and the system folder are searched: never the current
// directory or PATH, where anyone could plant a DLL of that name.
std::string bindAll() {
    HMODULE module =
        LoadLibraryExW(L"FTD2XX.dll", nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module) return systemMessage(GetLastError());
    return bindEntryPoints([module](const char* name, unsigned ordinal, std::string& reason) {
        FARPROC address = GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
        if (!address) {
            reason = std::string(name) + " (ordinal " + std::to_string(ordinal) + "): " + systemMessage(GetLastError());
        }
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

const char* d2xxLibraryFileName() { return kFileName; }

bool loadD2xxLibrary(std::ostream& out) {
    static const std::string failure = bindAll();
    if (failure.empty()) return true;
    out << "error: could not load FTDI D2XX library " << kFileName << ": " << failure << std::endl;
    return false;
}

#if !defined(_WIN32)
std::string loadLibftdiLibrary() {
    static const std::string failure = loadLibftdiDriver(functions);
    return failure;
}
#endif

const D2xxFunctions& d2xx() { return functions; }

}  // namespace nexir
