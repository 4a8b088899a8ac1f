// Updates that fail: each way the update procedure gives up, what it prints, what it
// still sends to the card (an abort, or nothing), and the exit code 1.
#include <filesystem>

#include "update_fixture.h"

using namespace update_e2e;

namespace {

const char kTransferTimeout[] = "Error: Update timeout while waiting for file transfer, aborting automatically: ";

const std::vector<std::string> kUpToRequest = {"GET HW_SLOT_ID\n", "SET EVT_ENA FW_UPGRADE_STATUS ON\n"};

std::vector<std::string> commandsUpTo(const std::string& request, const std::vector<std::string>& more = {}) {
    std::vector<std::string> commands = kUpToRequest;
    commands.push_back(request);
    commands.insert(commands.end(), more.begin(), more.end());
    return commands;
}

}  // namespace

TEST(UpdateFailure, SubscriptionAnswerMustBeExactlyTheOkLine) {
    struct Case {
        const char* cardExtras;
        std::string shown;
    };
    const std::string path = imageFile(patternBytes(100));
    for (const Case& c : std::vector<Case>{
             {R"("subscription_answer": "RSET EVT_ENA FW_UPGRADE_STATUS OK\r\n")",
              "RSET EVT_ENA FW_UPGRADE_STATUS OK\r\n"},
             {R"("answers": {"SET EVT_ENA FW_UPGRADE_STATUS ON": null})", "TIMEOUT"},
         }) {
        SCOPED_TRACE(c.cardExtras);
        const ProgramRun run =
            runUpdater(updateArgs("FPGA", "STD", path), onBench(oneCardScenario(kQuickCard, c.cardExtras)));

        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out, "Subscribing to upgrade events\nSubscription failed: '" + c.shown + "'\n" +
                               "\n--------- Stage Durations ----------\n"
                               "Uploading update       >> 0 seconds.\n"
                               "Checking CRC           >> 0 seconds.\n"
                               "Writing to flash       >> 0 seconds.\n"
                               "Verifying flash write  >> 0 seconds.\n");
        EXPECT_EQ(uartCommands(run.callLog), kUpToRequest);
        EXPECT_TRUE(callsOn(run.callLog, "FT_Write", kFifoDevice).empty());
        expectEveryHandleClosedOnce(run);
    }
}

// A FIFO channel whose last set-up call failed, or that never opened, stops the update
// after the request and before any byte goes out; the card is not sent an abort.
TEST(UpdateFailure, FifoChannelNotOkStopsBeforeTheTransfer) {
    struct Case {
        const char* faults;
        std::string discoveryLines;
    };
    const std::string path = imageFile(patternBytes(100));
    for (const Case& c : std::vector<Case>{
             {R"("faults": [{"function": "FT_Purge", "device": 0, "status": 4, "times": "always"}])", ""},
             {R"("faults": [{"function": "FT_Open", "device": 0, "status": 3, "times": "always"}])",
              "error: could not read EEPROM\n"},
         }) {
        SCOPED_TRACE(c.faults);
        const ProgramRun run = runUpdater(updateArgs("SW", "STD", path, "1", {"-v"}),
                                          onBench(oneCardScenario(kQuickCard, "", c.faults)));

        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(maskDurations(run.out), c.discoveryLines + preamble("SET FW_UPGRADE SW 132 STD SKIP_VERIFY\n") +
                                              "Error: Fifo is not ok\n" + durationTable(3));
        EXPECT_EQ(uartCommands(run.callLog), commandsUpTo("SET FW_UPGRADE SW 132 STD SKIP_VERIFY\n"));
        EXPECT_TRUE(callsOn(run.callLog, "FT_Write", kFifoDevice).empty());
        expectEveryHandleClosedOnce(run);
    }
}

// A card that sends nothing while it is still taking the image: the first silent read
// aborts, and the transfer is stopped rather than carried to its end.
TEST(UpdateFailure, SilenceDuringTheTransferAborts) {
    const std::string file = patternBytes(256 * 1024);
    const std::string image = expectedUploadImage(file, "FPGA");
    const FifoDump dump;
    // Eight seconds of upload at 32 KiB/s; the abort comes after about two.
    const char card[] = R"({"rate_bytes_per_s": 32768, "event_interval_ms": 100, "silent_during_transfer": true})";
    const ProgramRun run = runUpdater(updateArgs("FPGA", "STD", imageFile(file)),
                                      onBench(oneCardScenario(card), {dump.env()}));

    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "");
    const std::string request = upgradeRequest("FPGA", image.size(), "STD");
    EXPECT_EQ(maskDurations(run.out), preamble(request) + abortLines(kTransferTimeout) + durationTable(4));
    EXPECT_EQ(uartCommands(run.callLog), commandsUpTo(request, {"SET FW_ABORT_UPGRADE\n"}));
    const std::string received = dump.received();
    EXPECT_LT(received.size(), image.size()) << "the transfer goes on after the abort";
    EXPECT_EQ(received, image.substr(0, received.size()));
    EXPECT_LT(run.seconds, 7.0);
    expectEveryHandleClosedOnce(run);
}

// The same silence from a card that no longer takes any data: the write in progress is
// given up soon after the abort instead of blocking the program for good.
TEST(UpdateFailure, SilentCardThatStoppedTakingDataIsLeftWithinSeconds) {
    const std::string file = patternBytes(64 * 1024);
    const std::string image = expectedUploadImage(file, "SW");
    const FifoDump dump;
    const char card[] = R"({"event_interval_ms": 100, "silent_during_transfer": true, "stop_taking_after": 4096})";
    const ProgramRun run = runUpdater(updateArgs("SW", "GOLD", imageFile(file)),
                                      onBench(oneCardScenario(card), {dump.env()}));

    EXPECT_EQ(run.exitCode, 1);
    EXPECT_LT(run.seconds, 10.0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(maskDurations(run.out),
              preamble(upgradeRequest("SW", image.size(), "GOLD")) + abortLines(kTransferTimeout) + durationTable(4));
    EXPECT_EQ(uartCommands(run.callLog).back(), "SET FW_ABORT_UPGRADE\n");
    EXPECT_EQ(dump.received(), image.substr(0, 4096));
    expectEveryHandleClosedOnce(run);
}

TEST(UpdateFailure, FailEventDuringTheTransferEndsTheUpdate) {
    const std::string file = patternBytes(400 * 1000);
    const std::string image = expectedUploadImage(file, "FPGA");
    // About a second of upload; the card gives up on its way to 50 %.
    const char card[] = R"({"rate_bytes_per_s": 400000, "event_interval_ms": 100, "fail_at_stage": 1})";
    const ProgramRun run =
        runUpdater(updateArgs("FPGA", "GOLD", imageFile(file), "1", {"-r"}), onBench(oneCardScenario(card)));

    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "");
    int uploadBars = 0;
    EXPECT_EQ(withoutUploadBars(maskDurations(run.out), 4, &uploadBars),
              preamble(upgradeRequest("FPGA", image.size(), "GOLD", false, true)) +
                  "Received 'EVT FW_UPGRADE_STATUS FAIL\n' . Upgrade failed\n" + durationTable(4));
    EXPECT_GE(uploadBars, 1);
    EXPECT_NE(run.out.find("% step 1 of 4: Uploading update      Received 'EVT"), std::string::npos)
        << "the FAIL line follows the progress line directly";
    EXPECT_EQ(uartCommands(run.callLog), commandsUpTo(upgradeRequest("FPGA", image.size(), "GOLD", false, true)));
    EXPECT_LT(run.seconds, 10.0);
    expectEveryHandleClosedOnce(run);
}

TEST(UpdateFailure, FailEventAfterTheTransferEndsTheUpdateOnAFreshLine) {
    const std::string path = imageFile(patternBytes(1000));
    const char card[] = R"({"event_interval_ms": 100, "stage_ms": [200, 400, 200], "fail_at_stage": 3})";
    const ProgramRun run = runUpdater(updateArgs("FPGA", "STD", path), onBench(oneCardScenario(card)));

    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "");
    // The flash write fails where it would have reached 50 %.
    EXPECT_EQ(maskDurations(run.out), preamble("SET FW_UPGRADE FPGA 1032 STD\n") + bar(1, 100, 4) + bar(2, 0, 4) +
                                          bar(2, 50, 4) + bar(2, 100, 4) + bar(3, 0, 4) + bar(3, 25, 4) +
                                          "\nReceived 'EVT FW_UPGRADE_STATUS FAIL\n' . Upgrade failed\n" +
                                          durationTable(4));
    EXPECT_EQ(uartCommands(run.callLog), commandsUpTo("SET FW_UPGRADE FPGA 1032 STD\n"));
    expectEveryHandleClosedOnce(run);
}

// The library refuses the write: the task's own message, no abort, no "Update Failed".
TEST(UpdateFailure, FailedWriteReportsTheLibraryStatus) {
    const ProgramRun run = runUpdater(updateArgs("SW", "STD", imageFile(patternBytes(1000))),
                                      onBench(oneCardScenario(R"({"event_interval_ms": 100, "write_status": 4})")));

    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(maskDurations(run.out),
              preamble("SET FW_UPGRADE SW 1032 STD\n") + "error: 4\n" + durationTable(4));
    EXPECT_EQ(uartCommands(run.callLog), commandsUpTo("SET FW_UPGRADE SW 1032 STD\n"));
    const auto writes = callsOn(run.callLog, "FT_Write", kFifoDevice);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].value("status", 0), 4);
    expectEveryHandleClosedOnce(run);
}

// Files of 2 GiB and more cannot be announced: refused before anything is sent to the
// card. The files are sparse, so they take no room.
TEST(UpdateFailure, FileOfTwoGibibytesOrMoreIsRefused) {
    for (const std::uintmax_t size : {std::uintmax_t{1} << 31, (std::uintmax_t{1} << 32) + 5}) {
        SCOPED_TRACE(size);
        const std::string path = imageFile("");
        std::filesystem::resize_file(path, size);
        const ProgramRun run = runUpdater(updateArgs("FPGA", "STD", path, "1", {"-v"}),
                                          onBench(oneCardScenario(kQuickCard)));

        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out, "error: update file is too large (the limit is just under 2 GiB)\n"
                           "\n--------- Stage Durations ----------\n"
                           "Uploading update       >> 0 seconds.\n"
                           "Checking CRC           >> 0 seconds.\n"
                           "Writing to flash       >> 0 seconds.\n");
        EXPECT_EQ(uartCommands(run.callLog), std::vector<std::string>{"GET HW_SLOT_ID\n"});
        expectEveryHandleClosedOnce(run);
    }
}
