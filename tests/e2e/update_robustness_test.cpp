// What a real card, driver or operator does that the happy path does not: lines that
// arrive together in one read, a DONE right after the last byte, failures after the
// card has accepted the request, and interruptions in every phase.
#include <csignal>

#include "fixture.h"

using namespace e2e;

namespace {

const char kSuccess[] = "\nUpdate Successful - Elapsed Time ";

// Upload: 100 kB at 100 kB/s, the two lines (status words) in one read 300 ms in.
// Flash write: 50 ms in, between two events.
std::string linesIn(int stage, const std::string& first, const std::string& second) {
    return R"({"rate_bytes_per_s": )" + std::string(stage == 1 ? "100000" : "0") +
           R"(, "event_interval_ms": 100, "stage_ms": [200, 600, 200], "extra_lines": [{"stage": )" +
           std::to_string(stage) + R"(, "at_ms": )" + (stage == 1 ? "300" : "50") +
           R"(, "data": "EVT FW_UPGRADE_STATUS )" + first + R"(\nEVT FW_UPGRADE_STATUS )" + second + R"(\n"}]})";
}
std::string doneAfterLastByte(int ms) {
    return R"({"rate_bytes_per_s": 200000, "event_interval_ms": 1000, "done_after_upload_ms": )" + std::to_string(ms) +
           "}";
}

struct LinesCase {
    std::string name, upgrade;  // the card's "upgrade" object
    int exitCode;
    std::vector<std::string> shown;  // in this order
    bool terminal = false;           // standard output is a terminal
};
class LinesCloseTogether : public ::testing::TestWithParam<LinesCase> {};

// Each line of a read is handled as if it had come alone. A DONE while the image is
// still going out is not believed; one after the last byte is, however soon it comes.
// On a terminal a line after a frame starts a row of its own; elsewhere it follows it.
TEST_P(LinesCloseTogether, AreHandledOneByOne) {
    const LinesCase& c = GetParam();
#if defined(_WIN32)
    if (c.terminal) GTEST_SKIP() << "the runner gives the program a terminal on POSIX systems only";
#endif
    const ProgramRun run = runUpdater(updateArgs("FPGA", "STD", imageFile(patternBytes(100000))),
                                      {oneCardScenario(c.upgrade), "", {}, 150, "", {}}, {{}, false, c.terminal});
    EXPECT_EQ(run.exitCode, c.exitCode) << run.out;
    expectInOrder(run.out, c.shown);
    EXPECT_FALSE(sent(run, kAbort)) << "the card ended the upgrade itself";
    EXPECT_EQ(handleProblems(run.callLog), "");
}

INSTANTIATE_TEST_SUITE_P(
    Update, LinesCloseTogether,
    ::testing::Values(
        LinesCase{"UploadStatusAndDone",
                  linesIn(1, "1 7", "DONE"),
                  0,
                  {bar(1, 7, 4), "Error: " + kMalformed + "EVT FW_UPGRADE_STATUS DONE\n'\n", kSuccess}},
        LinesCase{"UploadStatusAndFail", linesIn(1, "1 7", "FAIL"), 1, {bar(1, 7, 4) + kFailLine}},
        LinesCase{
            "UploadStatusAndFailOnATerminal", linesIn(1, "1 7", "FAIL"), 1, {bar(1, 7, 4) + "\n" + kFailLine}, true},
        LinesCase{
            "FlashStatusAndFailOnATerminal", linesIn(3, "3 7", "FAIL"), 1, {bar(3, 7, 4) + "\n" + kFailLine}, true},
        LinesCase{"UploadTwoStatuses", linesIn(1, "1 7", "1 8"), 0, {bar(1, 7, 4) + bar(1, 8, 4), kSuccess}},
        LinesCase{"FlashStatusAndDone", linesIn(3, "3 7", "DONE"), 0, {bar(3, 7, 4) + kSuccess}},
        LinesCase{"FlashStatusAndFail", linesIn(3, "3 7", "FAIL"), 1, {bar(3, 7, 4) + "\n" + kFailLine}},
        LinesCase{"FlashTwoStatuses", linesIn(3, "3 7", "3 8"), 0, {bar(3, 7, 4) + bar(3, 8, 4), kSuccess}},
        LinesCase{"DoneWithTheLastByte", doneAfterLastByte(0), 0, {"UART response: <", kSuccess}},
        LinesCase{"DoneSoonAfterTheLastByte", doneAfterLastByte(200), 0, {"UART response: <", kSuccess}}),
    [](const auto& info) { return info.param.name; });

// The image goes out in bounded pieces (5 MiB is more than one), each carried on from
// what the card took: short writes go on, a write that takes nothing with FT_OK is tried
// again after a pause (150 of them hold the upload back well over a second), and a write
// that fails ends the update with its status and the card told to abort.
TEST(Update, ImageGoesOutInBoundedPieces) {
    const std::string file = patternBytes(5 << 20);
    const std::string path = imageFile(file), image = reference::uploadImage(file, "FPGA");
    const std::string failedWrite = R"("faults": [{"function": "FT_Write", "device": 0, "status": 4, "skip": 3}])";
    for (const auto& [card, faults, writes, minSeconds] :
         std::vector<std::tuple<std::string, std::string, std::size_t, double>>{
             {R"("max_write_bytes": 10000)", "", 525, 0},
             {R"("zero_writes": 150)", "", 152, 1.5},
             {R"("max_write_bytes": 65536)", failedWrite, 4, 0}}) {
        SCOPED_TRACE(card);
        const bool fails = !faults.empty();
        const ProgramRun run =
            runOn(oneCardScenario(R"({"event_interval_ms": 100, "stage_ms": [0, 0, 0], )" + card + "}", "", faults),
                  updateArgs("FPGA", "STD", path));
        EXPECT_EQ(run.exitCode, fails ? 1 : 0);
        EXPECT_NE(run.out.find(fails ? "error: 4\n" + std::string(kToldToAbort) : kSuccess), std::string::npos);
        EXPECT_EQ(sent(run, kAbort), fails);
        const auto calls = callsOf(run.callLog, "FT_Write", kFifoDevice);
        EXPECT_EQ(calls.size(), writes);
        for (const auto& write : calls) EXPECT_LT(write.value("requested", 0u), image.size()) << "all in one write";
        EXPECT_EQ(received(run), fails ? image.substr(0, 3 * 65536) : image);
        EXPECT_GE(run.seconds, minSeconds);
        EXPECT_EQ(handleProblems(run.callLog), "");
    }
}

// A card unplugged during the upload (after 100 kB), while it writes its flash, before the
// update's request, or as `log` asks its second question, alone or beside a card that
// answers. The driver answers 4 at once from then on: the run says so and ends, without
// polling on for a time-out or a word more to the card, each handle closed once.
TEST(Update, CardThatGoesAwayIsSaidToBeGone) {
    const std::string file = patternBytes(300000), path = imageFile(file), image = reference::uploadImage(file, "FPGA");
    const std::string gone = "error: card NX0001A was disconnected (D2XX status 4)";
    const std::string upload = preamble("SET FW_UPGRADE FPGA 300032 STD\n") + gone +
                               "; the image on the card may be incomplete: update it again once the card is back\n"
                               "Error: Update Failed\n" +
                               durationTable(4);
    const auto unplugged = [](const std::string& when) {
        return oneCardScenario(
            R"({"rate_bytes_per_s": 1000000, "event_interval_ms": 250, "stage_ms": [500, 1000, 500]})",
            R"("unplug": )" + when);
    };
    const std::vector<std::string> update = updateArgs("FPGA", "STD", path), log = {"log", "-b", "115200"};
    const std::vector<std::tuple<std::string, std::vector<std::string>, std::string, int, std::size_t>> cases = {
        {unplugged(R"({"after_fifo_bytes": 100000})"), update, upload, 1, 100000},
        {unplugged(R"({"after_transfer_ms": 1000})"), update, upload, 1, image.size()},
        {unplugged(R"({"at_command": "SET EVT_ENA FW_UPGRADE_STATUS ON"})"), update,
         "Subscribing to upgrade events\n" + gone + "\nError: Update Failed\n" + durationTable(4), 1, 0},
        {unplugged(R"({"at_command": "GET HW_FW_VER"})"), log, gone + "\n", 1, 0},
        {rack(cardDevices("card") + ", " + cardDevices("other", "NX0002"),
              R"("card": {"unplug": {"at_command": "GET HW_FW_VER"}}, "other": {"slot": 1})"),
         log, gone + "\n2 serial: NX0002A fpga:1.0.0 sw:1.0.0\n", 0, 0}};
    for (Face face : faces()) {
        for (const auto& [scenario, args, out, exitCode, taken] : cases) {
            SCOPED_TRACE(faceName(face) + (": " + scenario));
            const ProgramRun run = runOn(face, scenario, args);
            static const std::regex bars("\r\\[[# ]{50}\\] [0-9]+% step [1-4] of 4: .{22}");
            EXPECT_EQ(inListOrder(face, std::regex_replace(maskTimes(run.out), bars, "")), inListOrder(face, out));
            EXPECT_EQ(run.exitCode, exitCode);
            EXPECT_EQ(received(run), image.substr(0, taken));
            if (face == Face::Usb) continue;  // the rest is read from the D2XX face's call log
            EXPECT_FALSE(sent(run, kAbort));
            EXPECT_EQ(handleProblems(run.callLog), "");
            long unplugMs = -1, failedAfter = 0;  // calls the driver answered 4 after the unplug
            for (const json& call : callsOf(run.callLog)) {
                if (call.contains("unplug")) unplugMs = call["ms"];
                if (unplugMs >= 0 && call.value("status", 0) == 4) failedAfter += call.value("polls", 1L);
            }
            EXPECT_GE(unplugMs, 0);
            EXPECT_LE(failedAfter, 4) << "went on asking a card that is gone";
            // Waiting out the card's time-outs instead would take 1 s per command, and over 10 s after the upload;
            // the calls counted above pin the rest.
            EXPECT_LT(run.seconds - unplugMs / 1000.0, 6.0) << "ended long after the unplug";
        }
    }
}

// A card whose FIFO flag has just been programmed: `log` lists it as before and names it
// in a notice on standard error; `update` refuses it before it hears of an update.
TEST(CardJustSwitchedToFifoMode, IsListedButNotUpdatedBeforeAReplug) {
    const std::string notice =
        "notice: card NX0001A has just been switched to FIFO mode; unplug and replug it (or "
        "power-cycle it) before updating it\n";
    for (Face face : faces()) {
        SCOPED_TRACE(faceName(face));
        ProgramRun run = runLog(bundled("fifo_mode_after_replug.json"), face);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.out, "1 serial: NX0001A fpga:1.0.0 sw:1.0.0\n");
        EXPECT_EQ(run.err, notice);
        run = runOn(face, bundled("fifo_mode_after_replug.json"), updateArgs("FPGA", "STD", imageFile("image")));
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.out,
                  "error: card NX0001A is not in FIFO mode yet; unplug and replug it, then run the update again\n");
        EXPECT_EQ(run.err, notice);
        if (face == Face::D2xx) {
            EXPECT_EQ(uartCommands(run.callLog), std::vector<std::string>{"GET HW_SLOT_ID\n"});
        }
    }
}

#if !defined(_WIN32)
enum class Phase { Log, Boot, BeforeRequest, Upload, FlashWarned, FlashAborted };
class Interruption : public ::testing::TestWithParam<std::tuple<Phase, int>> {};

// The answer the program waits on when the signal comes is 800 ms late.
std::string lateAnswer(const std::string& command, const std::string& answer) {
    return oneCardScenario(kQuickCard,
                           R"("answers": {")" + command + R"(": [{"data": ")" + answer + R"(\n", "delay_ms": 800}]})");
}

TEST_P(Interruption, ClosesEveryHandleAndTellsTheTruth) {
    const auto [phase, signal] = GetParam();
    std::string scenario = oneCardScenario(R"({"event_interval_ms": 100, "stage_ms": [600, 800, 400]})");
    std::vector<std::string> args = updateArgs("FPGA", "STD", imageFile(patternBytes(300000)));
    Interference interference;
    const auto after = [&](const std::string& logText, double seconds) {
        interference.signals.push_back({signal, logText, seconds});
    };
    if (phase == Phase::Log || phase == Phase::Boot) {
        scenario = lateAnswer("GET HW_SLOT_ID", "RGET HW_SLOT_ID 0");
        args = {"log", "-b", "115200"};
        if (phase == Phase::Boot) args = {"boot", "-b", "115200", "-i", "std"};
        after(R"("text":"GET HW_SLOT_ID)", 0.2);
    } else if (phase == Phase::BeforeRequest) {
        scenario = lateAnswer("SET EVT_ENA FW_UPGRADE_STATUS ON", "RSET EVT_ENA FW_UPGRADE_STATUS OK");
        after(R"("text":"SET EVT_ENA)", 0.2);
    } else if (phase == Phase::Upload) {  // three seconds of upload
        scenario = oneCardScenario(R"({"rate_bytes_per_s": 100000, "event_interval_ms": 100})");
        after(R"("fn":"FT_Write","dev":0)", 0.3);
    } else {  // the warning names what the card does: checking the CRC, or writing its flash
        after(phase == Phase::FlashWarned ? "EVT FW_UPGRADE_STATUS 3 0" : "EVT FW_UPGRADE_STATUS 2 0", 0.1);
        if (phase == Phase::FlashAborted) after("", 0.5);
    }
    const ProgramRun run = runUpdater(args, {scenario, "", {}, 60, "", {}}, interference);

    const std::string interrupted =
        "\nUpdate interrupted; the card was told to abort the upgrade: RSET FW_ABORT_UPGRADE OK\n" + durationTable(4);
    // The stage of the last frame before the warning, which a slow machine may show late.
    const std::size_t warned = run.out.find("\nInterrupted: ");
    const std::size_t lastStep = run.out.rfind("step ", warned);
    const char stage = lastStep == std::string::npos ? '?' : run.out[lastStep + 5];
    const std::string work = stage == '2'   ? "checking the image's CRC"
                             : stage == '3' ? "writing its flash"
                             : stage == '4' ? "verifying its flash write"
                                            : "?";
    const std::string warning =
        "\nInterrupted: the card goes on " + work + " on its own; interrupt again to tell it to abort\n";
    EXPECT_EQ(run.exitCode, phase == Phase::FlashWarned ? 0 : 128 + signal) << run.out;
    EXPECT_EQ(sent(run, kAbort), phase == Phase::Upload || phase == Phase::FlashAborted);
    EXPECT_EQ(sent(run, "SET FW_UPGRADE "), phase > Phase::BeforeRequest);
    EXPECT_EQ(handleProblems(run.callLog), "");
    const std::string out = maskTimes(run.out);
    if (phase <= Phase::BeforeRequest) {
        EXPECT_EQ(out, phase == Phase::BeforeRequest ? "Subscribing to upgrade events\n" + durationTable(4) : "");
    } else if (phase == Phase::Upload) {
        expectInOrder(out, {interrupted});
        EXPECT_EQ(out.find(warning), std::string::npos);
    } else {
        expectInOrder(out, {warning, phase == Phase::FlashWarned ? kSuccess : interrupted});
    }
}

std::string phaseAndSignal(const ::testing::TestParamInfo<std::tuple<Phase, int>>& info) {
    static const char* const phases[] = {"Log", "Boot", "BeforeRequest", "Upload", "FlashWarned", "FlashAborted"};
    return phases[int(std::get<0>(info.param))] + ("_" + std::to_string(std::get<1>(info.param)));
}
INSTANTIATE_TEST_SUITE_P(Update, Interruption,
                         ::testing::Combine(::testing::Values(Phase::Log, Phase::Boot, Phase::BeforeRequest,
                                                              Phase::Upload, Phase::FlashWarned, Phase::FlashAborted),
                                            ::testing::Values(SIGINT, SIGTERM, SIGHUP)),
                         phaseAndSignal);

// A `log` killed while it holds the machine-wide lock and the card leaves neither held:
// the next run on the same benches finds the card at once.
TEST(Update, AKilledProcessLeavesNothingHeld) {
    const std::string shared = makeTempDir();
    const ProgramRun killed =
        runUpdater({"log", "-b", "115200"}, sharing(lateAnswer("GET HW_SLOT_ID", "RGET HW_SLOT_ID 0"), shared),
                   {{{SIGKILL, R"("text":"GET HW_SLOT_ID)", 0.2}}, false, false});
    EXPECT_EQ(killed.exitCode, -SIGKILL);
    const ProgramRun next = runUpdater({"log", "-b", "115200"}, sharing(oneCardScenario(), shared));
    EXPECT_EQ(next.out, "1 serial: NX0001A fpga:1.0.0 sw:1.0.0\n");
    EXPECT_LT(next.seconds, 10.0);
}

// A reader that has gone (`update ... | head -2`) does not stop the update midway.
TEST(ClosedStandardOutput, UpdateRunsToItsEnd) {
    const std::string file = patternBytes(300000);
    const ProgramRun run = runUpdater(updateArgs("FPGA", "STD", imageFile(file)),
                                      {oneCardScenario(), "", {}, 60, "", {}}, {{}, true, false});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_FALSE(sent(run, kAbort));
    EXPECT_EQ(received(run), reference::uploadImage(file, "FPGA"));
    EXPECT_EQ(handleProblems(run.callLog), "");
}

#else
// Windows has no such signals: Ctrl-C, Ctrl-Break and a closed console reach the same
// handling through the console, which the runner cannot drive under Wine.
TEST(Interruption, SignalsAreAPosixMatter) {
    GTEST_SKIP() << "signals and a closed pipe are delivered on POSIX systems only";
}
#endif
}  // namespace
