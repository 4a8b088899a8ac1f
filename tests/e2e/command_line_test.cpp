// The command line is checked completely before the D2XX library is even loaded:
// every rejection comes with CLI11's message and exit code and no call to a device.
#include <gtest/gtest.h>

#include "program_run.h"

namespace {

struct Rejection {
    std::vector<std::string> args;
    int exitCode;
    std::string message;
};

void expectRejected(const Rejection& rejection) {
    const ProgramRun run = runUpdater(rejection.args);
    EXPECT_EQ(run.exitCode, rejection.exitCode);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, rejection.message + "\nRun with --help for more information.\n");
    EXPECT_EQ(run.callLog, "") << "no D2XX call before the command line is accepted";
}

std::string existingFile() {
    const std::string path = makeTempDir() + "/image.bin";
    writeFile(path, "image");
    return path;
}

}  // namespace

TEST(CommandLine, MissingSubcommandOrOptionIsARequiredError) {
    const std::string file = existingFile();
    for (const Rejection& rejection : std::vector<Rejection>{
             {{}, 106, "A subcommand is required"},
             {{"log"}, 106, "--baud is required"},
             {{"boot", "-b", "9600"}, 106, "--image is required"},
             {{"update", "-b", "9600", "-t", "FPGA", "-w", "STD", "-f", file}, 106, "--slot is required"},
         }) {
        expectRejected(rejection);
    }
}

TEST(CommandLine, ValuesOutsideTheirSetsAreValidationErrors) {
    const std::string file = existingFile();
    const std::string folder = makeTempDir();
    auto update = [&](const std::string& type, const std::string& which, const std::string& path) {
        return std::vector<std::string>{"update", "-b", "9600", "-t", type, "-w", which, "-f", path, "-s", "1"};
    };
    for (const Rejection& rejection : std::vector<Rejection>{
             {update("fpga", "STD", file), 105, "--type: fpga not in {SW,FPGA}"},
             {update("FPGA", "gold", file), 105, "--which: gold not in {STD,GOLD}"},
             {update("FPGA", "STD", folder), 105, "--file: File is actually a directory: " + folder},
             {update("FPGA", "STD", folder + "/missing"), 105,
              "--file: File does not exist: " + folder + "/missing"},
             {{"boot", "-b", "9600", "-i", "GOLD"}, 105, "--image: GOLD not in {gold,std}"},
         }) {
        expectRejected(rejection);
    }
}

TEST(CommandLine, BaudRateMustBeAnUnsigned32BitNumber) {
    for (const char* baud : {"fast", "-1", "4294967296", "9600x"}) {
        expectRejected({{"log", "-b", baud}, 104, std::string("Could not convert: --baud = ") + baud});
    }
}

TEST(CommandLine, ExtraArgumentsAndSecondSubcommandsAreRejected) {
    const std::string file = existingFile();
    expectRejected({{"log", "-b", "9600", "boot"}, 109, "The following argument was not expected: boot"});
    expectRejected({{"update", "-b", "9600", "-t", "SW", "-w", "STD", "-f", file, "-s", "1", "--skip-verify"},
                    109,
                    "The following argument was not expected: --skip-verify"});
}

TEST(CommandLine, HelpNeedsNoLibraryAndExitsWithZero) {
    const ProgramRun run = runUpdater({"update", "--help"}, {"", "/nonexistent", {}, 60});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find("Update either the FPGA or the Linux host software"), std::string::npos);
    for (const char* option : {"-h,--help", "-b,--baud UINT REQUIRED", "-t,--type TEXT:{SW,FPGA} REQUIRED",
                               "-w,--which TEXT:{STD,GOLD} REQUIRED", "-f,--file TEXT:FILE REQUIRED",
                               "-r,--reconfigure", "-v,--skip_verify", "-s,--slot TEXT REQUIRED"}) {
        EXPECT_NE(run.out.find(option), std::string::npos) << option;
    }
    EXPECT_EQ(run.err, "");
}

TEST(CommandLine, MissingLibraryIsReportedAndFails) {
    const ProgramRun run = runUpdater({"log", "-b", "9600"}, {"", makeTempDir(), {}, 60});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out,
              "error: could not load FTDI D2XX library libftd2xx.so: libftd2xx.so: cannot open shared "
              "object file: No such file or directory\n");
}
