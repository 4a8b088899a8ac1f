// Updates that end on the clock. These wait on real time-outs (an event read gives up
// after 2000 empty polls, about two seconds), so there are few of them; each one is its
// own ctest test and they run side by side.
//
// The call log shows how many event reads timed out in a row: a read that times out
// makes exactly 2000 empty polls, which the bench logs as runs of "polls".
#include "update_fixture.h"

using namespace update_e2e;

namespace {

constexpr long kPollsPerSilentRead = 2000;
const char kCompletionTimeout[] = "Error: Update timeout, aborting automatically: ";

// The card takes the image at once and reports 100 % for it 50 ms after the request,
// then goes silent: its later stages last a minute each and send nothing. `line` comes
// 3 s after the request, in the second event read after the transfer (the first one
// times out after about 2 s).
std::string silentAfterTransfer(const std::string& line) {
    return oneCardScenario(R"({"event_interval_ms": 50, "stage_ms": [60000, 60000, 60000],
      "silent_after_transfer": true,
      "extra_lines": [{"stage": 1, "at_ms": 3000, "data": ")" + line + R"("}]})");
}

struct SilentRow {
    long before = -1;  // silent reads between the 100 % event and the extra line
    long after = -1;   // empty polls between the extra line and the abort
};

SilentRow silentReadsAround(const ProgramRun& run, const std::string& line) {
    const auto steps = uartSteps(run.callLog);
    const std::size_t upload = findStep(steps, "EVT FW_UPGRADE_STATUS 1 100\n");
    const std::size_t extra = findStep(steps, line, upload);
    const std::size_t abort = findStep(steps, "SET FW_ABORT_UPGRADE\n", extra);
    SilentRow row;
    if (abort >= steps.size() || abort != extra + 1) return row;
    row.before = steps[extra].silentPolls / kPollsPerSilentRead;
    row.after = steps[abort].silentPolls;
    return row;
}

std::string abortedAfterUpload(const std::string& between) {
    return preamble("SET FW_UPGRADE SW 1032 STD\n") + bar(1, 100, 4) + between + abortLines(kCompletionTimeout) +
           durationTable(4);
}

}  // namespace

// A line that is no event neither breaks a row of silent reads nor adds to it: the
// sixth silent read in all aborts.
TEST(UpdateTimeouts, MalformedLineDoesNotRestartTheCountOfSilentReads) {
    const ProgramRun run = runUpdater(updateArgs("SW", "STD", imageFile(patternBytes(1000))),
                                      onBench(silentAfterTransfer("garbage\\n")));

    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(maskDurations(run.out),
              abortedAfterUpload(std::string("Error2: Malformed response. Looking for 2 param response "
                                             "FW_UPGRADE_STATUS, got: 'garbage\n'\n")));
    const SilentRow row = silentReadsAround(run, "garbage\n");
    ASSERT_GE(row.before, 1) << "the line must come while the count is already running";
    EXPECT_EQ(row.after, (6 - row.before) * kPollsPerSilentRead);
    expectEveryHandleClosedOnce(run);
}

// Any four-word line starts the count again, even one whose numbers do not convert:
// six more silent reads follow it before the abort.
TEST(UpdateTimeouts, StatusEventThatDoesNotConvertStillRestartsTheCount) {
    const ProgramRun run = runUpdater(updateArgs("SW", "STD", imageFile(patternBytes(1000))),
                                      onBench(silentAfterTransfer("EVT FW_UPGRADE_STATUS 2 abc\\n")));

    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "Error1: Invalid argument: invalid stoi argument\n");
    EXPECT_EQ(maskDurations(run.out), abortedAfterUpload(""));
    const SilentRow row = silentReadsAround(run, "EVT FW_UPGRADE_STATUS 2 abc\n");
    ASSERT_GE(row.before, 1) << "the line must come while the count is already running";
    EXPECT_EQ(row.after, 6 * kPollsPerSilentRead);
    expectEveryHandleClosedOnce(run);
}

TEST(UpdateTimeouts, FourWordLineOfAnotherEventRestartsTheCount) {
    const ProgramRun run = runUpdater(updateArgs("SW", "STD", imageFile(patternBytes(1000))),
                                      onBench(silentAfterTransfer("EVT TEMPERATURE 1 40\\n")));

    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(maskDurations(run.out), abortedAfterUpload(""));
    const SilentRow row = silentReadsAround(run, "EVT TEMPERATURE 1 40\n");
    ASSERT_GE(row.before, 1) << "the line must come while the count is already running";
    EXPECT_EQ(row.after, 6 * kPollsPerSilentRead);
    expectEveryHandleClosedOnce(run);
}

// A card that keeps reporting but no longer takes data: the program gives the transfer
// up after a minute without progress. (This one takes a minute.)
TEST(UpdateTimeouts, CardThatStopsTakingDataIsGivenUpAfterAMinute) {
    const std::string file = patternBytes(16 * 1024);
    const std::string image = expectedUploadImage(file, "FPGA");
    ASSERT_EQ(image.size(), 16416u);
    const FifoDump dump;
    const char card[] = R"({"event_interval_ms": 250, "stop_taking_after": 4096, "intake_timeout_ms": 0})";
    const ProgramRun run = runUpdater(updateArgs("FPGA", "STD", imageFile(file)),
                                      onBench(oneCardScenario(card), {dump.env()}, 150));

    EXPECT_EQ(run.exitCode, 1);
    EXPECT_GE(run.seconds, 59.0);
    EXPECT_LT(run.seconds, 75.0);
    EXPECT_EQ(run.err, "");
    // 4096 of 16416 bytes: the card reports 24 % all along.
    int uploadBars = 0;
    EXPECT_EQ(withoutUploadBars(maskDurations(run.out), 4, &uploadBars),
              preamble("SET FW_UPGRADE FPGA 16416 STD\n") +
                  "error: card stopped taking data after 4096 of 16416 bytes\n" + durationTable(4));
    EXPECT_GE(uploadBars, 200);
    int bars24 = 0;
    for (auto at = run.out.find(bar(1, 24, 4)); at != std::string::npos; at = run.out.find(bar(1, 24, 4), at + 1)) {
        ++bars24;
    }
    EXPECT_EQ(bars24, uploadBars) << "every upload bar shows 24 %";
    // A failed transfer sends no abort.
    EXPECT_EQ(uartCommands(run.callLog).back(), "SET FW_UPGRADE FPGA 16416 STD\n");
    EXPECT_EQ(dump.received(), image.substr(0, 4096));
    expectEveryHandleClosedOnce(run);
}
