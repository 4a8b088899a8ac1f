// Input that is wrong or hostile at the program's edges: odd command-line values,
// image paths that are no regular files, and card answers with NUL bytes, bytes above
// 127 or megabytes without a line feed. Each has a defined outcome and loses nothing.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "call_log.h"
#include "program_run.h"

namespace {

const char kOneCard[] = R"({"devices": [
    {"description": "KRO_NX|2.1 A", "serial": "NX0001A", "card": "card", "channel": "fifo"},
    {"description": "KRO_NX|2.1 B", "serial": "NX0001B", "card": "card", "channel": "uart"}],
  "cards": {"card": {"slot": 2, "fpga_version": "2.1.0", "sw_version": "1.4.2")";

RunOptions oneCard(const std::string& extraCardJson = "") {
    RunOptions options;
    options.scenarioJson = std::string(kOneCard) + extraCardJson + "}}}";
    return options;
}

ProgramRun runLog(const RunOptions& options) {
    return runUpdater({"log", "-b", "115200"}, options);
}

void expectAllHandlesClosedOnce(const ProgramRun& run) {
    for (const auto& [device, open] : openHandlesByDevice(run.callLog)) {
        EXPECT_EQ(open, 0) << "device " << device;
    }
}

const char kStageTable[] =
    "\n--------- Stage Durations ----------\n"
    "Uploading update       >> 0 seconds.\n"
    "Checking CRC           >> 0 seconds.\n"
    "Writing to flash       >> 0 seconds.\n"
    "Verifying flash write  >> 0 seconds.\n";

}  // namespace

TEST(BadInput, AnswersWithNulAndHighBytesArePrintedAsReceived) {
    const ProgramRun run = runLog(oneCard(R"(, "answers": {
        "GET HW_FW_VER": "RGET HW_FW_VER 2.\u0000\u00e91\n",
        "GET HW_SW_VER": "RGET HW_SW_VER \u00ff\u0001\n"})"));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, std::string("3 serial: NX0001A fpga:2.\0\xc3\xa9" "1 sw:\xc3\xbf\x01\n", 37));
}

TEST(BadInput, MegabytesWithoutALineFeedEndInTimeoutAndAreShownOnce) {
    const std::string flood(4 << 20, 'x');
    const ProgramRun run = runLog(oneCard(R"(, "answers": {"GET HW_SLOT_ID": ")" + flood + R"("})"));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out,
              "info: Partial response while reading uart message : '" + flood + "'\n" +
                  "Error: Cannot retrieve the slot ID of the card. Close NEXIR updater and try again in a few minutes\n"
                  "error: Issue found with card NX0001A update functions not available at this time\n"
                  "error: Failed to find any NEXIR cards that are ready to update\n"
                  "error: no available and ready NEXIR cards detected, exiting...\n");
    expectAllHandlesClosedOnce(run);
}

TEST(BadInput, BaudRateZeroReachesTheDriverWhichRefusesIt) {
    const ProgramRun run = runUpdater({"log", "-b", "0"}, oneCard());
    EXPECT_EQ(callsOf(run.callLog, "FT_SetBaudRate"),
              (std::vector<std::string>{R"({"baud":0,"dev":1,"fn":"FT_SetBaudRate","status":7})"}));
    // Only the timeouts decide whether the UART channel is usable; this card still answers.
    EXPECT_EQ(run.out, "3 serial: NX0001A fpga:2.1.0 sw:1.4.2\n");
    EXPECT_EQ(run.exitCode, 0);
}

TEST(BadInput, SlotTextsWithControlCharactersMatchNoCard) {
    const std::string image = makeTempDir() + "/image.bin";
    writeFile(image, "image");
    for (const char* slot : {"3\n", "3\t", "\x1b[3", "3\r"}) {
        const ProgramRun run =
            runUpdater({"update", "-b", "115200", "-t", "SW", "-w", "STD", "-f", image, "-s", slot}, oneCard());
        EXPECT_EQ(run.out, "error: no cards found in specified slot\n");
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(uartCommands(run.callLog), (std::vector<std::string>{"GET HW_SLOT_ID\n"}));
        expectAllHandlesClosedOnce(run);
    }
}

TEST(BadInput, ImagePathsThatAreNoRegularFilesAreRefusedBeforeTheCardHearsOfThem) {
    const std::string fifo = makeTempDir() + "/image.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, std::string("/dev/zero")}) {
        const ProgramRun run =
            runUpdater({"update", "-b", "115200", "-t", "SW", "-w", "STD", "-f", path, "-s", "3"}, oneCard());
        EXPECT_EQ(run.out, "error: could not read update file into memory\n" + std::string(kStageTable)) << path;
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(uartCommands(run.callLog), (std::vector<std::string>{"GET HW_SLOT_ID\n"}));
        expectAllHandlesClosedOnce(run);
    }
}
