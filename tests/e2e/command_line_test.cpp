// The command line is checked completely before the D2XX library is even loaded: every
// rejection comes with CLI11's message and exit code and no call to a device. The --help
// texts need no library either, and docs/hardware.md quotes each of them.
#if defined(_WIN32)
#include <windows.h>
#endif

#include <cctype>

#include "fixture.h"

TEST(CommandLine, RejectionsComeWithTheirExitCodeAndNoDeviceCall) {
    const std::string file = e2e::imageFile("image");
    const std::string folder = makeTempDir();
    auto update = [&](const std::string& type, const std::string& which, const std::string& path) {
        return std::vector<std::string>{"update", "-b", "9600", "-t", type, "-w", which, "-f", path, "-s", "1"};
    };
    std::vector<std::tuple<std::vector<std::string>, int, std::string>> rejections = {
        {{}, 106, "A subcommand is required"},
        {{"log"}, 106, "--baud is required"},
        {{"boot", "-b", "9600"}, 106, "--image is required"},
        {{"update", "-b", "9600", "-t", "FPGA", "-w", "STD", "-f", file}, 106, "--slot is required"},
        {update("fpga", "STD", file), 105, "--type: fpga not in {SW,FPGA}"},
        {update("FPGA", "gold", file), 105, "--which: gold not in {STD,GOLD}"},
        {update("FPGA", "STD", folder), 105, "--file: File is actually a directory: " + folder},
        {update("FPGA", "STD", folder + "/missing"), 105, "--file: File does not exist: " + folder + "/missing"},
        {{"boot", "-b", "9600", "-i", "GOLD"}, 105, "--image: GOLD not in {gold,std}"},
        {{"log", "-b", "9600", "boot"}, 109, "The following argument was not expected: boot"},
        {{"log", "-b"}, 114, "--baud: 1 required UINT missing"},
        {{"log", "-b", "1", "-b", "2"}, 114, "--baud: At Most 1 required but received 2"},
        {{"update", "-b", "9600", "-t", "SW", "-w", "STD", "-f", file, "-s", "1", "--skip-verify"},
         109,
         "The following argument was not expected: --skip-verify"},
    };
    for (const char* baud : {"fast", "-1", "4294967296", "9600x"}) {
        rejections.push_back({{"log", "-b", baud}, 104, std::string("Could not convert: --baud = ") + baud});
    }
    for (const auto& [args, exitCode, message] : rejections) {
        const ProgramRun run = runUpdater(args);
        EXPECT_EQ(run.exitCode, exitCode) << message;
        EXPECT_EQ(run.out + run.callLog, "") << message;
        EXPECT_EQ(run.err, message + "\nRun with --help for more information.\n");
    }
}

#if defined(_WIN32)
// The system's own text for an error code.
static std::string systemMessage(DWORD code) {
    char text[512] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text,
                   nullptr);
    std::string message = text;
    while (!message.empty() && std::isspace(static_cast<unsigned char>(message.back()))) message.pop_back();
    return message;
}
#endif

// One line, exit code 1, when the folder the program loads from has no library, or on
// Windows one that lacks an ordinal (FT_GetStatus at 20 instead of 21). NEXIR_DRIVER=d2xx
// asks for FTDI's library only (on Linux libftdi1 would stand in for it otherwise).
TEST(CommandLine, MissingOrIncompleteLibraryIsReportedAndFails) {
    std::vector<std::pair<std::string, std::string>> cases = {
#if defined(_WIN32)
        {makeTempDir(), "FTD2XX.dll: " + systemMessage(ERROR_MOD_NOT_FOUND)},
        {NEXIR_WRONG_ORDINAL_BENCH_DIR,
         "FTD2XX.dll: FT_GetStatus (ordinal 21): " + systemMessage(ERROR_PROC_NOT_FOUND)},
#else
        {makeTempDir(), "libftd2xx.so: libftd2xx.so: cannot open shared object file: No such file or directory"},
#endif
    };
    for (const auto& [folder, reason] : cases) {
        const ProgramRun run = runUpdater({"log", "-b", "9600"}, {"", folder, {"NEXIR_DRIVER=d2xx"}, 180, "", {}});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.out, "error: could not load FTDI D2XX library " + reason + "\n");
        EXPECT_EQ(run.callLog, "");
    }
}

// A NEXIR_DRIVER the program does not know, and libftdi on Windows, are refused with one
// line before any driver is loaded.
TEST(CommandLine, UnknownDriverIsRefused) {
    std::vector<std::pair<std::string, std::string>> cases = {
        {"NEXIR_DRIVER=ftd2xx", "error: NEXIR_DRIVER=ftd2xx names no driver; use d2xx"}};
#if defined(_WIN32)
    cases.push_back({"NEXIR_DRIVER=libftdi", "error: NEXIR_DRIVER=libftdi: there is no libftdi1 driver on Windows"});
#endif
    for (const auto& [setting, message] : cases) {
        const ProgramRun run = runUpdater({"log", "-b", "9600"}, {"", "", {setting}, 180, "", {}});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.out.rfind(message, 0), 0u) << run.out;
        EXPECT_EQ(e2e::occurrences(run.out, "\n"), 1u) << run.out;
        EXPECT_EQ(run.err + run.callLog, "");
    }
}

// The program runs as "nexir-updater", its name once installed, with no library. The
// documented text is the code block right under the line "<!-- help: <command> -->".
// --version needs no library either.
TEST(CommandLine, HelpTextsNeedNoLibraryAndAreQuotedInTheDocs) {
    const std::string doc = readFile(NEXIR_HARDWARE_DOC);
    for (const std::string command : {"", "log", "update", "boot"}) {
        const std::string marker = "<!-- help: " + command + " -->\n```";
        EXPECT_EQ(e2e::occurrences(doc, marker), 1u) << marker << " in " << NEXIR_HARDWARE_DOC;
        const std::size_t block = doc.find('\n', doc.find(marker) + marker.size()) + 1;
        std::vector<std::string> args = {"--help"};
        if (!command.empty()) args.insert(args.begin(), command);
        const ProgramRun run = runUpdater(args, {"", makeTempDir(), {}, 180, "nexir-updater", {}});
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.err + run.callLog, "");
        EXPECT_EQ(run.out, doc.substr(block, doc.find("\n```", block) + 1 - block)) << command;
    }
    const ProgramRun version = runUpdater({"--version"}, {"", makeTempDir(), {}, 180, "nexir-updater", {}});
    EXPECT_EQ(version.out + version.err, "nexir-updater 1.0\n");
    EXPECT_EQ(version.exitCode, 0);
}
