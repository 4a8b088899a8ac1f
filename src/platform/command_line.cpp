#include "platform/command_line.h"

#if defined(_WIN32)
#include <windows.h>
// Needs <windows.h> before it.
#include <shellapi.h>

#include "platform/text.h"

namespace nexir {

std::vector<std::string> utf8Arguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) arguments.push_back(utf8FromWide(wide[i]));
    LocalFree(wide);
    return arguments;
}

}  // namespace nexir
#else

namespace nexir {

std::vector<std::string> utf8Arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

}  // namespace nexir
#endif
