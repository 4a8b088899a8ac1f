// Updates that end on the clock. These wait on real time-outs (an event read gives up
// after 2000 empty polls, about two seconds), so there are few of them; each one is its
// own ctest test and they run side by side.
//
// The call log shows how many event reads timed out in a row: a read that times out
// makes exactly 2000 empty polls, which the bench logs as runs of "polls".
#include "fixture.h"

using namespace e2e;

namespace {

constexpr long kPollsPerSilentRead = 2000;

// The card takes the image at once and reports 100 % for it 50 ms after the request,
// then goes silent: its later stages last a minute each and send nothing. `line` comes
// 5 s after the request, in the second or third event read after the transfer (each
// times out after 2000 sleeps of a millisecond, about 2 s on Linux and up to half as
// long again under Wine; `line` is JSON text). The update must abort at the sixth
// silent read, counted from the line when it `restarts` the count, else from the
// 100 %, printing `shown` for the line and `err`.
void expectAbortAfterSilentReads(const std::string& line, bool restarts, const std::string& shown,
                                 const std::string& err) {
    const ProgramRun run = runOn(oneCardScenario(R"({"event_interval_ms": 50, "stage_ms": [60000, 60000, 60000],
      "silent_after_transfer": true, "extra_lines": [{"stage": 1, "at_ms": 5000, "data": ")" + line + R"("}]})"),
                                 updateArgs("SW", "STD", imageFile(patternBytes(1000))));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, err);
    EXPECT_EQ(maskTimes(run.out), preamble("SET FW_UPGRADE SW 1032 STD\n") + bar(1, 100, 4) + shown +
                                      abortLines("Error: Update timeout, aborting automatically: ") + durationTable(4));
    expectEveryHandleClosedOnce(run);

    // The UART's reads and writes in order, with the empty polls before each.
    std::vector<std::pair<std::string, long>> steps;
    long silent = 0;
    for (const json& call : callsOf(run.callLog, "", kUartDevice)) {
        if (call["fn"] == "FT_GetStatus" && call.value("rx", 0) == 0) {
            silent += call.value("polls", 1L);
        } else if (call["fn"] == "FT_Read" || call["fn"] == "FT_Write") {
            steps.emplace_back(call.value("text", ""), silent);
            silent = 0;
        }
    }
    auto find = [&](const std::string& text, std::size_t from) {
        std::size_t i = from;
        while (i < steps.size() && steps[i].first != text) ++i;
        return i;
    };
    const std::size_t extra = find(line.substr(0, line.size() - 2) + "\n", find("EVT FW_UPGRADE_STATUS 1 100\n", 0));
    ASSERT_LT(extra + 1, steps.size());
    ASSERT_EQ(steps[extra + 1].first, "SET FW_ABORT_UPGRADE\n");
    const long before = steps[extra].second / kPollsPerSilentRead;
    ASSERT_GE(before, 1) << "the line must come while the count is already running";
    EXPECT_EQ(steps[extra + 1].second, (restarts ? 6 : 6 - before) * kPollsPerSilentRead);
}

}  // namespace

// A line that is no event neither breaks a row of silent reads nor adds to it: the
// sixth silent read in all aborts.
TEST(UpdateTimeouts, MalformedLineDoesNotRestartTheCountOfSilentReads) {
    expectAbortAfterSilentReads(
        "garbage\\n", false,
        "Error2: Malformed response. Looking for 2 param response FW_UPGRADE_STATUS, got: 'garbage\n'\n", "");
}

// Any four-word line starts the count again, even one whose numbers do not convert:
// six more silent reads follow it before the abort.
TEST(UpdateTimeouts, StatusEventThatDoesNotConvertStillRestartsTheCount) {
    expectAbortAfterSilentReads("EVT FW_UPGRADE_STATUS 2 abc\\n", true, "",
                                "Error1: Invalid argument: invalid stoi argument\n");
}

TEST(UpdateTimeouts, FourWordLineOfAnotherEventRestartsTheCount) {
    expectAbortAfterSilentReads("EVT TEMPERATURE 1 40\\n", true, "", "");
}

// A card that keeps reporting but no longer takes data: the program gives the transfer
// up after a minute without progress. (This one takes a minute.) Events a second apart:
// a busy machine (sanitizers, parallel tests) must not stall the reader long enough for
// two of them to arrive in one read.
TEST(UpdateTimeouts, CardThatStopsTakingDataIsGivenUpAfterAMinute) {
    const std::string image = expectedUploadImage(patternBytes(16 * 1024), "FPGA");
    ASSERT_EQ(image.size(), 16416u);
    const FifoDump dump;
    const ProgramRun run =
        runOn(oneCardScenario(R"({"event_interval_ms": 1000, "stop_taking_after": 4096, "intake_timeout_ms": 0})"),
              updateArgs("FPGA", "STD", imageFile(patternBytes(16 * 1024))), {dump.env()}, 150);

    EXPECT_EQ(run.exitCode, 1);
    EXPECT_GE(run.seconds, 59.0);
    EXPECT_LT(run.seconds, 75.0);
    EXPECT_EQ(run.err, "");
    // 4096 of 16416 bytes: the card reports 24 % all along.
    int uploadBars = 0;
    EXPECT_EQ(withoutUploadBars(maskTimes(run.out), 4, &uploadBars),
              preamble("SET FW_UPGRADE FPGA 16416 STD\n") +
                  "error: card stopped taking data after 4096 of 16416 bytes\n" +
                  "The card was told to abort the upgrade: RSET FW_ABORT_UPGRADE OK\n" + durationTable(4));
    EXPECT_GE(uploadBars, 50);
    int bars24 = 0;
    for (auto at = run.out.find(bar(1, 24, 4)); at != std::string::npos; at = run.out.find(bar(1, 24, 4), at + 1)) {
        ++bars24;
    }
    EXPECT_EQ(bars24, uploadBars) << "every upload bar shows 24 %";
    // The card, still waiting for the rest, is told to abort.
    EXPECT_EQ(uartCommands(run.callLog).back(), "SET FW_ABORT_UPGRADE\n");
    EXPECT_EQ(dump.received(), image.substr(0, 4096));
    expectEveryHandleClosedOnce(run);
}
