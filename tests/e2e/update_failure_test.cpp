// Updates that fail: each way the update procedure gives up, what it prints, what it
// still sends to the card (an abort, or nothing), and the exit code 1.
#include <filesystem>

#include "fixture.h"

using namespace e2e;

namespace {

const char kTransferTimeout[] = "Error: Update timeout while waiting for file transfer, aborting automatically: ";
const char kFailLine[] = "Received 'EVT FW_UPGRADE_STATUS FAIL\n' . Upgrade failed\n";

const char kSubscribe[] = "SET EVT_ENA FW_UPGRADE_STATUS ON\n";
const char kAbort[] = "SET FW_ABORT_UPGRADE\n";
const char kToldToAbort[] = "The card was told to abort the upgrade: RSET FW_ABORT_UPGRADE OK\n";

// Exit code 1, nothing on standard error, `out` with the times masked and the upload
// bars left out (their percentages depend on the clock), `sent` to the card after its
// slot query, and every handle closed.
void expectFailure(const ProgramRun& run, const std::string& out, const std::vector<std::string>& sent) {
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(withoutUploadBars(maskTimes(run.out), 4), maskTimes(out));
    std::vector<std::string> commands = {"GET HW_SLOT_ID\n"};
    commands.insert(commands.end(), sent.begin(), sent.end());
    EXPECT_EQ(uartCommands(run.callLog), commands);
    expectEveryHandleClosedOnce(run);
}

}  // namespace

TEST(UpdateFailure, SubscriptionAnswerMustBeExactlyTheOkLine) {
    const std::string path = imageFile(patternBytes(100));
    for (const auto& [cardExtras, shown] : std::vector<std::pair<std::string, std::string>>{
             {R"("subscription_answer": "RSET EVT_ENA FW_UPGRADE_STATUS OK\r\n")",
              "RSET EVT_ENA FW_UPGRADE_STATUS OK\r\n"},
             {R"("answers": {"SET EVT_ENA FW_UPGRADE_STATUS ON": null})", "TIMEOUT"}}) {
        SCOPED_TRACE(cardExtras);
        const ProgramRun run = runOn(oneCardScenario(kQuickCard, cardExtras), updateArgs("FPGA", "STD", path));
        EXPECT_EQ(run.out,
                  "Subscribing to upgrade events\nSubscription failed: '" + shown + "'\n" + durationTable(4, "0"));
        expectFailure(run, run.out, {kSubscribe});
        EXPECT_TRUE(callsOf(run.callLog, "FT_Write", kFifoDevice).empty());
    }
}

// A FIFO channel whose last set-up call failed, or that never opened, stops the update
// after the request and before any byte goes out; the card, which has accepted the
// request, is told to abort.
TEST(UpdateFailure, FifoChannelNotOkStopsBeforeTheTransfer) {
    const std::string path = imageFile(patternBytes(100));
    const std::string request = "SET FW_UPGRADE SW 132 STD SKIP_VERIFY\n";
    for (const auto& [faults, discoveryLines] : std::vector<std::pair<std::string, std::string>>{
             {R"("faults": [{"function": "FT_Purge", "device": 0, "status": 4, "times": "always"}])", ""},
             {R"("faults": [{"function": "FT_Open", "device": 0, "status": 3, "times": "always"}])",
              "error: could not read EEPROM\n"}}) {
        SCOPED_TRACE(faults);
        const ProgramRun run =
            runOn(oneCardScenario(kQuickCard, "", faults), updateArgs("SW", "STD", path, "1", {"-v"}));
        expectFailure(run,
                      discoveryLines + preamble(request) + "Error: Fifo is not ok\n" + kToldToAbort + durationTable(3),
                      {kSubscribe, request, kAbort});
        EXPECT_TRUE(callsOf(run.callLog, "FT_Write", kFifoDevice).empty());
    }
}

// A card that sends nothing while it is still taking the image: the first silent read
// aborts, and the transfer is stopped rather than carried to its end. From a card that
// no longer takes any data, the write in progress is given up soon after the abort
// instead of blocking the program for good.
TEST(UpdateFailure, SilenceDuringTheTransferAborts) {
    struct Case {
        const char* card;
        std::size_t taken;  // what the card takes in all; 0: as much as it can until the abort
        double seconds;
    };
    const std::string file = patternBytes(256 * 1024);
    const std::string image = expectedUploadImage(file, "FPGA");
    const std::string request = upgradeRequest("FPGA", image.size(), "STD");
    // Eight seconds of upload at 32 KiB/s, the abort after about two; or 4096 bytes.
    for (const Case& c :
         {Case{R"({"rate_bytes_per_s": 32768, "event_interval_ms": 100, "silent_during_transfer": true})", 0, 7},
          Case{R"({"event_interval_ms": 100, "silent_during_transfer": true, "stop_taking_after": 4096})", 4096, 10}}) {
        SCOPED_TRACE(c.card);
        const FifoDump dump;
        const ProgramRun run =
            runOn(oneCardScenario(c.card), updateArgs("FPGA", "STD", imageFile(file)), {dump.env()});
        expectFailure(run, preamble(request) + abortLines(kTransferTimeout) + durationTable(4),
                      {kSubscribe, request, kAbort});
        const std::string received = dump.received();
        EXPECT_LT(received.size(), image.size()) << "the transfer goes on after the abort";
        EXPECT_EQ(received, image.substr(0, c.taken ? c.taken : received.size()));
        EXPECT_LT(run.seconds, c.seconds);
    }
}

TEST(UpdateFailure, FailEventDuringTheTransferEndsTheUpdate) {
    // About a second of upload; the card gives up on its way to 50 %.
    const char card[] = R"({"rate_bytes_per_s": 400000, "event_interval_ms": 100, "fail_at_stage": 1})";
    const ProgramRun run =
        runOn(oneCardScenario(card), updateArgs("FPGA", "GOLD", imageFile(patternBytes(400 * 1000)), "1", {"-r"}));

    const std::string request = upgradeRequest("FPGA", 400032, "GOLD", false, true);
    expectFailure(run, preamble(request) + kFailLine + durationTable(4), {kSubscribe, request});
    EXPECT_NE(run.out.find("% step 1 of 4: Uploading update      Received 'EVT"), std::string::npos)
        << "the FAIL line follows the progress line directly";
    EXPECT_LT(run.seconds, 10.0);
}

TEST(UpdateFailure, FailEventAfterTheTransferEndsTheUpdateOnAFreshLine) {
    const char card[] = R"({"event_interval_ms": 100, "stage_ms": [200, 400, 200], "fail_at_stage": 3})";
    const ProgramRun run = runOn(oneCardScenario(card), updateArgs("FPGA", "STD", imageFile(patternBytes(1000))));

    // The flash write fails where it would have reached 50 %.
    const std::string request = "SET FW_UPGRADE FPGA 1032 STD\n";
    expectFailure(run, preamble(request) + bar(2, 0, 4) + bar(2, 50, 4) + bar(2, 100, 4) + bar(3, 0, 4) +
                           bar(3, 25, 4) + "\n" + kFailLine + durationTable(4),
                  {kSubscribe, request});
    EXPECT_NE(run.out.find(preamble(request) + bar(1, 100, 4) + bar(2, 0, 4)), std::string::npos);
}

// The library refuses the write: the task's own message, no abort, no "Update Failed".
TEST(UpdateFailure, FailedWriteReportsTheLibraryStatus) {
    const ProgramRun run = runOn(oneCardScenario(R"({"event_interval_ms": 100, "write_status": 4})"),
                                 updateArgs("SW", "STD", imageFile(patternBytes(1000))));

    const std::string request = "SET FW_UPGRADE SW 1032 STD\n";
    expectFailure(run, preamble(request) + "error: 4\n" + kToldToAbort + durationTable(4),
                  {kSubscribe, request, kAbort});
    const auto writes = callsOf(run.callLog, "FT_Write", kFifoDevice);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].value("status", 0), 4);
}

// Files of 2 GiB and more cannot be announced: refused before anything is sent to the
// card. The files are sparse, so they take no room.
TEST(UpdateFailure, FileOfTwoGibibytesOrMoreIsRefused) {
    for (const std::uintmax_t size : {std::uintmax_t{1} << 31, (std::uintmax_t{1} << 32) + 5}) {
        SCOPED_TRACE(size);
        const std::string path = imageFile("");
        std::filesystem::resize_file(path, size);
        const ProgramRun run = runOn(oneCardScenario(), updateArgs("FPGA", "STD", path, "1", {"-v"}));
        EXPECT_EQ(run.out, "error: update file is too large (the limit is just under 2 GiB)\n" + durationTable(3, "0"));
        expectFailure(run, run.out, {});
    }
}
