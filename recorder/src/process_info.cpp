#include "process_info.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#if defined(_WIN32)
#include <windows.h>
// After windows.h: it declares CommandLineToArgvW with the types windows.h defines.
#include <shellapi.h>
#else
#include <unistd.h>
#endif

#if defined(__x86_64__) || defined(_M_X64)
#define NEXIR_MACHINE "x86_64"
#elif defined(__aarch64__) || defined(_M_ARM64)
#define NEXIR_MACHINE "aarch64"
#elif defined(__i386__) || defined(_M_IX86)
#define NEXIR_MACHINE "i386"
#else
#define NEXIR_MACHINE "unknown"
#endif

namespace recorder {

#if defined(_WIN32)
std::string utf8FromWide(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(size > 0 ? size : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), result.data(), size, nullptr, nullptr);
    return result;
}

std::wstring wideFromUtf8(const std::string& text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring result(size > 0 ? size : 0, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), result.data(), size);
    return result;
}

std::string environment(const char* name) {
    const wchar_t* value = _wgetenv(wideFromUtf8(name).c_str());
    return value ? utf8FromWide(value) : std::string();
}

std::vector<std::string> commandLine() {
    std::vector<std::string> arguments;
    int count = 0;
    if (wchar_t** list = CommandLineToArgvW(GetCommandLineW(), &count)) {
        for (int i = 0; i < count; ++i) arguments.push_back(utf8FromWide(list[i]));
        LocalFree(list);
    }
    return arguments;
}

std::string currentFolder() {
    std::wstring folder(GetCurrentDirectoryW(0, nullptr), L'\0');
    folder.resize(GetCurrentDirectoryW(DWORD(folder.size()), folder.data()));
    return utf8FromWide(folder);
}

long processId() { return long(GetCurrentProcessId()); }

const char* platformName() { return "windows-" NEXIR_MACHINE; }

std::FILE* createFile(const std::string& path, std::string& reason) {
    std::FILE* file = _wfopen(wideFromUtf8(path).c_str(), L"wb");
    if (!file) reason = std::strerror(errno);
    return file;
}

static bool calendarParts(std::time_t when, bool utc, std::tm& parts) {
    return (utc ? gmtime_s(&parts, &when) : localtime_s(&parts, &when)) == 0;
}
#else
std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::vector<std::string> commandLine() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> arguments;
    for (std::size_t at = 0; at < all.size();) {
        const std::size_t end = all.find('\0', at);
        arguments.push_back(all.substr(at, end - at));
        at = end == std::string::npos ? all.size() : end + 1;
    }
    return arguments;
}

std::string currentFolder() {
    char folder[4096];
    return getcwd(folder, sizeof(folder)) ? folder : ".";
}

long processId() { return long(getpid()); }

const char* platformName() { return "linux-" NEXIR_MACHINE; }

std::FILE* createFile(const std::string& path, std::string& reason) {
    // "e": the file stays out of processes the program might start.
    std::FILE* file = std::fopen(path.c_str(), "we");
    if (!file) reason = std::strerror(errno);
    return file;
}

static bool calendarParts(std::time_t when, bool utc, std::tm& parts) {
    return (utc ? gmtime_r(&when, &parts) : localtime_r(&when, &parts)) != nullptr;
}
#endif

std::string formatTime(std::time_t when, const char* format, bool utc) {
    std::tm parts{};
    if (!calendarParts(when, utc, parts)) return {};
    char text[64] = "";
    return std::string(text, std::strftime(text, sizeof(text), format, &parts));
}

}  // namespace recorder
