// Entry point: describes the command line, lets CLI11 parse and validate it, and runs
// the one subcommand given. The D2XX library is loaded only once the command line has
// been accepted, so help and usage errors never need it.
//
// Interruptions and unexpected exceptions unwind to here: on the way every card object
// closes its channels, so the process never ends with a card's handles still open.
#include <CLI/CLI.hpp>

#include <cstdint>
#include <exception>
#include <functional>
#include <iostream>
#include <string>

#include "cli/commands.h"
#include "link/d2xx_library.h"
#include "link/interruption.h"

namespace {

const char kBaudHelp[] = "Choose baud rate for serial connection to NEXIR";

std::int32_t withD2xx(const std::function<std::int32_t()>& command) {
    if (!loadD2xxLibrary(std::cout)) return -1;
    return command();
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"NEXIR FPGA FW and SW Update Application - Version 1.0"};
    app.require_subcommand(1);
    CLI::App* log = app.add_subcommand("log", "Print system status e.g nexir version and current boot image");
    CLI::App* update = app.add_subcommand("update", "Update either the FPGA or the Linux host software");
    CLI::App* boot = app.add_subcommand(
        "boot",
        "TODO:Choose next boot image - golden firmware image, <GOLD>, or standard image, <STD>");

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
    update->add_option("-f, --file", file, "Path to the update file")->required()->check(CLI::ExistingFile);
    update->add_flag("-r, --reconfigure", reconfigure,
                     "Restart the NEXIR automatically after the update has completed");
    update->add_flag("-v, --skip_verify", skipVerify,
                     "Write directly to flash without verifying against copy in memory (not advised)");
    update->add_option("-s, --slot", slot, "Choose KRO slot to interact with")->required();
    update->callback([&] {
        status = withD2xx([&] {
            return updateCommand(updateBaud, slot, type, which, file, skipVerify, reconfigure);
        });
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
    boot->callback([&] { status = withD2xx([&] { return bootCommand(bootBaud); }); });

    installInterruptionHandlers();
    try {
        app.parse(argc, argv);
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
