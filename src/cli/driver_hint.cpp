#include "cli/driver_hint.h"

#include <filesystem>

namespace {

const char kDocument[] = "hardware.md";

// The installed copy of the document, found from the running program: the docs lie at
// NEXIR_DOC_FROM_BINDIR from the program's folder under every install prefix (/usr for
// the package, /usr/local or another for a hand install). Empty when not installed.
std::string installedDocument() {
#if defined(__linux__)
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const auto document = (program.parent_path() / NEXIR_DOC_FROM_BINDIR / kDocument).lexically_normal();
        if (std::filesystem::is_regular_file(document, error)) return document.string();
    }
#endif
    return {};
}

}  // namespace

std::string driverInstallHint() {
    std::string document = installedDocument();
    if (document.empty()) document = std::string(kDocument) + " in the documentation of nexir-updater";
    return "info: FTDI's D2XX driver is installed separately, as \"The D2XX library from FTDI\" in " + document +
           " describes";
}
