// The command line is checked completely before the D2XX library is even loaded:
// every rejection comes with CLI11's message and exit code and no call to a device.
// The --help texts need no library either, and docs/hardware.md quotes each of them.
#if defined(_WIN32)
#include <windows.h>
#endif

#include <cctype>
#include <fstream>

#include "fixture.h"

TEST(CommandLine, RejectionsComeWithTheirExitCodeAndNoDeviceCall) {
    const std::string file = e2e::imageFile("image");
    const std::string folder = makeTempDir();
    auto update = [&](const std::string& type, const std::string& which, const std::string& path) {
        return std::vector<std::string>{"update", "-b", "9600", "-t", type, "-w", which, "-f", path, "-s", "1"};
    };
    struct Rejection {
        std::vector<std::string> args;
        int exitCode;
        std::string message;
    };
    std::vector<Rejection> rejections = {
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
        {{"update", "-b", "9600", "-t", "SW", "-w", "STD", "-f", file, "-s", "1", "--skip-verify"}, 109,
         "The following argument was not expected: --skip-verify"},
    };
    for (const char* baud : {"fast", "-1", "4294967296", "9600x"}) {
        rejections.push_back({{"log", "-b", baud}, 104, std::string("Could not convert: --baud = ") + baud});
    }
    for (const Rejection& rejection : rejections) {
        SCOPED_TRACE(rejection.message);
        const ProgramRun run = runUpdater(rejection.args);
        EXPECT_EQ(run.exitCode, rejection.exitCode);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, rejection.message + "\nRun with --help for more information.\n");
        EXPECT_EQ(run.callLog, "") << "no D2XX call before the command line is accepted";
    }
}

#if defined(_WIN32)
// The system's own text for an error code.
static std::string systemMessage(DWORD code) {
    char text[512] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                   sizeof text, nullptr);
    std::string message = text;
    while (!message.empty() && std::isspace(static_cast<unsigned char>(message.back()))) message.pop_back();
    return message;
}
#endif

// One line, exit code 1, when the folder the program loads from has no library, or on
// Windows one that lacks an ordinal (FT_GetStatus at 20 instead of 21).
TEST(CommandLine, MissingOrIncompleteLibraryIsReportedAndFails) {
    std::vector<std::pair<std::string, std::string>> cases = {
#if defined(_WIN32)
        {makeTempDir(), "FTD2XX.dll: " + systemMessage(ERROR_MOD_NOT_FOUND)},
        {NEXIR_WRONG_ORDINAL_BENCH_DIR, "FTD2XX.dll: FT_GetStatus (ordinal 21): " + systemMessage(ERROR_PROC_NOT_FOUND)},
#else
        {makeTempDir(), "libftd2xx.so: libftd2xx.so: cannot open shared object file: No such file or directory"},
#endif
    };
    for (const auto& [folder, reason] : cases) {
        const ProgramRun run = runUpdater({"log", "-b", "9600"}, {e2e::bundled("rack.json"), folder, {}, 60, ""});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.out, "error: could not load FTDI D2XX library " + reason + "\n");
        EXPECT_EQ(run.callLog, "");
    }
}

// The code block right under the line "<!-- help: <command> -->" of docs/hardware.md,
// with a line feed after every line; `found` counts the markers.
static std::string documentedHelp(const std::string& command, int& found) {
    std::ifstream doc(NEXIR_HARDWARE_DOC);
    const std::string marker = "<!-- help: " + command + " -->";
    std::string line, block;
    found = 0;
    while (std::getline(doc, line)) {
        if (line != marker) continue;
        ++found;
        if (!std::getline(doc, line) || line.rfind("```", 0) != 0) continue;
        while (std::getline(doc, line) && line != "```") block += line + "\n";
    }
    return block;
}

// The program runs as "nexir-updater", its name once installed, with no library.
TEST(CommandLine, HelpTextsNeedNoLibraryAndAreQuotedInTheDocs) {
    for (const std::string command : {"", "log", "update", "boot"}) {
        SCOPED_TRACE("help of '" + command + "'");
        int markers = 0;
        const std::string documented = documentedHelp(command, markers);
        EXPECT_EQ(markers, 1) << "markers in " << NEXIR_HARDWARE_DOC;
        EXPECT_FALSE(documented.empty()) << "no code block under the marker";

        std::vector<std::string> args = {"--help"};
        if (!command.empty()) args.insert(args.begin(), command);
        const ProgramRun run = runUpdater(args, {"", makeTempDir(), {}, 60, "nexir-updater"});
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out, documented);
        EXPECT_EQ(run.callLog, "");
    }
}
