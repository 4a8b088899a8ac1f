// Entry point: describes the command line, lets CLI11 parse and validate it, and runs
// the one subcommand given. The D2XX library is loaded only once the command line has
// been accepted, so help and usage errors never need it.
//
// Interruptions and unexpected exceptions unwind to here: on the way every card object
// closes its channels, so the process never ends with a card's handles still open.
#include <CLI/CLI.hpp>

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>

#include "cli/commands.h"
#include "link/d2xx_library.h"
#include "link/driver_selection.h"
#include "platform/command_line.h"
#include "platform/interruption.h"
#include "platform/timer_resolution.h"

namespace nexir {
namespace {

const char kBaudHelp[] = "Choose baud rate for serial connection to NEXIR";
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

// The line that follows the missing-library error: where the documentation says how
// to install FTDI's D2XX driver, which no package of ours can bring.
std::string driverInstallHint() {
    std::string document = installedDocument();
    if (document.empty()) document = std::string(kDocument) + " in the documentation of nexir-updater";
    return "info: FTDI's D2XX driver is installed separately, as \"The D2XX library from FTDI\" in " + document +
           " describes";
}

// Loads the driver NEXIR_DRIVER asks for (FTDI's D2XX library, or on Linux libftdi1)
// and runs the command on it.
std::int32_t withD2xx(const std::function<std::int32_t()>& command) {
    DriverLoaders loaders;
    loaders.d2xx = loadD2xxLibrary;
#if !defined(_WIN32)
    loaders.libftdi = loadLibftdiLibrary;
#endif
    loaders.d2xxHint = driverInstallHint();
    if (selectDriver(std::getenv("NEXIR_DRIVER"), loaders, std::cout, std::cerr) == Driver::None) return -1;
    const FineTimerResolution fineSleeps;
    return command();
}

// CLI11's existing-file check with the path taken as UTF-8, as every path of the
// program is: the same messages, and on Windows any file name.
CLI::Validator existingFile() {
    CLI::Validator check = CLI::ExistingFile;
    check.operation([](std::string& path) {
        std::error_code error;
        const auto status = std::filesystem::status(std::filesystem::u8path(path), error);
        if (error || status.type() == std::filesystem::file_type::not_found ||
            status.type() == std::filesystem::file_type::none)
            return "File does not exist: " + path;
        if (status.type() == std::filesystem::file_type::directory) return "File is actually a directory: " + path;
        return std::string();
    });
    return check;
}

}  // namespace
}  // namespace nexir

int main(int argc, char** argv) {
    using namespace nexir;
    CLI::App app{"NEXIR FPGA FW and SW Update Application - Version 1.0"};
    app.set_version_flag("--version", "nexir-updater " NEXIR_VERSION, "Print the program's name and version and exit");
    app.require_subcommand(1);
    CLI::App* log = app.add_subcommand("log", "Print system status e.g nexir version and current boot image");
    CLI::App* update = app.add_subcommand("update", "Update either the FPGA or the Linux host software");
    CLI::App* boot = app.add_subcommand(
        "boot", "TODO:Choose next boot image - golden firmware image, <GOLD>, or standard image, <STD>");

    std::int32_t status = 0;

    std::uint32_t logBaud = 0;
    log->add_option("-b, --baud", logBaud, kBaudHelp)->required();
    log->callback([&] { status = withD2xx([&] { return statusCommand(logBaud); }); });

    std::uint32_t updateBaud = 0;
    std::string type, which, file, slot;
    bool reconfigure = false, skipVerify = false;
    update->add_option("-b, --baud", updateBaud, kBaudHelp)->required();
    update
        ->add_option("-t, --type", type,
                     "Choose either <SW> to upgrade the Linux host software or <FPGA> to update the FPGA")
        ->required()
        ->check(CLI::IsMember({"SW", "FPGA"}));
    update->add_option("-w, --which", which, "Either update the <STD> or <GOLD> image")
        ->required()
        ->check(CLI::IsMember({"STD", "GOLD"}));
    update->add_option("-f, --file", file, "Path to the update file")->required()->check(existingFile());
    update->add_flag("-r, --reconfigure", reconfigure,
                     "Restart the NEXIR automatically after the update has completed");
    update->add_flag("-v, --skip_verify", skipVerify,
                     "Write directly to flash without verifying against copy in memory (not advised)");
    update->add_option("-s, --slot", slot, "Choose KRO slot to interact with")->required();
    update->callback([&] {
        status = withD2xx([&] { return updateCommand(updateBaud, slot, type, which, file, skipVerify, reconfigure); });
    });

    std::uint32_t bootBaud = 0;
    std::string image;
    bool now = false;
    boot->add_option("-b, --baud", bootBaud, kBaudHelp)->required();
    boot->add_option("-i, --image", image,
                     "Choose <gold> to boot the golden image or <std> to boot the standard working image")
        ->required()
        ->check(CLI::IsMember({"gold", "std"}));
    boot->add_flag("-n, --now", now, "Reboot now into the chosen image");
    boot->callback([&] { status = withD2xx([&] { return bootCommand(bootBaud, image, now); }); });

    installInterruptionHandlers();
    const std::vector<std::string> arguments = utf8Arguments(argc, argv);
    std::vector<const char*> pointers;
    for (const std::string& argument : arguments) pointers.push_back(argument.c_str());
    try {
        app.parse(static_cast<int>(pointers.size()), pointers.data());
        leaveIfInterrupted();  // one that came after the last poll
    } catch (const CLI::ParseError& error) {
        return app.exit(error);
    } catch (const Interrupted& interruption) {
        return 128 + interruption.signal;
    } catch (const std::exception& error) {
        std::cout << "error: " << error.what() << std::endl;
        return 1;
    }
    // A failed command must not look like success to a script.
    return status == 0 ? 0 : 1;
}
