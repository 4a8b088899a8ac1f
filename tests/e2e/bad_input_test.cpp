// Input that is wrong or hostile at the program's edges: odd command-line values,
// image paths that are no regular files, and card answers with NUL bytes, bytes above
// 127 or megabytes without a line feed. Each has a defined outcome and loses nothing.
#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "fixture.h"

using namespace e2e;

TEST(BadInput, AnswersWithNulAndHighBytesArePrintedAsReceived) {
    const ProgramRun run = runLog(oneCardScenario(kQuickCard, R"("answers": {
        "GET HW_FW_VER": "RGET HW_FW_VER 2.\u0000\u00e91\n",
        "GET HW_SW_VER": "RGET HW_SW_VER \u00ff\u0001\n"})"));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, std::string("1 serial: NX0001A fpga:2.\0\xc3\xa9" "1 sw:\xc3\xbf\x01\n", 37));
}

TEST(BadInput, MegabytesWithoutALineFeedEndInTimeoutAndAreShownOnce) {
    const std::string flood(4 << 20, 'x');
    const ProgramRun run = runLog(oneCardScenario(kQuickCard, R"("answers": {"GET HW_SLOT_ID": ")" + flood + R"("})"));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out,
              "info: Partial response while reading uart message : '" + flood + "'\n" +
                  "Error: Cannot retrieve the slot ID of the card. Close NEXIR updater and try again in a few minutes\n"
                  "error: Issue found with card NX0001A update functions not available at this time\n"
                  "error: Failed to find any NEXIR cards that are ready to update\n"
                  "error: no available and ready NEXIR cards detected, exiting...\n");
    expectEveryHandleClosedOnce(run);
}

TEST(BadInput, BaudRateZeroReachesTheDriverWhichRefusesIt) {
    const ProgramRun run = runOn(oneCardScenario(), {"log", "-b", "0"});
    EXPECT_EQ(dumps(callsOf(run.callLog, "FT_SetBaudRate")),
              (std::vector<std::string>{R"({"baud":0,"dev":1,"fn":"FT_SetBaudRate","status":7})"}));
    // Only the timeouts decide whether the UART channel is usable; this card still answers.
    EXPECT_EQ(run.out, "1 serial: NX0001A fpga:1.0.0 sw:1.0.0\n");
    EXPECT_EQ(run.exitCode, 0);
}

// Slots with control characters match no card; paths that are no regular files are
// refused before the card hears of them.
TEST(BadInput, SlotsWithControlCharactersAndImagesThatAreNoFiles) {
    const std::string noSlot = "error: no cards found in specified slot\n";
    std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {updateArgs("SW", "STD", imageFile("image"), "1\n"), noSlot},
        {updateArgs("SW", "STD", imageFile("image"), "1\t"), noSlot},
        {updateArgs("SW", "STD", imageFile("image"), "\x1b[1"), noSlot},
        {updateArgs("SW", "STD", imageFile("image"), "1\r"), noSlot},
    };
#if !defined(_WIN32)
    const std::string fifo = makeTempDir() + "/image.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string noFile = "error: could not read update file into memory\n" + durationTable(4, "0");
    cases.push_back({updateArgs("SW", "STD", fifo), noFile});
    cases.push_back({updateArgs("SW", "STD", "/dev/zero"), noFile});
#endif
    for (const auto& [args, out] : cases) {
        SCOPED_TRACE(args[8] + " in slot " + args[10]);
        const ProgramRun run = runOn(oneCardScenario(), args);
        EXPECT_EQ(run.out, out);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(uartCommands(run.callLog), (std::vector<std::string>{"GET HW_SLOT_ID\n"}));
        expectEveryHandleClosedOnce(run);
    }
#if defined(_WIN32)
    GTEST_SKIP() << "the slot cases ran; images that are named pipes or /dev/zero exist on POSIX systems only";
#endif
}

// A driver that keeps reporting bytes it then fails to deliver: every pass without data
// still waits its millisecond, so the slot query times out after a second, not at once.
TEST(BadInput, ReadsThatKeepFailingStillTakeTheWholeTimeOut) {
    const ProgramRun run = runLog(oneCardScenario(
        kQuickCard, "", R"("faults": [{"function": "FT_Read", "device": 1, "status": 4, "times": "always"}])"));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_GE(run.seconds, 1.0);
    EXPECT_NE(run.out.find("Error: Cannot retrieve the slot ID of the card."), std::string::npos);
    expectEveryHandleClosedOnce(run);
}
