#include "vendor_library.h"

#include "process_info.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/stat.h>

#include "library_search.h"
#endif

namespace recorder {
namespace {

// Binds every function with `resolve`; returns the name of one it could not find.
template <typename Resolve>
std::string bindAll(VendorLibrary& library, Resolve resolve) {
#define NEXIR_BIND(name)                                       \
    library.name = reinterpret_cast<name##_t>(resolve(#name)); \
    if (!library.name) return #name;
    NEXIR_D2XX_FUNCTIONS(NEXIR_BIND)
#undef NEXIR_BIND
    return {};
}

#if defined(_WIN32)
std::string systemMessage(DWORD code) {
    char text[512] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof(text),
                   nullptr);
    std::string message = text;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
        message.pop_back();
    }
    return message.empty() ? "error " + std::to_string(code) : message;
}

HMODULE ownModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ownModule), &module);
    return module;
}

// Empty on success, else why the file cannot serve, after its path.
std::string tryLoad(VendorLibrary& library, const std::wstring& path) {
    const std::string name = utf8FromWide(path);
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module) return name + ": " + systemMessage(GetLastError());
    if (module == ownModule()) {
        FreeLibrary(module);
        return name + ": that is the recorder itself";
    }
    const std::string missing =
        bindAll(library, [module](const char* name) { return reinterpret_cast<void*>(GetProcAddress(module, name)); });
    if (!missing.empty()) {
        FreeLibrary(module);
        return name + ": it has no " + missing;
    }
    library.path = name;
    return {};
}

}  // namespace

// Windows loads FTD2XX.dll from the program's folder first, where the recorder stands;
// the vendor's is in the system folder, and is loaded by its full path.
bool loadVendorLibrary(VendorLibrary& library, std::string& problem) {
    const std::wstring named = wideFromUtf8(environment("NEXIR_RECORD_D2XX"));
    if (!named.empty()) {
        wchar_t full[MAX_PATH];
        const DWORD length = GetFullPathNameW(named.c_str(), MAX_PATH, full, nullptr);
        const std::string reason =
            tryLoad(library, length > 0 && length < MAX_PATH ? std::wstring(full, length) : named);
        if (reason.empty()) return true;
        problem = "cannot load the D2XX library that NEXIR_RECORD_D2XX names: " + reason;
        return false;
    }
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    const std::string reason = tryLoad(library, std::wstring(system, length < MAX_PATH ? length : 0) + L"\\FTD2XX.dll");
    if (reason.empty()) return true;
    problem = "no vendor D2XX library to forward to: " + reason + " (NEXIR_RECORD_D2XX may name it by its path)";
    return false;
}
#else
// A library whose functions are the recorder's own: forwarding to it would never end.
bool isRecorder(const VendorLibrary& library) {
    Dl_info found{}, own{};
    return dladdr(reinterpret_cast<void*>(library.FT_Open), &found) &&
           dladdr(reinterpret_cast<void*>(&isRecorder), &own) && found.dli_fbase == own.dli_fbase;
}

std::string tryLoad(VendorLibrary& library, const std::string& path) {
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        const char* reason = dlerror();
        return reason ? reason : path + ": cannot be loaded";
    }
    const std::string missing = bindAll(library, [module](const char* name) { return dlsym(module, name); });
    std::string problem;
    if (!missing.empty()) {
        problem = "it has no " + missing;
    } else if (isRecorder(library)) {
        problem = "that is the recorder itself";
    }
    if (!problem.empty()) {
        dlclose(module);
        return path + ": " + problem;
    }
    library.path = path;
    return {};
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The recorder's own file, which the loader may well find first under the same name.
struct stat ownFile() {
    struct stat own {};
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ownFile), &info) && info.dli_fname) stat(info.dli_fname, &own);
    return own;
}

}  // namespace

bool loadVendorLibrary(VendorLibrary& library, std::string& problem) {
    const std::string named = environment("NEXIR_RECORD_D2XX");
    if (!named.empty()) {
        const std::string reason = tryLoad(library, named);
        if (reason.empty()) return true;
        problem = "cannot load the D2XX library that NEXIR_RECORD_D2XX names: " + reason;
        return false;
    }
    const struct stat own = ownFile();
    std::string looked, failures;
    for (const std::string& folder : libraryFolders()) {
        const std::string path = folder + "/libftd2xx.so";
        struct stat candidate {};
        looked += (looked.empty() ? "" : ", ") + folder;
        if (stat(path.c_str(), &candidate) != 0 || sameFile(candidate, own)) continue;
        const std::string reason = tryLoad(library, path);
        if (reason.empty()) return true;
        failures += "; " + reason;
    }
    problem = "no vendor D2XX library to forward to: looked for libftd2xx.so, other than the recorder itself, in " +
              looked + " (NEXIR_RECORD_D2XX may name it by its path)" + failures;
    return false;
}
#endif

}  // namespace recorder
